"""The model of a fit: the observable as a function of the parameters,
one program run per distinct parameter set."""

from __future__ import annotations

import shutil
from pathlib import Path

import numpy as np

from .. import interrupts
from ..grid import uptake_name
from ..problem import Problem
from ..profile import PROFILE_OBSERVABLE, gel_profile
from ..results import MONITOR_FILE
from ..program import find_program
from .data import UPTAKE_OBSERVABLES, FitError


def _f32(value: float) -> float:
    return float(np.float32(value))


def _observable_curve(problem, observable: str, uptake, monitor, upt_name: str, scheme: str = "standard",
                      program=None):
    """``("ok", times, values)`` of ``observable`` from a run's uptake and
    monitor tables (the gel's end profile from the uptake table's end field:
    depths and values), or ``("error", message)``."""
    if observable == PROFILE_OBSERVABLE:
        if uptake is None or "c" not in uptake.attrs:
            return ("error", "the run gave no end-of-run concentration field for the gel's profile")
        return ("ok", *gel_profile(problem, uptake.attrs["c"], scheme=scheme, program=program))
    if observable in UPTAKE_OBSERVABLES:
        table, name = uptake, upt_name
        if table is None:
            return ("error", f"the program wrote no {upt_name} (uptake file) for the observable "
                             f"{observable}; a build without the uptake output?")
    else:
        table, name = monitor, MONITOR_FILE
        if table is None:
            return ("error", f"the program wrote no {MONITOR_FILE}")
    if observable not in table.columns:  # m_sink, m_reacted: written by runs with physics
        return ("error", f"{name} has no column {observable} (columns: {', '.join(table.columns)})")
    times, values = table["time"].to_numpy().copy(), table[observable].to_numpy().copy()
    if len(times) == 0:
        return ("error", f"{name} holds no time step")
    if not np.all(np.isfinite(values)):
        bad = float(times[~np.isfinite(values)][0])
        return ("error", f"{observable} is not finite at time {bad:g} ({name})")
    return ("ok", times, values)


def _model_run(program: str, problem: Problem, workdir: str, timeout, observable, upt_name: str,
               keep: bool, scheme: str = "standard", flow: str = "coupled", flow_cache=None,
               allow_maxit: bool = False):
    """Run the program on one problem (with its physics) in ``workdir``; return
    ``("ok", times, values, most outer iterations of a step)`` of the
    observable (for the gel's end profile ``c_gel_profile``: depths and
    values, :mod:`questrand.profile`) or ``("error", message)``; for a tuple
    of observables, ``("ok", {observable: (times, values)}, most outer
    iterations)`` from the one run.  A run with a step that ended at
    the iteration limit is an error (its curve is not the model's) unless
    ``allow_maxit``.  With ``flow`` "reuse" the run starts from the cached
    steady flow (:mod:`questrand.flow`).  A module-level function so that
    worker processes can call it.

    An uptake observable's run is made in memory by the solver module of
    the program's build when there is one (:mod:`questrand.solver`; the
    same numbers as the uptake file, no file written), unless ``keep`` asks
    for the run's directory; else, and with ``QUESTRAND_IN_PROCESS=0``, the
    program runs as a process."""
    from ..solver import model_tables

    workdir = Path(workdir)
    several = not isinstance(observable, str)
    wanted = tuple(observable) if several else (observable,)
    try:
        done = model_tables(problem, workdir, program=program, scheme=scheme, flow=flow, flow_cache=flow_cache,
                            timeout=timeout, allow_maxit=allow_maxit,
                            monitor=any(o not in UPTAKE_OBSERVABLES and o != PROFILE_OBSERVABLE for o in wanted),
                            in_memory=not keep, end_field=PROFILE_OBSERVABLE in wanted)
        if done[0] != "ok":
            return done
        _, uptake, monitor, most_iterations = done
        curves = {}
        for name in wanted:
            got = _observable_curve(problem, name, uptake, monitor, upt_name, scheme, program)
            if got[0] != "ok":
                return got
            curves[name] = got[1:]
        return ("ok", curves, most_iterations) if several else ("ok", *curves[observable], most_iterations)
    except Exception as exc:  # reported as the run's own error line
        return ("error", f"{type(exc).__name__}: {exc}".splitlines()[0])
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


