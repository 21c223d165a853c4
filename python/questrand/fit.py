"""Fitting reals of a problem to a measured curve (``questrand fit``).

A measured curve is a CSV file with a ``time`` column and one observable
column named like a column the program writes: a monitor probe
(``C(FlStr)`` .. ``C(GelEnd)``) or a column of the uptake file (``m_gel``,
``c_gel_mean``, ...); an optional ``sigma`` column gives each point's
standard deviation.

:func:`fit` adjusts the chosen reals of a base :class:`~questrand.Problem`
(``diff_gel``, ``diff_memb``, ...) by least squares on their logarithms
(``scipy.optimize.least_squares``).  Each model evaluation is one run of the
program in its own scratch directory; the columns of the finite-difference
Jacobian are run in parallel processes, and a parameter set that comes back
reuses its earlier run.  The model curve is interpolated linearly in time
to the data times.

Uncertainty: the covariance of the log-parameters is ``s^2 (J^T J)^-1``
with ``J`` the Jacobian of the (weighted) residuals at the optimum and
``s^2`` the residual variance ``RSS / (n - p)`` (or 1 when the data give
``sigma``).  The 95 % interval is ``exp(log p +- t se)`` with the
t-quantile for ``n - p`` degrees of freedom, so it is symmetric in the
logarithm; the standard error reported is ``p * se`` (first order).  The
optional profile-likelihood interval holds the values of one parameter,
the others refitted, whose residual sum stays below
``RSS_min (1 + t^2 / (n - p))`` (or ``chi2_min + t^2`` with ``sigma``).
"""

from __future__ import annotations

import dataclasses
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time as _time
from pathlib import Path

import numpy as np

from . import files, interrupts
from .errors import QuestrandError
from .files import InputFileError, csv_rows, read_text
from .grid import PROBE_NAMES, stem
from .problem import PROBLEM_FILE, Problem
from .results import MONITOR_FILE, UPTAKE_NAMES, read_monitor, read_uptake
from .runner import convergence_warnings, find_program, program_arguments

#: Observable columns a data file may name: the monitor probes and the
#: columns of the uptake file.
UPTAKE_OBSERVABLES = tuple(UPTAKE_NAMES[1:])
OBSERVABLES = tuple(PROBE_NAMES) + UPTAKE_OBSERVABLES
#: Default bounds: within this factor of the start value either way.
DEFAULT_DECADES = 4
#: Default relative change of a parameter for the finite-difference Jacobian.
DEFAULT_STEP = 0.01
#: A parameter is refused as flat when a change of its logarithm by 1 would
#: move the model curve by less than this fraction of the curve's size.
FLAT_TOLERANCE = 1e-3


class FitError(QuestrandError, ValueError):
    """A fit that cannot be made; the message says why in one line."""


# -- the measured curve -------------------------------------------------------
@dataclasses.dataclass
class Data:
    """A measured curve: ``time``, ``value`` of ``observable``, and ``sigma``
    (each point's standard deviation) or None; ``lines``, the line of the
    file each point stands on (None: line k + 2 for point k)."""

    path: Path
    observable: str
    time: np.ndarray
    value: np.ndarray
    sigma: np.ndarray | None = None
    lines: np.ndarray | None = None

    def line_of(self, k: int) -> int:
        """The line of the file where point ``k`` stands."""
        return int(self.lines[k]) if self.lines is not None else k + 2

    def __len__(self) -> int:
        return len(self.time)


def read_data(path, observable=None) -> Data:
    """Read a measured curve from a CSV file with a header line.

    The file needs a ``time`` column and an observable column (one of
    :data:`OBSERVABLES`); ``observable`` picks one when it has several.  An
    optional ``sigma`` column gives positive standard deviations.  Other
    columns are ignored; blank lines are skipped.  The file is UTF-8 text,
    with or without a byte-order mark.  Raises :class:`FitError` naming the
    file, the line (as an editor numbers it) and what was expected.
    """
    path = Path(path)
    try:
        rows = [(n, row) for n, row in csv_rows(read_text(path, "data file"))
                if row and any(cell.strip() for cell in row)]
    except InputFileError as exc:
        message = str(exc)
        raise FitError(message if message.startswith(f"{path}:") else f"{path}: {message}") from None
    if not rows:
        raise FitError(f"{path}: empty file; expected a header line with 'time' and an observable column")
    header_line, header = rows[0]
    names = [cell.strip().strip('"') for cell in header]
    if "time" not in names:
        raise FitError(f"{path}: line {header_line}: expected a header with a 'time' column, "
                       f"found {','.join(names)[:80]!r}")
    present = [name for name in names if name in OBSERVABLES]
    if observable is not None:
        if observable not in OBSERVABLES:
            raise FitError(f"--observable {observable}: not a column the program writes "
                           f"(probes {', '.join(PROBE_NAMES)}; uptake {', '.join(UPTAKE_OBSERVABLES)})")
        if observable not in names:
            raise FitError(f"{path}: line {header_line}: no column {observable!r} "
                           f"(columns: {', '.join(names)})")
    elif len(present) == 1:
        observable = present[0]
    elif not present:
        raise FitError(f"{path}: line {header_line}: no observable column; expected one of "
                       f"{', '.join(OBSERVABLES)} (columns: {', '.join(names)})")
    else:
        raise FitError(f"{path}: several observable columns ({', '.join(present)}); "
                       "pick one with --observable NAME")
    for name in ("time", observable, "sigma"):
        if names.count(name) > 1:
            raise FitError(f"{path}: line {header_line}: column {name!r} appears twice")
    columns = {"time": names.index("time"), "value": names.index(observable)}
    if "sigma" in names:
        columns["sigma"] = names.index("sigma")
    values = {key: [] for key in columns}
    lines = []
    for n, row in rows[1:]:
        lines.append(n)
        for key, col in columns.items():
            label = {"time": "time", "value": observable, "sigma": "sigma"}[key]
            cell = row[col].strip() if col < len(row) else ""
            try:
                number = float(cell)
            except ValueError:
                number = math.nan
            if not math.isfinite(number):
                raise FitError(f"{path}: line {n}: column {label!r}: expected a finite number, "
                               f"found {cell!r}")
            if key == "sigma" and number <= 0:
                raise FitError(f"{path}: line {n}: column 'sigma': expected a positive standard "
                               f"deviation, found {cell!r}")
            values[key].append(number)
    if not values["time"]:
        raise FitError(f"{path}: no data lines after the header")
    return Data(path=path, observable=observable, time=np.array(values["time"]),
                value=np.array(values["value"]),
                sigma=np.array(values["sigma"]) if "sigma" in values else None,
                lines=np.array(lines))


