"""Running the questrand program: one run per working directory.

:func:`execute` is the one way the toolkit runs the program: it writes
PROB.INP, prepares the reused steady flow, runs the program and keeps its
console output; :func:`run` (the Python interface), the fit's model runs,
the design's runs and the sweep's jobs are all made by it.  This module
imports the rest of the toolkit (and numpy) only when it needs it.
"""

from __future__ import annotations

import dataclasses
import os
import shutil
import subprocess
import time
from pathlib import Path

from typing import TYPE_CHECKING

from . import files
from .errors import OutputFileError, RunError
from .program import (CONSOLE_FILE, PROGRAM_ENV, PROGRAM_NAME, SCHEMES, RunRecord, find_program,  # noqa: F401
                      program_arguments, read_record, run_fault, start)

if TYPE_CHECKING:
    from .problem import Problem
    from .results import Run

#: How a transient run gets its flow (see :class:`questrand.flow.FlowMode`).
FLOW_MODES = ("reuse", "coupled")


#: The uptake columns that are neither concentrations nor amounts (nor
#: their rates): they do not scale with the inlet concentration.
UNSCALED_UPTAKE = ("time", "balance")


def unit_inlet(text) -> tuple:
    """``(problem to run, scale)``: a model run is made at c_in = 1 and its
    concentrations and amounts are multiplied by ``scale`` = c_in.
    ``text`` is a :class:`~questrand.Problem` or the text of a PROB.INP;
    the problem to run is of the same kind.

    The concentration equation is linear in c and a run from time zero
    starts from c = 0 with c = c_in at the inlet, so c(c_in) = c_in c(1)
    exactly; but the program's convergence test divides the concentration
    residual by the inlet's mass flow, not by its species flow, so it
    scales with the unit of c: at c_in = 10 (mg/L) the same run would need a
    residual ten times smaller and end its steps at maxit.  Run at c_in = 1,
    every model run converges alike in any unit.  A problem that reads a
    restart file (its c comes from there) or has c_in = 0 or 1 runs as
    given (scale 1), and so does one whose physics gives c elsewhere than
    through c_in (an inlet table, a gel's initial c0_gel > 0): c is then
    not c_in times the run at c_in = 1.  The other physics keys (partition
    coefficients, the gel's sink and uptake rate, the washout, the lower
    face) keep the equation linear and homogeneous in c."""
    from .problem import Problem

    given = Problem.parse(text) if isinstance(text, str) else text
    physics = given.physics
    if given.c_in in (0.0, 1.0) or given.restart_in or \
            (physics is not None and (physics.inlet is not None or physics.c0_gel > 0)):
        return text, 1.0
    unit = given.replace(c_in=1.0)
    return (unit.text() if isinstance(text, str) else unit), given.c_in


def scale_concentrations(table, scale: float, keep=UNSCALED_UPTAKE):
    """``table`` (a DataFrame, or None) with every column but ``keep``
    multiplied by ``scale`` (:func:`unit_inlet`); a monitor history keeps
    only its ``("time",)``."""
    if table is None or scale == 1.0:
        return table
    import pandas as pd

    # one new frame (a column at a time in place costs some 2 ms a run)
    scaled = pd.DataFrame({name: table[name].to_numpy() if name in keep else table[name].to_numpy() * scale
                           for name in table.columns}, index=table.index)
    scaled.attrs.update(table.attrs)
    return scaled


def model_uptake(workdir, runname: str, scale: float = 1.0):
    """The uptake file of the run ``runname`` in ``workdir`` (a DataFrame;
    None when there is none), its concentrations and amounts times ``scale``
    (:func:`unit_inlet`)."""
    from .grid import uptake_name
    from .results import read_uptake

    path = Path(workdir) / uptake_name(runname)
    return scale_concentrations(read_uptake(path), scale) if path.is_file() else None


def model_monitor(workdir, scale: float = 1.0):
    """The last history of monitor.dat in ``workdir`` (a DataFrame; None
    when there is none), its probes times ``scale`` (:func:`unit_inlet`)."""
    from .results import MONITOR_FILE, read_monitor

    path = Path(workdir) / MONITOR_FILE
    histories = read_monitor(path) if path.is_file() else []
    return scale_concentrations(histories[-1][1], scale, keep=("time",)) if histories else None


#: Standard error of a run, kept in its directory with ``streams=True``.
STDERR_FILE = "stderr.txt"


