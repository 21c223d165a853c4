"""Model runs made in memory: the solver module ``questrand._solver``
(python/solver/solver_module.cpp, built with the program) runs a problem
inside this process, with the very numerics of the program, and hands back
the uptake file's columns as the file would hold them (each value printed
with %.9g and read back), writing no file.  A model run of a fit then
costs the run alone, not a process start, the writing of its files and
their reading back (docs/python.md).

The module belongs to one build of the program: it is looked for beside
the program the toolkit runs (:func:`questrand.program.find_program`), or
in the directory ``$QUESTRAND_SOLVER_MODULE_DIR``.  ``QUESTRAND_IN_PROCESS=0``
turns it off: every model run is then a process.

:func:`model_curves` makes one model run as :func:`questrand.runner.execute_model`
makes it as a process: at c_in = 1 scaled back (:func:`~questrand.runner.unit_inlet`),
with ``flow="reuse"`` from the cached steady flow (u, v, p of its restart
file handed over instead of a time-zero restart file: the same start), and
judged alike (the program's error line; steps at the iteration limit).
:func:`model_tables` is the one model run of the fit, the convergence
study and the design study: in memory when it can be, else a process.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import sys
import warnings
from pathlib import Path

from .program import find_program, maxit_fault

IN_PROCESS_ENV = "QUESTRAND_IN_PROCESS"
MODULE_DIR_ENV = "QUESTRAND_SOLVER_MODULE_DIR"
MODULE_NAME = "questrand._solver"

_LOADED = {}


def module_path(program=None) -> Path | None:
    """The solver module's file: ``_solver<suffix>`` in
    ``$QUESTRAND_SOLVER_MODULE_DIR``, else beside the program; None when
    there is none (or the program is not found)."""
    where = os.environ.get(MODULE_DIR_ENV)
    try:
        directory = Path(where) if where else find_program(program).parent
    except Exception:  # no program: no module of its build either
        return None
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = directory / f"_solver{suffix}"
        if path.is_file():
            return path
    return None


def load(program=None):
    """The solver module of ``program``'s build, or None: turned off
    (``QUESTRAND_IN_PROCESS=0``), not built, or not importable."""
    if os.environ.get(IN_PROCESS_ENV, "1").strip() == "0":
        return None
    path = module_path(program)
    if path is None:
        return None
    key = str(path.resolve())
    if key not in _LOADED:
        module = None
        try:
            found = importlib.util.spec_from_file_location(MODULE_NAME, key)
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            sys.modules.setdefault(MODULE_NAME, module)
        except ImportError:
            module = None
        _LOADED[key] = module
    return _LOADED[key]


def runs_in_memory(problem) -> bool:
    """Whether a run of ``problem`` can be made in memory: one that reads no
    file of its directory (no restart file, no inlet table)."""
    physics = problem.physics
    return not problem.restart_in and (physics is None or physics.inlet is None)


def model_curves(module, problem, *, program, scheme: str = "standard", flow="coupled", flow_cache=None,
                 timeout=None, allow_maxit: bool = False):
    """One model run of ``problem`` (a :class:`~questrand.Problem`) in
    memory: ``("ok", uptake table, most outer iterations of a step)`` with the
    table's concentrations and amounts at the problem's c_in (and the
    end-of-run concentration field, (nj, ni), in ``table.attrs["c"]``), or
    ``("error", one-line reason)`` as the process path words it; None when
    the run cannot be made in memory (:func:`runs_in_memory`), for the
    caller to run as a process.  ``timeout`` bounds only the steady-flow
    solve (a run in memory cannot be stopped)."""
    import numpy as np
    import pandas as pd

    from .flow import check_reusable, flow_fields, flow_label
    from .grid import restart_name
    from .problem import PROBLEM_FILE
    from .runner import scale_concentrations, unit_inlet
    from .physics import PHYSICS_FILE

    run_problem, scale = unit_inlet(problem)
    if not runs_in_memory(run_problem):
        return None
    fields = {}
    if flow_label(run_problem, getattr(flow, "value", flow)) == "reuse":
        if restart_name(run_problem.runname) == run_problem.runname.rstrip(" "):
            return None  # the process path refuses such a run name
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            check_reusable(run_problem)
        fields = flow_fields(run_problem, flow_cache, program, timeout=timeout, scheme=scheme)
        run_problem = run_problem.replace(solve_u=False)
    inputs = run_problem.input_files()
    physics = inputs.get(PHYSICS_FILE)
    if scheme != "standard" and run_problem.start_dt is not None:
        fields["start_dt"] = run_problem.start_dt  # the program's --start-dt (the standard scheme has no start)
    done = module.run(inputs[PROBLEM_FILE].decode("utf-8"), None if physics is None else physics.decode("utf-8"),
                      scheme, **fields)
    if done["status"] != 0:
        return ("error", f"exit status {done['status']}: {done['error']}")
    if not allow_maxit:
        fault = maxit_fault(done["maxit_steps"], run_problem.maxit)
        if fault is not None:
            return ("error", fault)
    # the uptake columns: float64 arrays of one value per step, in the file's order (the
    # module may hand back more, such as a field, which is no column of the file)
    steps = len(done["steps"])
    table = pd.DataFrame({name: value for name, value in done.items()
                          if isinstance(value, np.ndarray) and value.dtype == np.float64
                          and value.shape == (steps,)})
    most = int(done["iterations"].max()) if len(done["iterations"]) else 0
    table = scale_concentrations(table, scale)
    if "c" in done:  # the end-of-run field, for the gel's end profile
        table.attrs["c"] = done["c"].astype(np.float64) * scale
    return ("ok", table, most)


def model_tables(problem, workdir, *, program, scheme: str = "standard", flow="coupled", flow_cache=None,
                 timeout=None, allow_maxit: bool = False, monitor: bool = False, in_memory: bool = True,
                 end_field: bool = False):
    """One model run of ``problem``: ``("ok", uptake table, monitor table,
    most outer iterations of a step)``, the tables' concentrations and
    amounts at the problem's c_in, or ``("error", one-line reason)``.

    The run is made in memory (:func:`model_curves`) when the solver module
    of ``program``'s build is loaded (:func:`load`), ``in_memory`` (the
    caller keeps no run directory) and no ``monitor`` table is asked for
    (the module hands back the uptake columns alone); the monitor table is
    then None.  Otherwise it is a process in ``workdir``
    (:func:`questrand.runner.execute_model`) and both tables are read from
    its files (None where the program wrote none; the monitor table only
    when asked for).  Either way the uptake table holds the same numbers.
    The end-of-run concentration field ((nj, ni), at the problem's c_in) is
    in the uptake table's ``attrs["c"]`` from a run in memory, and from a
    process when ``end_field`` asks for it (read from its end-of-run
    concentration file)."""
    from .runner import execute_model

    module = load(program) if in_memory and not monitor else None
    done = None if module is None else model_curves(
        module, problem, program=program, scheme=scheme, flow=flow, flow_cache=flow_cache, timeout=timeout,
        allow_maxit=allow_maxit)
    if done is not None:
        return done if done[0] != "ok" else ("ok", done[1], None, done[2])
    run, fault = execute_model(problem, Path(workdir), program=program, scheme=scheme, timeout=timeout,
                               flow=flow, flow_cache=flow_cache, allow_maxit=allow_maxit)
    if fault is not None:
        return ("error", fault)
    uptake = run.uptake_table()
    if end_field and uptake is not None:
        from .grid import stem
        from .profile import field_from_node_file

        path = Path(workdir) / (stem(run.problem.runname) + ".CON")
        if not path.is_file():
            return ("error", f"the program wrote no {path.name} (the end-of-run concentration file)")
        uptake.attrs["c"] = field_from_node_file(path, run.problem) * run.scale
    return ("ok", uptake, run.monitor_table() if monitor else None, run.most_iterations)