# -- parameters ---------------------------------------------------------------
@dataclasses.dataclass
class Parameter:
    """A fitted real of the problem: its name, start value and bounds."""

    name: str
    start: float
    low: float
    high: float


def real_fields() -> tuple:
    """The names of the problem's real values."""
    return tuple(f.name for f in dataclasses.fields(Problem) if f.type in ("float", float))


def parse_bounds(texts) -> dict:
    """``["NAME=LO:HI", ...]`` -> ``{NAME: (LO or None, HI or None)}``."""
    bounds = {}
    for text in texts or ():
        name, eq, rng = text.partition("=")
        lo, colon, hi = rng.partition(":")
        name = name.strip()
        try:
            if not (name and eq and colon):
                raise ValueError
            pair = tuple(float(v) if v.strip() else None for v in (lo, hi))
        except ValueError:
            raise FitError(f"--bounds {text}: expected NAME=LO:HI, e.g. diff_gel=1e-11:1e-8") from None
        bounds[name] = pair
    return bounds


def make_parameters(problem: Problem, names, bounds=None) -> list:
    """The :class:`Parameter` list for ``names``, starting at the problem's
    values, within ``bounds`` (``{NAME: (LO, HI)}``, None for a default
    side: four decades from the start)."""
    bounds = dict(bounds or {})
    reals = real_fields()
    if not names:
        raise FitError("no parameter to fit: give at least one --param NAME")
    params = []
    for name in names:
        if name not in reals:
            raise FitError(f"--param {name}: not a real of the problem (reals: {', '.join(reals)})")
        if any(p.name == name for p in params):
            raise FitError(f"--param {name}: given twice")
        start = getattr(problem, name)
        if not start > 0:
            raise FitError(f"--param {name}: the start value {start:g} of the problem must be positive "
                           "(the fit works on the logarithm)")
        lo, hi = bounds.pop(name, (None, None))
        lo = start / 10.0 ** DEFAULT_DECADES if lo is None else lo
        hi = start * 10.0 ** DEFAULT_DECADES if hi is None else hi
        if not 0 < lo < start < hi:
            raise FitError(f"--bounds {name}={lo:g}:{hi:g}: expected 0 < LO < start value {start:g} < HI")
        params.append(Parameter(name, start, lo, hi))
    if bounds:
        raise FitError(f"--bounds {', '.join(bounds)}: not a fitted parameter (give it with --param)")
    return params


# -- the model ------------------------------------------------------------------
def _f32(value: float) -> float:
    return float(np.float32(value))


def _one_line(text: str) -> str:
    lines = [line.strip() for line in (text or "").splitlines() if line.strip()]
    return lines[-1] if lines else "(nothing on standard error)"


def _model_run(program: str, text: str, workdir: str, timeout, observable: str, upt_name: str,
               keep: bool, scheme: str = "standard", flow: str = "coupled", flow_cache=None):
    """Run the program on one PROB.INP text in ``workdir``; return
    ``("ok", times, values)`` of the observable or ``("error", message)``.
    A run with a step that ended at the iteration limit is an error: its
    curve is not the model's.  With ``flow`` "reuse" the run starts from the
    cached steady flow (:mod:`questrand.flow`).  A module-level function so
    that worker processes can call it."""
    workdir = Path(workdir)
    try:
        workdir.mkdir(parents=True, exist_ok=True)
        if flow == "reuse":
            import warnings
            from .flow import prepare
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                text = prepare(Problem.parse(text), workdir, flow_cache, program, timeout=timeout).text()
        (workdir / PROBLEM_FILE).write_text(text, encoding="utf-8")
        try:
            done = subprocess.run([program, *program_arguments(scheme)], cwd=workdir,
                                  capture_output=True, text=True,
                                  errors="replace", timeout=timeout)
        except subprocess.TimeoutExpired:
            return ("error", f"no end after {timeout} s (stopped)")
        (workdir / "console.txt").write_text(done.stdout)
        if done.returncode != 0:
            return ("error", f"exit status {done.returncode}: {_one_line(done.stderr)}")
        warned = convergence_warnings(done.stderr)
        if warned:
            maxit = Problem.parse(text).maxit
            return ("error", f"{len(warned)} step{'s' if len(warned) != 1 else ''} ended without "
                             f"convergence after maxit = {maxit} outer iterations; the run is not "
                             "the model's solution: raise maxit (or convtol) in PROB.INP")
        if observable in UPTAKE_OBSERVABLES:
            path = workdir / upt_name
            if not path.is_file():
                return ("error", f"the program wrote no {upt_name} (uptake file) for the observable "
                                 f"{observable}; a build without the uptake output?")
            table = read_uptake(path)
        else:
            path = workdir / MONITOR_FILE
            histories = read_monitor(path) if path.is_file() else []
            if not histories:
                return ("error", f"the program wrote no {MONITOR_FILE}")
            table = histories[-1][1]
        times, values = table["time"].copy(), table[observable].copy()
        if len(times) == 0:
            return ("error", f"{path.name} holds no time step")
        if not np.all(np.isfinite(values)):
            bad = float(times[~np.isfinite(values)][0])
            return ("error", f"{observable} is not finite at time {bad:g} ({path.name})")
        return ("ok", times, values)
    except Exception as exc:  # reported as the run's own error line
        return ("error", f"{type(exc).__name__}: {exc}".splitlines()[0])
    finally:
        if not keep:
            shutil.rmtree(workdir, ignore_errors=True)


