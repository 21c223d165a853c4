"""A design study: the predicted precision of each candidate experiment.

For each design the problem is run at the nominal parameters and with each
parameter's logarithm moved by +-ln(1 + step); the central differences give the sensitivities dy/d ln p of the
observable at the sampling times, and :mod:`.fisher` turns them into
standard errors, half-widths, correlation and identifiability.

Honest at the right grid.  A prediction is only as good as the
sensitivities, and they carry the grid's discretisation error.  Every
design is predicted on the given grid and on one twice as fine
(:func:`questrand.refine.refined`: rows, columns and time step); when the
predicted standard errors of the two differ by more than ``se_tolerance``
(default 10 %) of their value, the grid is refined again (x4, x8) up to
``max_factor`` (default 8) or the program's grid limit.  The values reported are those
of the finest grid used, with the change from the grid before
(``se_grid_change``; with first-order convergence it is about the error
left).  A design that ends above the tolerance is flagged
(``grid_ok`` false) with a warning.  The same two grids also give the
discretisation error a fit on the reported grid would carry: the shift of
the least-squares estimate between the two grids' nominal curves (first
order: the error of the finer grid's estimate equals that shift),
``grid_error_rel_NAME``; above half the predicted half-width it is named
in a note: fit such data with ``--accuracy``.
"""

from __future__ import annotations

import dataclasses
import math
import time as _time

import numpy as np

from ..problem import Problem
from ..refine import GridLimitError, refined
from .fisher import (DEFAULT_LIMIT, Prediction, check_criterion, criterion_identifiable, criterion_value,
                     predict, rank)
from .runs import Runner, column
from .table import Design, DesignError

#: Relative parameter change of the central differences.  Larger than the
#: fit's 1 %: the program computes in single precision, and when the
#: sensitivities of two parameters are nearly proportional (the case that
#: matters) the round-off in differences of 1 % runs on fine grids moves the
#: predicted errors by tens of per cent; 4 % central differences agree with
#: 10 % ones and with an independent solution to about 5 % except where the
#: columns are nearly proportional (docs/design-of-experiments.md).
DEFAULT_STEP = 0.04
SE_TOLERANCE = 0.10
MAX_FACTOR = 8


@dataclasses.dataclass
class DesignResult:
    """The prediction of one design on the grid it was judged on."""

    design: Design
    problem: Problem                 # the design's problem on the given grid, nominal values
    factor: int = 1                  # the grid the prediction comes from
    prediction: Prediction = None
    times: np.ndarray = None         # the run's output times (reported grid)
    curve: np.ndarray = None         # the nominal curve at those times
    sensitivity: np.ndarray = None   # dy/d ln p at those times (columns per parameter)
    sensitivity_samples: np.ndarray = None   # the same at the sampling times
    samples: np.ndarray = None       # the nominal values at the sampling times
    sigma: np.ndarray = None         # the standard deviation of each sample
    se_change: float = math.nan      # max relative change of se from the grid before
    grid_error: np.ndarray = None    # relative discretisation error of a fit's estimate
    history: list = dataclasses.field(default_factory=list)   # (factor, se) per grid
    criterion: float = math.nan
    rank: int = 0
    notes: list = dataclasses.field(default_factory=list)
    tolerance: float = SE_TOLERANCE  # of se_change
    combination: list = dataclasses.field(default_factory=list)  # the ids of a combination's designs

    @property
    def grid_ok(self) -> bool:
        return bool(math.isfinite(self.se_change) and self.se_change <= self.tolerance) or \
            bool(np.all(~np.isfinite(self.prediction.se)))


@dataclasses.dataclass
class Study:
    names: list
    nominal: dict
    criterion: str
    results: list                    # DesignResult, ranked
    runs: int
    seconds: float
    step: float
    limit: float
    warnings: list = dataclasses.field(default_factory=list)
    checks: list = dataclasses.field(default_factory=list)   # from .simulate


def _f32(value: float) -> float:
    return float(np.float32(value))