@dataclasses.dataclass
class Execution:
    """What :func:`execute` did in ``workdir``.

    ``text`` is the PROB.INP the program ran (with a reused flow: flow
    switch F, restart file read), ``inputs`` the other input files written
    beside it (PHYSICS.INP and its inlet table, name -> bytes); ``returncode`` its exit status, None when
    it was stopped at the timeout (``timed_out``) or not started
    (``flow_error``); ``stdout`` and ``stderr`` its output (as UTF-8 text, any
    other byte replaced); ``wall_time`` the seconds of the program run.
    With ``flow="reuse"``: ``flow`` says how the run got its flow
    ("reuse", "coupled" or "not solved"), ``flow_note`` why it was not
    reused, ``steady`` the :class:`~questrand.flow.SteadyFlow` used and
    ``flow_time`` the seconds spent getting it; ``flow_error`` is the
    exception raised getting it (the program was then not run).
    """

    workdir: Path
    text: str
    inputs: dict = dataclasses.field(default_factory=dict)
    returncode: int | None = None
    stdout: str = ""
    stderr: str = ""
    timed_out: bool = False
    wall_time: float = 0.0
    flow: str | None = None
    flow_note: str | None = None
    steady: object = None
    flow_time: float | None = None
    flow_error: Exception | None = None
    scale: float = 1.0      # the concentrations and amounts read are multiplied by it
    record: RunRecord | None = None
    record_error: str | None = None
    _problem: object = dataclasses.field(default=None, repr=False)

    @property
    def problem(self):
        """The :class:`~questrand.Problem` the program ran."""
        if self._problem is None:
            from .problem import PROBLEM_FILE, Problem
            self._problem = Problem.from_files({PROBLEM_FILE: self.text, **self.inputs}) if self.inputs \
                else Problem.parse(self.text)
        return self._problem

    @property
    def maxit_steps(self) -> tuple:
        """The steps that ended at the iteration limit, from the run's record
        (empty without one)."""
        return self.record.maxit_steps if self.record is not None else ()

    @property
    def most_iterations(self) -> int | None:
        """The most outer iterations any step took, from the run's record."""
        return self.record.most_outer_iterations if self.record is not None else None

    def uptake_table(self):
        """The run's uptake file (a DataFrame; None when there is none) with
        every concentration and amount times :attr:`scale`."""
        return model_uptake(self.workdir, self.problem.runname, self.scale)

    def monitor_table(self):
        """The last history of the run's monitor.dat (a DataFrame; None when
        there is none) with the probes' concentrations times :attr:`scale`."""
        return model_monitor(self.workdir, self.scale)

    def model_fault(self, timeout=None, allow_maxit=False) -> str | None:
        """Why this run does not give the model's curve, in one line (None
        when it does): stopped at ``timeout``, a non-zero exit status (with
        the program's last line on standard error), or (unless
        ``allow_maxit``) steps that ended at the iteration limit.  A failure
        getting the steady flow is raised."""
        if self.flow_error is not None:
            raise self.flow_error
        if self.timed_out:
            return f"no end after {timeout} s (stopped)"
        if self.returncode != 0:
            lines = [line.strip() for line in self.stderr.splitlines() if line.strip()]
            return f"exit status {self.returncode}: {lines[-1] if lines else '(nothing on standard error)'}"
        if self.record is None:
            return self.record_error
        return run_fault(self.record, self.problem.maxit, allow_maxit)
        return None