def _cores() -> int:
    """The number of cores this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


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
    from earlier runs.
    """

    def __init__(self, problem: Problem, params, observable: str, root, *, program=None,
                 jobs=None, timeout=None, keep=False, scheme="standard", flow="reuse",
                 flow_cache=None):
        self.problem = problem.replace(prt_step=max(problem.nsteps, 1))  # fewer field files
        self.params = list(params)
        self.observable = observable
        self.root = Path(root)
        self.program = str(find_program(program))
        self.jobs = max(1, int(jobs or _cores()))
        self.timeout = timeout
        self.keep = keep
        self.scheme = scheme
        from .flow import flow_label
        self.flow = flow_label(problem, flow)
        self.flow_cache = None if flow_cache is None else str(flow_cache)
        self.upt_name = stem(problem.runname).rstrip(" ") + ".UPT"
        self.runs = 0
        self.reused = 0
        self._cache = {}
        self._pool = None

    def close(self):
        if self._pool is not None:
            self._pool.shutdown()
            self._pool = None

    def problem_at(self, values) -> Problem:
        """The base problem with the parameters set to ``values`` (as the
        program will read them: single precision)."""
        return self.problem.replace(**{p.name: _f32(v) for p, v in zip(self.params, values)})

    def describe(self, values) -> str:
        return ", ".join(f"{p.name}={_f32(v):.6g}" for p, v in zip(self.params, values))

    def curves(self, value_sets) -> list:
        """The model curves ``(times, values)`` for each parameter set."""
        texts = [self.problem_at(values).text() for values in value_sets]
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
                arguments.append((self.program, text, str(workdir), self.timeout, self.observable,
                                  self.upt_name, self.keep, self.scheme, self.flow, self.flow_cache))
            if self.jobs > 1 and len(todo) > 1:
                if self._pool is None:
                    self._pool = interrupts.worker_pool(self.jobs)
                results = list(self._pool.map(_model_run, *zip(*arguments)))
            else:
                results = [_model_run(*a) for a in arguments]
            for text, args, result in zip(todo, arguments, results):
                if result[0] != "ok":
                    values = [getattr(Problem.parse(text), p.name) for p in self.params]
                    where = f" in {args[2]}" if self.keep else ""
                    raise FitError(f"model run with {self.describe(values)} failed{where}: {result[1]}")
                self._cache[text] = (result[1], result[2])
        return [self._cache[text] for text in texts]