def study(base: Problem, designs, names, *, at=None, criterion="max-halfwidth", limit=DEFAULT_LIMIT,
          step=DEFAULT_STEP, se_tolerance=SE_TOLERANCE, max_factor=MAX_FACTOR, runner: Runner,
          log=None, combinations=()) -> Study:
    """Predict every design of ``designs`` for the parameters ``names`` at
    their nominal values (``at``, else the base problem's), rank them by
    ``criterion`` (see :func:`.fisher.criterion_value`).  ``runner`` makes
    the model runs."""
    say = log or (lambda line: None)
    started = _time.perf_counter()
    names = list(names)
    if not names:
        raise DesignError("no parameter to measure: give at least one --param NAME")
    if len(set(names)) != len(names):
        raise DesignError(f"--param: a parameter is given twice ({', '.join(names)})")
    from ..fit import real_fields
    for name in names:
        if name not in real_fields():
            raise DesignError(f"--param {name}: not a real of the problem (reals: {', '.join(real_fields())})")
    criterion = check_criterion(criterion, names)
    if base.steady or not base.solve_c or base.restart_in:
        raise DesignError("the base problem must be a transient run from time zero that solves the "
                          "concentration (steady F, solve_c T, restart_in F)")
    # a physics real the problem leaves unset (washout_at) counts as 0: give it with --at
    nominal = {n: _f32(getattr(base, n) or 0.0) for n in names}
    nominal.update({n: _f32(v) for n, v in (at or {}).items()})
    for n, v in nominal.items():
        if not v > 0:
            raise DesignError(f"--param {n}: the nominal value {v:g} must be positive (give --at {n}=VALUE)")
    base = base.replace(**nominal)
    results = [DesignResult(d, d.problem(base), tolerance=se_tolerance) for d in designs]
    for r in results:
        # the samples have a sigma: as many as parameters make a fit (an end-point value for one)
        if r.design.n_samples < len(names) and not combinations:
            raise DesignError(f"{r.design.where}: {r.design.n_samples} samples for {len(names)} "
                              "parameters: a fit needs at least as many samples as parameters")
    h = math.log1p(step)
    active, factor, previous = list(results), 1, {}
    while active:
        say(f"grid x{factor}: {len(active)} design{'s' if len(active) != 1 else ''}")
        batch = []
        for r in active:
            fine = refined(r.problem, factor)
            points = [fine]
            for n in names:
                for sign in (1.0, -1.0):
                    points.append(fine.replace(**{n: _f32(nominal[n] * math.exp(sign * h))}))
            batch.append(points)
        labels = [f"design {r.design.id}, grid x{factor}" for r in active for _ in range(2 * len(names) + 1)]
        width = 2 * len(names) + 1
        tables = runner.tables([p for points in batch for p in points], labels)
        still = []
        for i, r in enumerate(active):
            _predict(r, tables[i * width:(i + 1) * width], names, nominal, factor, h, limit)
            if factor > 1:
                old = previous[r.design.id]
                r.se_change = _se_change(old[0], r.prediction.se)
                r.grid_error = _grid_error(old, r)
            previous[r.design.id] = (r.prediction.se, r.samples, r.sensitivity_samples, r.sigma)
            r.history.append((factor, r.prediction.se.copy()))
            if factor == 1 or (r.se_change > se_tolerance and factor * 2 <= max_factor):
                try:
                    refined(r.problem, factor * 2)
                    still.append(r)
                    continue
                except GridLimitError as exc:
                    r.notes.append(f"no finer grid: {exc}")
        active, factor = still, factor * 2
    out = Study(names=names, nominal=nominal, criterion=criterion, results=[], runs=runner.runs,
                seconds=0.0, step=step, limit=limit)
    for r in results:
        p = r.prediction
        r.criterion = criterion_value(p, criterion)
        if not r.grid_ok:
            out.warnings.append(f"{r.design.id}: the predicted standard errors still change by "
                                f"{100 * r.se_change:.3g} % from grid x{r.factor // 2} to x{r.factor} "
                                f"(tolerance {100 * se_tolerance:g} %): its prediction is uncertain by as much")
        if r.grid_error is not None:
            for k, n in enumerate(names):
                if math.isfinite(p.halfwidth[k]) and r.grid_error[k] > 0.5 * p.halfwidth[k]:
                    r.notes.append(f"a fit on grid x{r.factor} is off by about {100 * r.grid_error[k]:.2g} % "
                                   f"in {n} (grid error), more than half its half-width: fit with --accuracy")
    results.extend(combine(results, combinations, names, criterion, limit))
    order, ranks = rank([r.criterion for r in results],
                        [criterion_identifiable(r.prediction, criterion) for r in results])
    for r, k in zip(results, ranks):
        r.rank = k
    out.results = [results[i] for i in order]
    out.runs, out.seconds = runner.runs, _time.perf_counter() - started
    return out