def execute(problem, workdir, *, program, scheme: str = "standard", timeout=None, flow="coupled",
            flow_cache=None, streams: bool = False, inputs=None, start_dt=None) -> Execution:
    """Run ``program`` once in ``workdir`` on ``problem`` (a
    :class:`~questrand.Problem` or the text of a PROB.INP, written as given;
    ``inputs``: the other input files of a text, name -> bytes, written
    beside it as given; ``start_dt``: the start time step of a text, as
    :attr:`~questrand.Problem.start_dt` is a problem's).  Its physics is
    written as PHYSICS.INP with its inlet table; a problem without physics removes those files from
    ``workdir`` (a directory the toolkit runs in), so that no file of an
    earlier run acts on this one.

    ``flow`` "reuse" (or :attr:`~questrand.flow.FlowMode.REUSE`) runs a
    problem whose flow can be reused from its steady flow, solved once and
    kept in ``flow_cache`` (:func:`questrand.flow.prepare_run`); another
    problem runs as given, the reason in ``flow_note``.  An error getting
    the steady flow is returned in ``flow_error``, not raised.  Any other
    ``flow`` runs the problem as given.

    The program's standard output is kept in ``workdir/console.txt`` when
    it ends; with ``streams`` also its standard error in ``stderr.txt``,
    and both of a run stopped at the timeout.  A program that cannot be
    started raises :class:`OSError`.  Warnings of the steady flow
    (:class:`~questrand.flow.FlowWarning`) are the caller's to show or
    catch.
    """
    from .problem import PROBLEM_FILE

    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    is_text = isinstance(problem, str)
    # the second-order start's time step: the problem's, or the one given with a text
    start_dt = start_dt if is_text else problem.start_dt
    if is_text:
        inputs = {name: data if isinstance(data, bytes) else data.encode("utf-8")
                  for name, data in (inputs or {}).items()}
    else:
        inputs = {name: data for name, data in problem.input_files().items() if name != PROBLEM_FILE}
    done = Execution(workdir=workdir, text=problem if is_text else problem.text(), inputs=inputs,
                     _problem=None if is_text else problem)
    if getattr(flow, "value", flow) == "reuse":
        from .flow import flow_label, prepare_run, reuse_refusal
        given = done.problem
        done.flow = flow_label(given, "reuse")
        done.flow_note = reuse_refusal(given)
        if done.flow_note is None:
            began = time.perf_counter()
            try:
                run_problem, done.steady = prepare_run(given, workdir, flow_cache, program, timeout=timeout,
                                                       scheme=scheme)
            except Exception as exc:  # the caller's to report
                done.flow_error = exc
                return done
            done.flow_time = time.perf_counter() - began
            problem, is_text = run_problem, False
            done.text, done._problem = run_problem.text(), run_problem
    if is_text:
        from .physics import remove_files
        (workdir / PROBLEM_FILE).write_bytes(os.fsencode(problem))
        if not done.inputs:
            remove_files(workdir)
        for name, data in done.inputs.items():
            files.write_bytes(workdir / name, data)
    else:
        problem.write(workdir / PROBLEM_FILE, run_directory=True)
    began = time.perf_counter()
    try:
        ended = start(program, program_arguments(scheme, start_dt), cwd=workdir, timeout=timeout)
        stdout, stderr, done.returncode = ended.stdout, ended.stderr, ended.returncode
    except subprocess.TimeoutExpired as exc:
        stdout, stderr, done.timed_out = exc.stdout, exc.stderr, True
    done.wall_time = time.perf_counter() - began
    done.stdout, done.stderr = _text(stdout), _text(stderr)
    if not done.timed_out and done.returncode != 2:  # a refused input writes no record
        try:
            done.record = read_record(workdir, done.problem.runname)
        except OutputFileError as exc:
            done.record_error = str(exc)
    if streams or not done.timed_out:
        files.write_bytes(workdir / CONSOLE_FILE, stdout or b"")
    if streams:
        files.write_bytes(workdir / STDERR_FILE, stderr or b"")
    return done


def execute_model(text: str, workdir, *, program, scheme: str = "standard", timeout=None,
                  flow="coupled", flow_cache=None, allow_maxit=False):
    """One model run of a fit, a design or a convergence study (``text``:
    a :class:`~questrand.Problem` or the text of a PROB.INP):
    :func:`execute` with the flow's warnings silenced (the caller states the
    flow once), and :meth:`Execution.model_fault`: ``(execution, None)``
    when the run gives the model's curve, else ``(execution, one-line
    reason)``.  The run is made at c_in = 1 (:func:`unit_inlet`); read its
    curves, scaled back to the problem's c_in, with
    :meth:`Execution.uptake_table` and :meth:`Execution.monitor_table`."""
    import warnings

    run_text, scale = unit_inlet(text)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        done = execute(run_text, workdir, program=program, scheme=scheme, timeout=timeout, flow=flow,
                       flow_cache=flow_cache)
    done.scale = scale
    return done, done.model_fault(timeout, allow_maxit=allow_maxit)