# -- the fit --------------------------------------------------------------------
@dataclasses.dataclass
class FitResult:
    """The outcome of :func:`fit`.  Arrays run over the parameters in order;
    intervals are ``(p, 2)`` arrays; ``rss`` is the weighted sum of squares
    (chi-square) when the data give ``sigma``."""

    data: Data
    parameters: list
    estimate: np.ndarray
    stderr: np.ndarray
    ci95: np.ndarray
    correlation: np.ndarray
    rss: float
    dof: int
    noise: float
    t_quantile: float
    evaluations: int
    reused: int
    converged: bool
    message: str
    wall_time: float
    curve_time: np.ndarray
    curve_value: np.ndarray
    fitted: np.ndarray
    search_runs: int = 0
    search_time: float = 0.0
    profile_ci95: np.ndarray | None = None
    profile_open: np.ndarray | None = None
    scheme: str = "standard"
    flow: str = "coupled"
    given_estimate: np.ndarray | None = None     # the given grid's estimate
    discretisation_error: np.ndarray | None = None
    stat_halfwidth: np.ndarray | None = None     # t se in the logarithm
    accuracy: object = None                      # questrand.accuracy.Accuracy
    lack: object = None                          # questrand.accuracy.LackOfFit
    warnings: list = dataclasses.field(default_factory=list)

    @property
    def names(self) -> list:
        return [p.name for p in self.parameters]

    def as_json(self) -> dict:
        """A JSON-ready dict of the results."""
        out = {"observable": self.data.observable, "data": str(self.data.path),
               "points": len(self.data), "parameters": {}}
        for k, p in enumerate(self.parameters):
            entry = {"estimate": float(self.estimate[k]), "stderr": _num(self.stderr[k]),
                     "discretisation_error": (None if self.discretisation_error is None
                                              else _num(self.discretisation_error[k])),
                     "ci95": [_num(v) for v in self.ci95[k]], "start": p.start,
                     "bounds": [p.low, p.high]}
            if self.given_estimate is not None:
                entry["given_grid_estimate"] = float(self.given_estimate[k])
            if self.accuracy is not None and self.accuracy.extrapolations:
                e = self.accuracy.extrapolations[k]
                entry["grid_estimates"] = [float(v) for v in e.values]
                entry["observed_order"] = _num(e.observed_order) if e.observed_order is not None else None
                entry["extrapolated"] = bool(self.accuracy.extrapolated[k])
            if self.profile_ci95 is not None:
                entry["profile_ci95"] = [_num(v) for v in self.profile_ci95[k]]
                entry["profile_reaches_bound"] = [bool(v) for v in self.profile_open[k]]
            out["parameters"][p.name] = entry
        out.update({"correlation": {a: {b: _num(self.correlation[i, j])
                                        for j, b in enumerate(self.names)}
                                    for i, a in enumerate(self.names)},
                    "rss": self.rss, "dof": self.dof,
                    "noise_sigma": None if self.data.sigma is not None else self.noise,
                    "weighted": self.data.sigma is not None,
                    "evaluations": self.evaluations, "reused": self.reused,
                    "search_evaluations": self.search_runs,
                    "converged": self.converged, "message": self.message,
                    "scheme": self.scheme, "flow": self.flow, "warnings": list(self.warnings),
                    "lack_of_fit": None if self.lack is None else {
                        "systematic": bool(self.lack.systematic), "sign_runs": self.lack.runs,
                        "expected_runs": self.lack.expected_runs, "lag1": self.lack.lag1},
                    "accuracy": None if self.accuracy is None else {
                        "target": self.accuracy.target, "reached": bool(self.accuracy.reached),
                        "grids": [{"factor": g.factor, "estimate": [float(v) for v in np.exp(g.theta)],
                                   "runs": g.runs, "seconds": round(g.seconds, 3)}
                                  for g in self.accuracy.grids],
                        "stopped": self.accuracy.stopped or None},
                    "wall_time": round(self.wall_time, 3), "search_time": round(self.search_time, 3)})
        return out


def _num(value):
    value = float(value)
    return value if math.isfinite(value) else None


class _Objective:
    """Weighted residuals and their Jacobian in the log-parameters."""

    def __init__(self, model: Model, data: Data, step: float):
        self.model = model
        self.data = data
        # The search sees residuals of order one: in units of sigma, or else
        # relative to the data's largest value (scipy's tolerances are
        # absolute; an uptake of 1e-6 would otherwise look converged at once).
        # ``unit`` converts them back for the reported sums and intervals.
        if data.sigma is not None:
            self.unit = 1.0
            self.weight = 1.0 / data.sigma
        else:
            self.unit = float(np.max(np.abs(data.value))) or 1.0
            self.weight = np.full(len(data), 1.0 / self.unit)
        self.h = math.log1p(step)
        self.upper = np.array([math.log(p.high) for p in model.params])
        self.checked = False
        self.last_jac = None

    def predictions(self, thetas) -> list:
        curves = self.model.curves([np.exp(t) for t in thetas])
        return [self._at_data(times, values) for times, values in curves]

    def _at_data(self, times, values):
        t = self.data.time
        span = max(times[-1] - times[0], abs(times[-1]), 1e-300)
        slack = 1e-6 * span
        outside = (t < times[0] - slack) | (t > times[-1] + slack)
        if np.any(outside):
            bad = t[outside][0]
            line = self.data.line_of(int(np.argmax(outside)))
            where = (f"before its first step at {times[0]:g}" if bad < times[0]
                     else f"after its last step at {times[-1]:g}")
            raise FitError(f"{self.data.path}: line {line}: time {bad:g} lies outside the run, "
                           f"{where} (dt = {self.model.problem.dt:g}, "
                           f"nsteps = {self.model.problem.nsteps})")
        return np.interp(t, times, values)

    def residuals(self, theta):
        (y,) = self.predictions([theta])
        return (y - self.data.value) * self.weight

    def jacobian(self, theta, fixed=None):
        """Forward differences of the residuals in the free log-parameters
        (all but those in ``fixed``), the columns run in parallel."""
        theta = np.asarray(theta, dtype=float)
        free = [k for k in range(len(theta)) if not fixed or k not in fixed]
        points = [theta]
        steps = []
        for k in free:
            h = self.h if theta[k] + self.h <= self.upper[k] else -self.h
            point = theta.copy()
            point[k] += h
            points.append(point)
            steps.append(h)
        y = self.predictions(points)
        jac = np.column_stack([(y[i + 1] - y[0]) / steps[i] for i in range(len(free))])
        if not self.checked:
            self._check_flat(y[0], jac, free)
            self.checked = True
        if not fixed:
            self.last_jac = (theta.copy(), jac)
        return jac * self.weight[:, None]

    def _check_flat(self, y, jac, free):
        scale = max(float(np.max(np.abs(y))), float(np.max(np.abs(self.data.value))))
        for col, k in enumerate(free):
            move = float(np.max(np.abs(jac[:, col]))) * self.h
            if not move > FLAT_TOLERANCE * self.h * scale:
                name = self.model.params[k].name
                raise FitError(f"{self.data.observable} does not depend on {name} in this run "
                               f"(a {100 * math.expm1(self.h):.2g} % change of {name} moves it by "
                               f"{move:.2g}, against values up to {scale:.3g})")