def _predict(r: DesignResult, tables, names, nominal, factor, h, limit):
    d = r.design
    times, values = column(tables[0], d.observable)
    slack = 1e-6 * max(abs(times[-1]), 1e-300)
    if d.t_start < times[0] - slack or d.t_end > times[-1] + slack:
        raise DesignError(f"{d.where}: sampling times {d.t_start:g}..{d.t_end:g} outside the run's "
                          f"output times {times[0]:g}..{times[-1]:g} (the first is one time step, dt = "
                          f"{r.problem.dt:g})")
    sens = []
    for k, n in enumerate(names):
        (t_up, v_up), (t_dn, v_dn) = (column(tables[2 * k + j + 1], d.observable) for j in (0, 1))
        step = math.log(_f32(nominal[n] * math.exp(h)) / _f32(nominal[n] * math.exp(-h)))
        sens.append((np.interp(times, t_up, v_up) - np.interp(times, t_dn, v_dn)) / step)
    r.factor, r.times, r.curve = factor, times, values
    r.sensitivity = np.column_stack(sens)
    r.samples = np.interp(d.times, times, values)
    r.sensitivity_samples = np.column_stack([np.interp(d.times, times, s) for s in sens])
    r.sigma = d.sigmas(r.samples)
    r.prediction = predict(names, r.sensitivity_samples, r.sigma, r.samples, limit)


def _se_change(old, new) -> float:
    ok = np.isfinite(old) & np.isfinite(new)
    if not np.any(ok):
        return 0.0 if np.array_equal(np.isfinite(old), np.isfinite(new)) else math.inf
    if not np.all(ok == (np.isfinite(old) | np.isfinite(new))):
        return math.inf
    return float(np.max(np.abs(new[ok] / old[ok] - 1.0)))


def _grid_error(old, r: DesignResult):
    """|shift of the estimate| between the two grids' nominal curves (relative)."""
    _, y_old, s_old, sigma = old
    jac = r.sensitivity_samples / r.sigma[:, None]
    resid = (y_old - r.samples) / r.sigma
    try:
        shift = np.linalg.lstsq(jac, resid, rcond=None)[0]
    except np.linalg.LinAlgError:
        return np.full(jac.shape[1], math.inf)
    return np.abs(np.expm1(shift))


def combine(results, combinations, names, criterion, limit) -> list:
    """A result per combination of designs (each a list of their ids) made
    together and fitted jointly: independent samples add their information,

        F = sum_d F_d = J^T J,   J = the members' rows S / sigma stacked,

    so the prediction of the stacked sensitivities and sigmas (the
    t-quantile for all the samples less the parameters).  The combination
    stands in the table as ``ID+ID``, its curve and grid those of its first
    member."""
    by_id = {r.design.id: r for r in results}
    out = []
    for group in combinations:
        group = list(group)
        missing = [g for g in group if g not in by_id]
        if missing or len(group) < 2:
            raise DesignError(f"--combine {'+'.join(group)}: expected two or more design ids "
                              f"(ids: {', '.join(by_id)})")
        members = [by_id[g] for g in group]
        first = members[0]
        joint = dataclasses.replace(first, design=dataclasses.replace(
            first.design, id="+".join(group), n_samples=sum(m.design.n_samples for m in members),
            where=f"combination {'+'.join(group)}"), notes=[f"designs {', '.join(group)} together"],
            history=[], combination=group)
        joint.prediction = predict(names, np.vstack([m.sensitivity_samples for m in members]),
                                   np.concatenate([m.sigma for m in members]),
                                   np.concatenate([m.samples for m in members]), limit)
        joint.se_change = max(m.se_change for m in members)
        joint.criterion = criterion_value(joint.prediction, criterion)
        out.append(joint)
    for r in results:
        if r.design.n_samples < len(names):
            in_group = any(r.design.id in group for group in combinations)
            r.notes.append(f"{r.design.n_samples} samples for {len(names)} parameters"
                           + (": measured only with the others of its combination" if in_group else ""))
    return out