class Model:
    """The observable as a function of the parameters: one program run per
    distinct parameter set, each in its own directory under ``root``; runs
    are made in up to ``jobs`` parallel processes and remembered.  ``flow``
    "reuse" (where the problem allows it) runs the concentration transients
    from the steady flow, solved once per flow and cached in ``flow_cache``
    (default :func:`questrand.flow.default_cache_dir`); "coupled" solves
    the flow in every step as the input asks.  ``flow`` then holds what is
    done: "reuse", "coupled" or "not solved".

    ``runs`` counts the program runs made, ``reused`` the evaluations served
    from earlier runs.  ``allow_maxit`` takes the curves of runs whose steps
    end at the iteration limit (the iteration check's runs, which iterate
    as far as the residual's rounding floor lets them).  ``made``: runs
    another model of the same problem, observable and options made already
    (its :meth:`made`), served as this model's own earlier runs.  ``also``:
    further observables of the same runs (one run gives them all; their
    curves through ``curves(..., observable)`` or an
    :class:`ObservableView`).
    """

    def __init__(self, problem: Problem, params, observable: str, root, *, program=None,
                 jobs=None, timeout=None, keep=False, scheme="standard", flow="reuse",
                 flow_cache=None, allow_maxit=False, made=None, also=()):
        self.problem = problem.replace(prt_step=max(problem.nsteps, 1))  # fewer field files
        self.params = list(params)
        self.observable = observable
        self.observables = tuple(dict.fromkeys((observable, *also)))
        if made and len(self.observables) > 1:
            raise ValueError("a model of several observables takes no runs made by another")
        self.root = Path(root)
        self.program = str(find_program(program))
        self.workers = interrupts.Workers(jobs)
        self.jobs = self.workers.jobs
        self.timeout = timeout
        self.keep = keep
        self.scheme = scheme
        from ..flow import flow_label
        self.flow = flow_label(problem, flow)
        self.flow_cache = None if flow_cache is None else str(flow_cache)
        self.upt_name = uptake_name(problem.runname)
        self.allow_maxit = allow_maxit
        self.runs = 0
        self.reused = 0
        self._cache = {}
        self._iterations = {}
        for text, (times, values, most_iterations) in (made or {}).items():
            self._cache[text], self._iterations[text] = {observable: (times, values)}, most_iterations

    def close(self):
        self.workers.close()

    def problem_at(self, values) -> Problem:
        """The base problem with the parameters set to ``values`` (as the
        program will read them: single precision)."""
        changes = {}
        for p, v in zip(self.params, values):
            changes.update(p.changes(v))
        return self.problem.replace(**changes)

    def most_iterations(self, values) -> int | None:
        """The most outer iterations a step took in the run at ``values``
        (None when it was not run), from the run's record."""
        return self._iterations.get(self.problem_at(values).identity())

    def made(self) -> dict:
        """The runs made so far, ``{problem identity: (times, values, most
        outer iterations)}``, for another model's ``made``."""
        return {text: (*curves[self.observable], self._iterations[text]) for text, curves in self._cache.items()}

    def describe(self, values) -> str:
        return ", ".join(f"{p.name}={_f32(v):.6g}" for p, v in zip(self.params, values))

    def curves(self, value_sets, observable=None) -> list:
        """The model curves ``(times, values)`` of ``observable`` (default
        the model's first) for each parameter set."""
        # a run is known by its problem's identity: its PROB.INP and physics files
        problems, asked_values = {}, {}
        for values in value_sets:
            problem = self.problem_at(values)
            problems.setdefault(problem.identity(), problem)
            asked_values.setdefault(problem.identity(), values)
        texts = [self.problem_at(values).identity() for values in value_sets]
        todo = []
        for text in texts:
            if text in self._cache or text in todo:
                self.reused += 1
            else:
                todo.append(text)
        if todo:
            arguments = []
            for text in todo:
                self.runs += 1
                workdir = self.root / f"run-{self.runs:04d}"
                asked = self.observable if len(self.observables) == 1 else self.observables
                arguments.append((self.program, problems[text], str(workdir), self.timeout, asked,
                                  self.upt_name, self.keep, self.scheme, self.flow, self.flow_cache,
                                  self.allow_maxit))
            results = self.workers.map(_model_run, arguments)
            for text, args, result in zip(todo, arguments, results):
                if result[0] != "ok":
                    where = f" in {args[2]}" if self.keep else ""
                    raise FitError(f"model run with {self.describe(asked_values[text])} failed{where}: "
                                   f"{result[1]}")
                if len(self.observables) == 1:
                    self._cache[text] = {self.observable: (result[1], result[2])}
                else:
                    self._cache[text] = result[1]
                self._iterations[text] = result[-1]
        return [self._cache[text][observable or self.observable] for text in texts]


class ObservableView:
    """One observable of a :class:`Model` of several (its ``also``): the
    model's curves of that observable, from the same runs; everything else
    (problem, parameters, counts) is the model's, ``base``."""

    def __init__(self, model: Model, observable: str):
        if observable not in model.observables:
            raise ValueError(f"{observable} is not an observable of the model ({', '.join(model.observables)})")
        self.base, self.observable = model, observable

    def curves(self, value_sets) -> list:
        return self.base.curves(value_sets, self.observable)

    def __getattr__(self, name):
        return getattr(self.base, name)