def fit(problem: Problem, data: Data, names, bounds=None, *, jobs=None, step=DEFAULT_STEP,
        profile=False, workdir=None, program=None, timeout=None, max_evaluations=None,
        log=None, scheme="standard", accuracy=None, time_limit=None, grid_check=True,
        flow="reuse", flow_cache=None) -> FitResult:
    """Fit the reals ``names`` of ``problem`` to the measured curve ``data``.

    ``bounds`` maps a name to ``(LO, HI)`` (None for the default side);
    ``jobs`` parallel program runs (default: the number of cores); ``step``
    the relative change of a parameter for the finite differences;
    ``profile`` adds profile-likelihood intervals; ``workdir`` keeps every
    model run in its own subdirectory there (default: a temporary directory,
    removed afterwards); ``max_evaluations`` caps the residual evaluations
    of the least-squares search (default 100 per parameter).  ``scheme`` is
    the program's scheme for the concentration; ``flow`` "reuse" (the
    default, where the problem solves its flow) runs every model from the
    steady flow solved once and cached in ``flow_cache``, "coupled" solves
    the flow in every step of every run.

    Discretisation error (:mod:`questrand.accuracy`): with ``grid_check``
    the fit is repeated on a grid twice as fine, which gives the error of
    the estimate; ``accuracy`` (a relative error, e.g. 0.01) refines further
    until every parameter's error is below it (Richardson extrapolation
    where the observed order supports it), the grid limit, or
    ``time_limit`` seconds.  The interval covers both errors.

    ``log``, a callable, receives progress lines.  Raises :class:`FitError`
    with a one-line reason when the fit cannot be made.
    """
    try:
        from scipy import optimize, stats
    except ImportError:
        raise FitError("the fit needs scipy: install Debian's python3-scipy "
                       "(and run /usr/bin/python3)") from None
    from . import accuracy as acc

    started = _time.perf_counter()
    if problem.steady:
        raise FitError("the base problem is a steady run; a fit to a curve in time needs a "
                       "transient run (steady state F)")
    if problem.restart_in:
        raise FitError("the base problem reads a restart file (restart_in T); a fit needs runs "
                       "that start from time zero")
    if not problem.solve_c:
        raise FitError("the base problem does not solve the concentration (solve_c F)")
    if accuracy is not None and not 0 < accuracy < 1:
        raise FitError(f"--accuracy {accuracy:g}: expected a relative error between 0 and 1, e.g. 0.01")
    params = make_parameters(problem, names, bounds)
    n, p = len(data), len(params)
    if n <= p:
        raise FitError(f"{data.path}: {n} data point{'s' if n != 1 else ''} for {p} parameter"
                       f"{'s' if p != 1 else ''}: a fit with intervals needs more points than parameters")
    own_root = workdir is None
    root = Path(tempfile.mkdtemp(prefix="questrand-fit-")) if own_root else Path(workdir)
    options = dict(program=program, jobs=jobs, timeout=timeout, keep=not own_root, scheme=scheme,
                   flow=flow, flow_cache=flow_cache)
    model = Model(problem, params, data.observable, root, **options)
    objective = _Objective(model, data, step)
    say = log or (lambda line: None)
    warnings = []
    if data.observable in PROBE_NAMES and (grid_check or accuracy is not None):
        warnings.append(f"{data.observable} is a monitor probe: it sits on a node whose place "
                        "changes with the grid, so the discretisation error includes its move; "
                        "a physical point observable (c_memb_mid, c_gel_mid, c_gel_top) does not")
    try:
        theta0 = np.log([q.start for q in params])
        lower = np.log([q.low for q in params])
        upper = np.log([q.high for q in params])
        result = optimize.least_squares(
            objective.residuals, theta0, jac=objective.jacobian, bounds=(lower, upper),
            method="trf", x_scale=1.0, xtol=1e-6, ftol=1e-8, gtol=1e-8,
            max_nfev=max_evaluations or 100 * p)
        theta = result.x
        say(f"least squares: {result.message} ({model.runs} model runs)")
        if objective.last_jac is not None and np.array_equal(objective.last_jac[0], theta):
            jac_w = objective.last_jac[1] * objective.weight[:, None]
        else:
            jac_w = objective.jacobian(theta)
        r_w = objective.residuals(theta)
        given = np.exp(theta)
        grids = None
        if grid_check or accuracy is not None:
            def make_objective(fine: Problem, factor: int):
                sub = root / f"grid-x{factor}"
                return _Objective(Model(fine, params, data.observable, sub, **options), data, step)
            grids = acc.grid_sequence(make_objective, problem, theta, r_w, jac_w, lower, upper,
                                      scheme=scheme, target=accuracy, time_limit=time_limit,
                                      started=started, log=say)
            r_w = grids.grids[-1].residuals if accuracy is not None else r_w
        jac = jac_w * objective.unit
        r = r_w * objective.unit
        rss = float(r @ r)
        dof = n - p
        noise = math.sqrt(rss / dof)
        s2 = 1.0 if data.sigma is not None else rss / dof
        jtj = jac.T @ jac
        try:
            cov = s2 * np.linalg.inv(jtj)
            if not np.all(np.isfinite(cov)) or np.any(np.diag(cov) <= 0):
                raise np.linalg.LinAlgError
        except np.linalg.LinAlgError:
            raise FitError(f"{' and '.join(names)} cannot be told apart with {data.observable} in "
                           "this run (the Jacobian at the optimum is singular)") from None
        se = np.sqrt(np.diag(cov))
        correlation = cov / np.outer(se, se)
        correlation = np.clip(0.5 * (correlation + correlation.T), -1.0, 1.0)
        np.fill_diagonal(correlation, 1.0)
        tq = float(stats.t.ppf(0.975, dof))
        estimate = given if grids is None or accuracy is None else grids.estimate
        disc = None if grids is None else grids.error
        widen = 0.0 if disc is None else np.nan_to_num(disc / estimate, nan=0.0)
        log_est = np.log(estimate)
        ci = np.column_stack([np.exp(log_est - tq * se - widen), np.exp(log_est + tq * se + widen)])
        (times, values), = model.curves([given])
        res = FitResult(data=data, parameters=params, estimate=estimate, stderr=estimate * se,
                        ci95=ci, correlation=correlation, rss=rss, dof=dof, noise=noise,
                        t_quantile=tq, evaluations=model.runs, reused=model.reused,
                        converged=bool(result.success), message=str(result.message),
                        wall_time=0.0, curve_time=times, curve_value=values,
                        fitted=objective.predictions([theta])[0], search_runs=model.runs,
                        search_time=_time.perf_counter() - started, scheme=scheme,
                        given_estimate=given, discretisation_error=disc, stat_halfwidth=tq * se,
                        accuracy=grids, lack=acc.lack_of_fit(r), warnings=warnings, flow=model.flow)
        if grids is not None:
            res.evaluations += sum(g.runs for g in grids.grids)
            _grid_warnings(res)
        if profile:
            try:
                res.profile_ci95, res.profile_open = _profile(objective, theta, se, rss, tq, dof,
                                                              data.sigma is not None, lower, upper, say)
            except (FitError, ValueError, RuntimeError, np.linalg.LinAlgError) as exc:
                res.warnings.append(f"the profile intervals could not be made ({exc}); "
                                    "the intervals above are the linear ones")
            res.evaluations, res.reused = model.runs, model.reused
            if grids is not None:
                res.evaluations += sum(g.runs for g in grids.grids)
        res.warnings.extend(acc.identifiability_warnings(res.names, res.estimate, res.ci95,
                                                         res.correlation, res.profile_open))
        res.wall_time = _time.perf_counter() - started
        return res
    finally:
        model.close()
        if own_root:
            shutil.rmtree(root, ignore_errors=True)