def run(problem: Problem, workdir, *, program=None, restart_from=None, timeout=None,
        flow="coupled", flow_cache=None, scheme: str = "standard") -> Run:
    """Write ``problem`` as PROB.INP in ``workdir``, run the program there and
    read the results.

    ``flow="reuse"`` (or :attr:`questrand.flow.FlowMode.REUSE`) runs a
    transient problem with its steady flow solved once and kept in the
    cache directory ``flow_cache`` (default
    :func:`questrand.flow.default_cache_dir`): the run reads a restart file
    at time zero and solves only the concentration (see
    :mod:`questrand.flow`; :class:`~questrand.flow.FlowError` when the
    flow cannot be reused).  ``"coupled"`` (the default) runs the problem as
    it is.  The problem of the run directory's PROB.INP is then the one run
    (flow switch F, restart read).

    ``restart_from`` continues an earlier run: a :class:`Run`, its directory
    or its restart file.  The restart file is copied into ``workdir`` under
    the name this problem reads, together with the earlier monitor.dat and
    uptake file (when ``workdir`` has none) so the histories continue;
    ``restart_in`` is switched on.

    ``scheme`` selects the program's scheme for the concentration equation.
    The program's console output is kept in ``workdir/console.txt``; the
    returned run's ``warned_steps`` counts the steps that ended at the
    iteration limit.  A non-zero exit status raises :class:`RunError`
    carrying the status and the program's standard error; so does exceeding
    ``timeout`` seconds.
    """
    from .flow import FlowError, FlowMode, check_reusable, reuse_refusal
    from .results import read_run

    executable = find_program(program)
    workdir = Path(workdir)
    try:
        mode = FlowMode(flow)
    except ValueError:
        raise FlowError(f"flow: expected 'reuse' or 'coupled', found {flow!r}") from None
    workdir.mkdir(parents=True, exist_ok=True)
    if mode is FlowMode.REUSE:
        if restart_from is not None:
            raise FlowError("flow='reuse' starts the run at time zero: it cannot continue from "
                            "restart_from")
        if reuse_refusal(problem) is not None:
            check_reusable(problem)  # raises the FlowError that says why
    if restart_from is not None:
        problem = problem.replace(restart_in=True)
        _prepare_restart(problem, workdir, restart_from)
    done = execute(problem, workdir, program=executable, scheme=scheme, timeout=timeout,
                   flow=mode.value, flow_cache=flow_cache)
    if done.flow_error is not None:
        raise done.flow_error
    if done.timed_out:
        raise RunError(f"{executable} in {workdir}: no end after {timeout} s (stopped)",
                       returncode=None, stderr=done.stderr, stdout=done.stdout, workdir=workdir)
    if done.returncode != 0:
        detail = done.stderr.strip() or "(nothing on standard error)"
        raise RunError(f"{executable} in {workdir} failed with exit status {done.returncode}:\n{detail}",
                       returncode=done.returncode, stderr=done.stderr, stdout=done.stdout,
                       workdir=workdir)
    if done.record is None:
        raise RunError(f"{executable} in {workdir}: {done.record_error}", returncode=done.returncode,
                       stderr=done.stderr, stdout=done.stdout, workdir=workdir)
    result = read_run(workdir)
    result.console = done.stdout
    result.record = done.record
    result.warned_steps = len(done.record.maxit_steps)
    return result


def _text(data) -> str:
    """The program's output as text: UTF-8, the line ends made newlines."""
    if data is None:
        return ""
    if isinstance(data, bytes):
        data = data.decode("utf-8", errors="replace")
    return data.replace("\r\n", "\n").replace("\r", "\n")


def _prepare_restart(problem: Problem, workdir: Path, source) -> None:
    """Copy the restart file (and the histories) of ``source`` into ``workdir``."""
    from .grid import restart_name, uptake_name
    from .problem import PROBLEM_FILE, Problem
    from .results import MONITOR_FILE, Run

    if isinstance(source, Run):
        source = source.workdir
    source = Path(source)
    if source.is_dir():
        earlier = Problem.read(source / PROBLEM_FILE)
        sav, source_dir = source / restart_name(earlier.runname), source
        histories = [MONITOR_FILE, uptake_name(earlier.runname)]
    else:
        sav, source_dir, histories = source, source.parent, [MONITOR_FILE]
    if not sav.is_file():
        raise FileNotFoundError(f"{sav}: no restart file to continue from "
                                "(did the earlier run have restart_out=True?)")
    target = workdir / restart_name(problem.runname)
    if sav.resolve() != target.resolve():
        shutil.copyfile(sav, target)
    for name in histories:
        target_name = uptake_name(problem.runname) if name.endswith(".UPT") else name
        if (source_dir / name).is_file() and not (workdir / target_name).exists():
            shutil.copyfile(source_dir / name, workdir / target_name)