def _grid_warnings(res: FitResult) -> None:
    """Warnings on the discretisation error: above the asked accuracy, or
    larger than the statistical interval of a plain fit."""
    grids = res.accuracy
    for k, name in enumerate(res.names):
        err, value = res.discretisation_error[k], res.estimate[k]
        if not math.isfinite(err):
            res.warnings.append(f"{name}: the discretisation error is unknown ({grids.stopped})")
            continue
        rel = err / abs(value)
        note = grids.extrapolations[k].note if grids.extrapolations else ""
        if grids.target is not None and rel > grids.target:
            why = f"; {grids.stopped}" if grids.stopped else ""
            res.warnings.append(f"{name} is not determined to {100 * grids.target:g} %: its "
                                f"discretisation error is {100 * rel:.2g} % on the finest grid "
                                f"(x{grids.factors[-1]}){why}" + (f" ({note})" if note else ""))
        elif grids.target is None and err > 0.5 * value * math.expm1(res.stat_halfwidth[k]):
            res.warnings.append(f"{name}: the grid moves the estimate by about {100 * rel:.2g} %, "
                                "more than half its statistical interval: refine (--accuracy 0.01)")


def _profile(objective: _Objective, theta, se, rss, tq, dof, weighted, lower, upper, say):
    """Profile-likelihood intervals of every parameter (log space in, values out)."""
    from scipy import optimize

    limit = rss + tq * tq if weighted else rss * (1.0 + tq * tq / dof)
    p = len(theta)
    intervals = np.zeros((p, 2))
    reaches = np.zeros((p, 2), dtype=bool)
    for k in range(p):
        others = [j for j in range(p) if j != k]
        nuisance = {"start": theta[others].copy()}

        def excess(value, k=k, others=others, nuisance=nuisance):
            point = theta.copy()
            point[k] = value
            if others:
                def fun(sub):
                    full = point.copy()
                    full[others] = sub
                    return objective.residuals(full)

                def jac(sub):
                    full = point.copy()
                    full[others] = sub
                    return objective.jacobian(full, fixed={k})

                inner = optimize.least_squares(fun, nuisance["start"], jac=jac,
                                               bounds=(lower[others], upper[others]), method="trf",
                                               xtol=1e-5, ftol=1e-7, gtol=1e-8, max_nfev=50 * p)
                nuisance["start"] = inner.x
                r = inner.fun
            else:
                r = objective.residuals(point)
            r = r * objective.unit
            return float(r @ r) - limit

        for side, direction in enumerate((-1.0, 1.0)):
            nuisance["start"] = theta[others].copy()
            bound = lower[k] if direction < 0 else upper[k]
            step = max(se[k], 1e-3)
            inside = theta[k]
            found = None
            while True:
                probe = inside + direction * step
                if (probe - bound) * direction >= 0:
                    probe = bound
                if excess(probe) > 0:
                    found = probe
                    break
                if probe == bound:
                    break
                inside, step = probe, step * 2.0
            if found is None:
                intervals[k, side], reaches[k, side] = math.exp(bound), True
                continue
            # the ends to 1 % of the standard error (at least 1e-4 in ln p)
            root = optimize.brentq(excess, inside, found, xtol=max(1e-4, 0.01 * se[k]),
                                   rtol=1e-10, maxiter=40)
            intervals[k, side] = math.exp(root)
        say(f"profile of {objective.model.params[k].name}: "
            f"[{intervals[k, 0]:.6g}, {intervals[k, 1]:.6g}] ({objective.model.runs} model runs so far)")
    return intervals, reaches


# -- reporting ------------------------------------------------------------------
_FLOW_TEXT = {"reuse": "steady, solved once and reused", "coupled": "solved in every step",
              "not solved": "not solved"}


def format_result(res: FitResult) -> str:
    """The results as a text table."""
    data = res.data
    lines = [f"fit of {data.observable} in {data.path}: {len(data)} points, "
             f"{len(res.parameters)} parameter{'s' if len(res.parameters) != 1 else ''}, "
             f"{res.dof} degrees of freedom; {res.scheme} scheme; flow {_FLOW_TEXT[res.flow]}"]
    disc = res.discretisation_error
    head = f"{'parameter':<12s} {'start':>11s} {'estimate':>12s} {'stderr':>10s} "
    if disc is not None:
        head += f"{'grid error':>11s} "
    head += f"  {'95% interval':<27s}"
    if res.profile_ci95 is not None:
        head += f" {'95% profile interval':<27s}"
    lines.append(head)
    for k, p in enumerate(res.parameters):
        row = f"{p.name:<12s} {p.start:>11.4g} {res.estimate[k]:>12.6g} {res.stderr[k]:>10.3g} "
        if disc is not None:
            row += f"{disc[k]:>11.3g} "
        row += f"  {_interval(res.ci95[k]):<27s}"
        if res.profile_ci95 is not None:
            row += " " + _interval(res.profile_ci95[k], res.profile_open[k])
        lines.append(row)
    if disc is not None:
        lines.append("interval = statistical (t x stderr) + grid error (the discretisation error "
                     "of the estimate, from refined grids)")
        grids = res.accuracy
        done = ", ".join(f"x{g.factor}: " + " ".join(f"{math.exp(v):.6g}" for v in g.theta)
                         for g in grids.grids)
        lines.append(f"estimates on grids {done}")
        how = []
        for k, name in enumerate(res.names):
            if grids.target is None:
                how.append(f"{name}: given grid's estimate, error from x2 with the formal order")
            elif grids.extrapolated[k]:
                e = grids.extrapolations[k]
                how.append(f"{name}: extrapolated (observed order {e.observed_order:.2f})")
            else:
                how.append(f"{name}: finest grid's estimate")
        lines.append("; ".join(how))
        if grids.target is not None:
            state = "reached" if grids.reached else "NOT reached"
            lines.append(f"accuracy {100 * grids.target:g} % {state}"
                         + (f" ({grids.stopped})" if grids.stopped and not grids.reached else ""))
    if res.data.sigma is not None:
        lines.append(f"chi-square {res.rss:.6g} (weighted by the data's sigma), "
                     f"reduced {res.rss / res.dof:.4g}; t({res.dof}) = {res.t_quantile:.4g}")
    elif res.lack is not None and res.lack.systematic:
        lines.append(f"residual sum of squares {res.rss:.6g}; residual sigma {res.noise:.4g} is the "
                     f"model's misfit, not noise; t({res.dof}) = {res.t_quantile:.4g}")
    else:
        lines.append(f"residual sum of squares {res.rss:.6g}; noise sigma {res.noise:.4g} "
                     f"(estimated from the residuals); t({res.dof}) = {res.t_quantile:.4g}")
    if res.lack is not None and res.lack.systematic:
        lines.append("lack of fit: " + res.lack.describe())
    if len(res.parameters) > 1:
        lines.append("correlation:")
        width = max(len(name) for name in res.names) + 2
        lines.append(" " * width + "".join(f"{name:>{width}s}" for name in res.names))
        for i, name in enumerate(res.names):
            lines.append(f"{name:<{width}s}" + "".join(f"{res.correlation[i, j]:>{width}.3f}"
                                                       for j in range(len(res.names))))
    state = "converged" if res.converged else "NOT converged"
    lines.append(f"{state}: {res.message}")
    if res.profile_ci95 is not None:
        lines.append(f"{res.search_runs} model runs for the estimates ({res.search_time:.2f} s), "
                     f"{res.evaluations} with the profiles ({res.reused} reused), {res.wall_time:.2f} s")
    else:
        lines.append(f"{res.evaluations} model runs ({res.reused} reused), {res.wall_time:.2f} s")
    if res.profile_open is not None and res.profile_open.any():
        lines.append("(>=, <=: the profile interval reaches the parameter's bound)")
    for warning in res.warnings:
        lines.append(f"warning: {warning}")
    return "\n".join(line.rstrip() for line in lines)


def _interval(pair, open_sides=(False, False)) -> str:
    lo = ("<=" if open_sides[0] else "") + f"{pair[0]:.6g}"
    hi = ("<=" if open_sides[1] else "") + f"{pair[1]:.6g}"
    return f"[{lo}, {hi}]"


def plot_fit(res: FitResult):
    """The data, the fitted curve and the residuals (a matplotlib Figure)."""
    from matplotlib.figure import Figure

    data = res.data
    fig = Figure(figsize=(8.0, 6.0), layout="constrained", dpi=110)
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1.3]})
    if data.sigma is not None:
        top.errorbar(data.time, data.value, yerr=data.sigma, fmt="o", ms=4, color="tab:gray",
                     label="data (+- sigma)")
    else:
        top.plot(data.time, data.value, "o", ms=4, color="tab:gray", label="data")
    fitted = ", ".join(f"{name} = {value:.4g}" for name, value in zip(res.names, res.estimate))
    top.plot(res.curve_time, res.curve_value, "-", color="tab:blue", label=f"model: {fitted}")
    top.set_ylabel(data.observable)
    top.set_title(f"fit of {data.observable} ({data.path.name})")
    top.legend()
    residual = data.value - res.fitted
    bottom.axhline(0.0, color="black", lw=0.8)
    bottom.plot(data.time, residual, "o", ms=4, color="tab:red")
    bottom.set_ylabel("data - model")
    bottom.set_xlabel("time")
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    return fig


# -- command line -----------------------------------------------------------------
def add_parser(subparsers):
    """The ``fit`` command."""
    parser = subparsers.add_parser(
        "fit", help="fit reals of a problem (diffusivities, ...) to a measured curve",
        description="Fit reals of PROB.INP (diff_gel, diff_memb, ...) to a measured curve by "
                    "least squares on their logarithms, with standard errors, 95%% confidence "
                    "intervals and correlations.")
    parser.add_argument("problem", help="base PROB.INP (a transient run whose time steps cover the data)")
    parser.add_argument("data", help="CSV with a header: 'time', one observable column (a monitor "
                                     "probe such as C(GelMid) or an uptake column such as m_gel), "
                                     "optionally 'sigma'")
    parser.add_argument("--param", action="append", required=True, metavar="NAME",
                        help="a real of the problem to fit (repeat for several)")
    parser.add_argument("--bounds", action="append", metavar="NAME=LO:HI",
                        help="limits of a parameter (default: within four decades of the start)")
    parser.add_argument("--observable", metavar="NAME", help="the data column to fit when there are several")
    parser.add_argument("--jobs", type=int, metavar="N", help="parallel model runs (default: the number of cores)")
    parser.add_argument("--step", type=float, default=DEFAULT_STEP, metavar="REL",
                        help=f"relative parameter change of the finite differences (default {DEFAULT_STEP})")
    parser.add_argument("--profile", action="store_true", help="add profile-likelihood intervals")
    parser.add_argument("--accuracy", type=float, metavar="REL",
                        help="refine the grid until the discretisation error of every parameter is "
                             "below REL of its estimate (e.g. 0.01)")
    parser.add_argument("--time-limit", type=float, metavar="S",
                        help="with --accuracy: no further grid after S seconds")
    parser.add_argument("--no-grid-check", dest="grid_check", action="store_false",
                        help="skip the refined grid that estimates the discretisation error")
    parser.add_argument("--scheme", default="standard", choices=("standard", "second-order"),
                        help="the program's scheme for the concentration (default standard)")
    parser.add_argument("--flow", default="reuse", choices=("reuse", "coupled"),
                        help="reuse: solve the steady flow once and run the concentration from it "
                             "(default); coupled: solve the flow in every step as PROB.INP asks")
    parser.add_argument("--flow-cache", metavar="DIR",
                        help="where steady flows are kept (default $QUESTRAND_FLOW_CACHE or "
                             "~/.cache/questrand/flow)")
    parser.add_argument("--json", metavar="FILE", help="write the results as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="plot the data, the fitted curve and the residuals")
    parser.add_argument("--workdir", metavar="DIR", help="keep every model run in DIR/run-NNNN "
                                                         "(default: a temporary directory, removed)")
    parser.add_argument("--timeout", type=float, metavar="S", help="stop a model run after S seconds")
    parser.add_argument("--max-evaluations", type=int, metavar="N",
                        help="cap on the residual evaluations of the search (default 100 per "
                             "parameter); each also costs up to one model run per parameter")
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    if args.jobs is not None and args.jobs < 1:
        raise FitError(f"--jobs {args.jobs}: expected at least 1")
    if not 0 < args.step < 1:
        raise FitError(f"--step {args.step:g}: expected a relative change between 0 and 1, e.g. 0.01")
    try:
        problem = Problem.read(args.problem)
        data = read_data(args.data, args.observable)
        result = fit(problem, data, args.param, parse_bounds(args.bounds), jobs=args.jobs,
                     step=args.step, profile=args.profile, workdir=args.workdir,
                     timeout=args.timeout, max_evaluations=args.max_evaluations,
                     log=lambda line: print(line, file=sys.stderr), scheme=args.scheme,
                     accuracy=args.accuracy, time_limit=args.time_limit,
                     grid_check=args.grid_check, flow=args.flow, flow_cache=args.flow_cache)
    except KeyboardInterrupt:
        kept = f" but the model runs made so far, in {args.workdir}" if args.workdir else ""
        raise interrupts.Interrupted(f"interrupted; nothing kept{kept}") from None
    print(format_result(result))
    if args.json:
        files.write_text(args.json, json.dumps(result.as_json(), indent=2) + "\n")
    if args.plot:
        files.save_figure(plot_fit(result), args.plot)
    return 0 if result.converged else 3
