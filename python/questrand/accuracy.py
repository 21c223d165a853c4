"""How true a fitted value is: its discretisation error, the iteration
error of its model runs, the fit's lack of fit, and the parameters the data
cannot determine.

Discretisation error.  A fitted value carries the error of the model's grid
and time step: the model curve of a coarse grid differs from the exact one,
so the value that fits it differs from the true one.  The fit is repeated on
grids 2, 4 ... times finer in rows, columns and time step
(:func:`questrand.refine.refined`), each starting from the estimate of the
grid before and iterated by Gauss-Newton steps with the Jacobian of the
grid before, updated by each step's secant (Broyden), one run per step; when
the steps stop shrinking the Jacobian is formed again on the finer grid.
The values on the sequence of grids give, per parameter, the uncertainty U
of each grid's value (:func:`questrand.refine.richardson`: two grids with
the lowest order the scheme may show and Fs 3; three grids with the
observed order; four or more by least squares):

- with one refined grid (every fit): the given grid's estimate and its U;
- with more (``accuracy`` REL): the finest grid's estimate and its U,
  refining until U is below REL of the estimate for every parameter, the
  grid limit or the time limit.

Iteration error.  Every step of a model run stops iterating when its
normalised residual is below ``convtol``; the estimate carries what that
leaves.  The reported grid's model run is made again at convtol / 10 at the
estimate (with ``--accuracy`` on two cores or more: at the point its search
started from, beside the search), and one Gauss-Newton step with that
grid's last Jacobian J from the change of the residuals,
d = -J^+ (r_tight - r), is the move of the estimate: the iteration error
|p (e^d - 1)| (:func:`iteration_error`).
Where convtol / 10 lies below the residual's rounding floor (it grows with
the number of cells) no step reaches it; the run then stops each step at
2 N + 5 outer iterations (N the most any step of the run at convtol took,
at most maxit) and counts: each step has iterated more than twice as often
as before, as far as the rounding lets the solution change.

The reported interval covers the statistical error, the grid uncertainty U
and the iteration error E together: exp(ln p +- (t se + (U + E) / p)), the
errors added to the statistical half-width (a bias is not random, so it is
added, not combined in squares).  ``accuracy`` is reached when U + E is
below REL of the estimate for every parameter and no parameter sits at a
bound or is left undetermined by the data (:func:`parameter_states`): for
those the grid's error says nothing.

Lack of fit.  Residuals of a model that fits are independent noise: about
n/2 sign runs and a lag-one autocorrelation near zero.  Far fewer runs
(z < -2.58) or a large positive autocorrelation (r1 sqrt(n) > 2.58) mean the
misfit is systematic; then a noise level estimated from the residuals is the
model's misfit, not the noise of the data.  With the data's sigma given, the
residuals' own scatter is a second test: a residual sigma sqrt(chi2 / dof)
above SIGMA_RATIO times the given sigma (and a chi-square beyond its upper 1 %
point) is misfit no noise of that size makes.  Either finding gives one
warning that names the likely causes: a parameter held fixed (the partition
coefficients first, when not fitted) or a grid too coarse.
"""

from __future__ import annotations

import concurrent.futures
import dataclasses
import math
import os
import time as _time

import numpy as np

from .errors import QuestrandError
from .refine import GridLimitError, refined, richardson, scheme_orders

#: Gauss-Newton steps on a refined grid: stop when every step of a
#: log-parameter is below this, or after MAX_STEPS.
STEP_TOLERANCE = 2e-5
MAX_STEPS = 12
#: The iteration error: the model run repeated at convtol / TIGHTER.
TIGHTER = 10.0
#: A parameter within this relative distance of a bound sits on it.
AT_BOUND = 1e-3
#: A parameter whose statistical 95 % half-width exceeds this share of its
#: value is not determined by the data.
UNDETERMINED = 1.0
#: Two-sided 1 % point of the standard normal: a statistic beyond it marks
#: the residuals as systematic.
Z_SYSTEMATIC = 2.58
#: Correlation beyond which a pair of parameters is confounded, and the
#: ratio of relative half-widths that names the worse determined one.
CONFOUNDED = 0.95
WIDER = 3.0
#: A residual sigma above this multiple of the data's given sigma is misfit.
SIGMA_RATIO = 2.0
#: The fixed reals a misfit names first when they are not fitted.
OFTEN_MISSING = ("partition_gel", "partition_memb")


@dataclasses.dataclass
class GridFit:
    """The estimate of one grid."""

    factor: int
    theta: np.ndarray          # log-parameters
    residuals: np.ndarray      # weighted residuals at theta
    runs: int
    seconds: float
    jacobian: np.ndarray | None = None   # the last Jacobian of the weighted residuals
    iterations: int | None = None        # the most outer iterations of a step of the run at theta


@dataclasses.dataclass
class Accuracy:
    """The discretisation and iteration errors of a fit (see the module notes).

    ``estimate`` are the reported values (the given grid's with one refined
    grid, the finest grid's with a target), ``error`` their grid
    uncertainties U (safety factor included), ``iteration_error`` their
    iteration errors (NaN when unknown, ``iteration_note`` says why);
    ``states`` per parameter why its accuracy cannot be reached (at a
    bound, not determined by the data) or None."""

    grids: list                 # GridFit per grid, coarsest first
    estimate: np.ndarray
    error: np.ndarray
    extrapolations: list        # Extrapolation per parameter
    target: float | None = None
    reached: bool = True
    stopped: str = ""           # why the refinement stopped short, if it did
    iteration_error: np.ndarray | None = None
    iteration_note: str = ""
    iteration_runs: int = 0
    iteration_convtol: float | None = None
    states: list = dataclasses.field(default_factory=list)

    @property
    def factors(self) -> list:
        return [g.factor for g in self.grids]

    @property
    def reported(self) -> GridFit:
        """The grid whose estimate is reported."""
        return self.grids[0] if self.target is None else self.grids[-1]

    def total(self) -> np.ndarray:
        """U + E per parameter (an unknown iteration error counts as none)."""
        iteration = np.zeros(len(self.error)) if self.iteration_error is None else self.iteration_error
        return self.error + np.nan_to_num(iteration, nan=0.0)

    def conclude(self, states) -> None:
        """Set ``states`` and whether the target is reached: U + E below it
        for every parameter, the iteration error known, and no parameter at
        a bound or undetermined."""
        self.states = list(states)
        if self.target is None:
            self.reached = True
            return
        known = self.iteration_error is not None and bool(np.all(np.isfinite(self.iteration_error)))
        within = bool(np.all(self.total() <= self.target * np.abs(self.estimate)))
        self.reached = known and within and not any(self.states)

    def shortfalls(self, names) -> list:
        """Why the target is not reached, one phrase per cause."""
        out = []
        total = self.total()
        for k, name in enumerate(names):
            if self.states and self.states[k]:
                out.append(f"{name} {self.states[k]}")
            elif not total[k] <= self.target * abs(self.estimate[k]):
                out.append(f"{name} within {100 * total[k] / abs(self.estimate[k]):.2g} % only")
        if self.iteration_note:
            out.append(f"the iteration error is {self.iteration_note}")
        if self.stopped:
            out.append(self.stopped)
        return out


def refit(objective, theta, jac_weighted, lower, upper, log=None, started=None):
    """Gauss-Newton iterations of ``objective`` (weighted residuals of the
    log-parameters) from ``theta``, starting with the Jacobian of the grid
    before and updating it with each step's secant (Broyden's update), so
    that every iteration costs one run.  When the steps stop shrinking the
    Jacobian is formed again by finite differences on this grid.  Returns
    (theta, residuals, the last Jacobian).  ``started(theta, residuals)``,
    when given, is called once the residuals at the starting point are
    known."""
    say = log or (lambda line: None)
    theta = np.array(theta, dtype=float)
    jac = np.array(jac_weighted, dtype=float)
    r = objective.residuals(theta)
    if started is not None:
        started(theta.copy(), np.array(r))
    previous = math.inf
    for _ in range(MAX_STEPS):
        step = -np.linalg.lstsq(jac, r, rcond=None)[0]
        new = np.clip(theta + step, lower, upper)
        taken = new - theta
        size = float(np.max(np.abs(taken)))
        if size < STEP_TOLERANCE:
            break
        r_new = objective.residuals(new)
        if float(taken @ taken) > 0.0:
            jac += np.outer(r_new - r - jac @ taken, taken) / float(taken @ taken)
        theta, r = new, r_new
        if size > 0.5 * previous:
            say("refit: the steps shrink slowly; Jacobian formed again on this grid")
            jac = objective.jacobian(theta)
        previous = size
    return theta, r, jac


def grid_sequence(make_objective, problem, theta1, residuals1, jac_weighted, lower, upper, *,
                  scheme="standard", target=None, time_limit=None, started=None, log=None,
                  iterations1=None, jobs=None) -> Accuracy:
    """Estimates on grids 1, 2, 4 ..., their grid uncertainties and the
    iteration error of the reported one.

    ``make_objective(problem, label, allow_maxit=False)`` gives the
    objective of a problem (its runs under a directory named by ``label``);
    ``theta1``, ``residuals1``, ``jac_weighted`` are the given grid's fit
    and ``iterations1`` the most outer iterations of a step of its run.  Without ``target`` one
    refined grid is used (the uncertainty of the given grid's estimate);
    with it, grids are refined until every parameter's uncertainty is below
    ``target`` times its value, the grid limit, or ``time_limit`` seconds.
    The caller concludes whether the target is reached
    (:meth:`Accuracy.conclude`).

    With a target and two jobs or more (``jobs``, default the processor's
    cores), each refined grid's run at convtol / TIGHTER is made beside its
    search, at the point the search starts from (the coarser grid's
    estimate), on the core the search leaves idle; the reported grid's is
    its iteration error (:func:`iteration_error` ``at``), the others' are
    not used.  Without, the run is made at the reported estimate after the
    search.
    """
    say = log or (lambda line: None)
    started = started if started is not None else _time.perf_counter()
    formal, lowest = scheme_orders(scheme)
    cores = jobs if jobs is not None else len(os.sched_getaffinity(0))
    beside = concurrent.futures.ThreadPoolExecutor(max_workers=1) if target is not None and cores >= 2 else None
    tight_runs = {}   # factor -> (future of the tight run's residuals, theta, residuals there)
    grids = [GridFit(1, np.asarray(theta1, dtype=float), np.asarray(residuals1), 0, 0.0,
                     np.asarray(jac_weighted, dtype=float), iterations1)]
    stopped = ""
    result = None
    try:
        while True:
            factor = grids[-1].factor * 2
            if time_limit is not None and _time.perf_counter() - started > time_limit:
                stopped = f"time limit of {time_limit:g} s reached after the grid x{grids[-1].factor}"
                break
            try:
                fine = refined(problem, factor)
            except GridLimitError as exc:
                stopped = str(exc)
                break
            t0 = _time.perf_counter()
            objective = make_objective(fine, f"x{factor}")

            def start_tight_run(theta0, r0, fine=fine, factor=factor, objective=objective):
                iterations = objective.model.most_iterations(np.exp(theta0))
                tight_runs[factor] = (beside.submit(_tight_residuals, make_objective, fine, theta0, iterations,
                                                    f"x{factor}-convtol"), theta0, r0)

            theta, r, jac_weighted = refit(objective, grids[-1].theta, jac_weighted, lower, upper, log=say,
                                           started=start_tight_run if beside is not None else None)
            grids.append(GridFit(factor, theta, r, objective.model.runs, _time.perf_counter() - t0,
                                 jac_weighted, objective.model.most_iterations(np.exp(theta))))
            say(f"grid x{factor}: " + ", ".join(f"{math.exp(v):.6g}" for v in theta)
                + f" ({objective.model.runs} runs, {grids[-1].seconds:.1f} s)")
            objective.model.close()
            result = _errors(grids, formal, lowest, target)
            if target is None or bool(np.all(result.error <= target * np.abs(result.estimate))):
                break
        if result is None:
            # not even one refined grid: the error is unknown
            values = np.exp(grids[0].theta)
            result = Accuracy(grids=grids, estimate=values, error=np.full(len(values), math.nan),
                              extrapolations=[])
        result.target = target
        result.stopped = stopped
        grid = result.reported
        result.iteration_convtol = problem.convtol / TIGHTER
        at = None
        if grid.factor in tight_runs:
            future, theta0, r0 = tight_runs[grid.factor]
            at = (theta0, r0, future.result())
    finally:
        if beside is not None:  # the runs no longer wanted are not started
            beside.shutdown(wait=False, cancel_futures=True)
    result.iteration_error, result.iteration_runs, result.iteration_note = iteration_error(
        make_objective, refined(problem, grid.factor), grid, lower, upper, label=f"x{grid.factor}-convtol",
        at=at)
    say(f"iteration error (x{grid.factor} at convtol {result.iteration_convtol:g}): "
        + ", ".join(f"{v:.3g}" for v in result.iteration_error)
        + (f" ({result.iteration_note})" if result.iteration_note else ""))
    return result


def _errors(grids, formal, lowest, target) -> Accuracy:
    """Per parameter the uncertainty of the reported grid's value: the given
    grid's without a target, else the finest grid's."""
    values = np.exp(np.array([g.theta for g in grids]))      # grids x parameters
    reported = 0 if target is None else -1
    extrapolations = [richardson(values[:, k], 2.0, formal, lowest) for k in range(values.shape[1])]
    return Accuracy(grids=list(grids), estimate=values[reported].copy(),
                    error=np.array([e.uncertainties[reported] for e in extrapolations]),
                    extrapolations=extrapolations)


def _tight_residuals(make_objective, problem, theta, iterations, label):
    """(residuals or the QuestrandError of the run, model runs made): the
    run of ``problem`` at ``theta`` made again at convtol / TIGHTER, each
    step stopped at 2 N + 5 outer iterations (N = ``iterations``, the most a
    step took at convtol; at most maxit)."""
    maxit = problem.maxit if iterations is None else min(problem.maxit, 2 * iterations + 5)
    tight = problem.replace(convtol=problem.convtol / TIGHTER, maxit=maxit)
    objective = make_objective(tight, label, allow_maxit=True)
    try:
        return objective.residuals(theta), objective.model.runs
    except QuestrandError as exc:
        return exc, objective.model.runs
    finally:
        objective.model.close()


def iteration_error(make_objective, problem, grid: GridFit, lower, upper, label="convtol", at=None):
    """The iteration error of ``grid``'s estimate (see the module notes):
    (|p (e^d - 1)| per parameter, model runs made, note).  ``problem`` is
    that grid's problem; its run at the estimate is made again at
    convtol / TIGHTER (:func:`_tight_residuals`), and the Gauss-Newton step
    of the change of the residuals with the grid's last Jacobian is the
    error.  ``at`` = (theta, residuals at convtol, the tight run's result)
    gives a tight run made already at another point of the grid's search
    (its start, :func:`grid_sequence`).  A run that fails leaves the error
    unknown (NaN) and the note says why."""
    if at is None:
        theta, residuals = grid.theta, grid.residuals
        tight_result, runs = _tight_residuals(make_objective, problem, theta, grid.iterations, label)
    else:
        theta, residuals, (tight_result, runs) = at
    if isinstance(tight_result, QuestrandError):
        return (np.full(len(grid.theta), math.nan), runs,
                f"unknown: the run at convtol {problem.convtol / TIGHTER:g} failed ({tight_result})")
    step = -np.linalg.lstsq(grid.jacobian, tight_result - residuals, rcond=None)[0]
    moved = np.clip(theta + step, lower, upper) - theta
    return np.abs(np.exp(theta) * np.expm1(moved)), runs, ""


# -- lack of fit and identifiability -------------------------------------------------
@dataclasses.dataclass
class LackOfFit:
    runs: int
    expected_runs: float
    runs_z: float
    lag1: float
    systematic: bool

    def describe(self) -> str:
        return (f"the residuals are systematic ({self.runs} sign runs where noise gives "
                f"{self.expected_runs:.0f}, lag-one autocorrelation {self.lag1:.2f}): the model "
                "misfits the data")


def lack_of_fit(residuals) -> LackOfFit:
    """Sign runs (Wald-Wolfowitz) and lag-one autocorrelation of residuals."""
    r = np.asarray(residuals, dtype=float)
    n = len(r)
    signs = r[r != 0.0] > 0.0
    n_pos, n_neg = int(signs.sum()), int((~signs).sum())
    runs = 1 + int(np.count_nonzero(signs[1:] != signs[:-1])) if len(signs) else 0
    m = n_pos + n_neg
    if n_pos and n_neg:
        expected = 1.0 + 2.0 * n_pos * n_neg / m
        variance = (expected - 1.0) * (expected - 2.0) / (m - 1.0)
        z = (runs - expected) / math.sqrt(variance) if variance > 0 else 0.0
    else:
        expected, z = 1.0 + m / 2.0, -math.inf if m > 4 else 0.0
    centred = r - r.mean()
    denom = float(centred @ centred)
    lag1 = float(centred[1:] @ centred[:-1]) / denom if denom > 0 and n > 2 else 0.0
    systematic = n >= 8 and (z < -Z_SYSTEMATIC or lag1 * math.sqrt(n) > Z_SYSTEMATIC)
    return LackOfFit(runs=runs, expected_runs=expected, runs_z=z, lag1=lag1, systematic=systematic)


def misfit_warning(lack, chi_square, dof, weighted, fitted_names):
    """One warning when the model does not follow the data, else None.

    Misfit: ``lack`` (sign runs, lag-one autocorrelation) systematic, or,
    for residuals weighted by the data's sigma (``weighted``), a residual
    sigma s = sqrt(chi2 / dof) above SIGMA_RATIO times the given sigma with
    chi2 beyond the upper 1 % point of the chi-square of ``dof`` degrees of
    freedom (noise of the stated size would not give it)."""
    from scipy import stats

    found = []
    if lack is not None and lack.systematic:
        found.append(f"{lack.runs} sign runs where noise gives {lack.expected_runs:.0f}, "
                     f"lag-one autocorrelation {lack.lag1:.2f}")
    if weighted and dof > 0:
        ratio = math.sqrt(chi_square / dof)
        if ratio > SIGMA_RATIO and stats.chi2.sf(chi_square, dof) < 0.01:
            found.append(f"residual sigma {ratio:.3g} times the data's sigma")
    if not found:
        return None
    missing = [name for name in OFTEN_MISSING if name not in fitted_names]
    held = (f"a parameter held fixed may be missing (a partition coefficient: {', '.join(missing)})"
            if missing else "a parameter held fixed may be missing")
    return (f"the model does not follow the data: systematic residuals ({'; '.join(found)}); "
            f"{held}, or the grid is too coarse (see the grid error)")


def spread_text(halfwidth: float) -> str:
    """A 95 % interval exp(ln p +- halfwidth) in words: "+-N %" up to ten
    times the value, then "a factor of F either way", and beyond six
    decades their number (a linear interval there says only that the data
    do not bound the parameter)."""
    if math.expm1(halfwidth) <= 10.0:
        return f"+-{100 * math.expm1(halfwidth):.0f} %"
    decades = halfwidth / math.log(10.0)
    if decades <= 6.0:
        return f"a factor of {math.exp(halfwidth):.3g} either way"
    return f"{decades:.3g} decades either way"


def _findings(names, halfwidth, correlation, profile_open=None) -> list:
    """(indices, reason, warning) for the parameters the data cannot
    determine: a profile that reaches a bound (flat or one-sided), a
    statistical 95 % half-width (``halfwidth``, in the logarithm) beyond
    UNDETERMINED of the value, a pair correlated beyond CONFOUNDED (the
    wider one named when its interval is over WIDER times the other's, else
    both)."""
    out = []
    for i, name in enumerate(names):
        if profile_open is not None and np.any(profile_open[i]):
            sides = " and ".join(s for s, o in zip(("lower", "upper"), profile_open[i]) if o)
            out.append(((i,), f"its profile reaches the {sides} bound",
                        f"{name} is not determined by the data: its profile reaches the {sides} "
                        "bound (flat or one-sided)"))
        elif math.expm1(halfwidth[i]) > UNDETERMINED:
            out.append(((i,), f"its 95 % interval is {spread_text(halfwidth[i])}",
                        f"{name} is not determined by the data: its 95 % interval reaches "
                        f"{spread_text(halfwidth[i])} of its value"))
        for j, other in enumerate(names):
            if i != j and abs(correlation[i, j]) > CONFOUNDED and halfwidth[i] > WIDER * halfwidth[j]:
                out.append(((i,), f"confounded with {other}, correlation {correlation[i, j]:.3f}",
                            f"{name} is poorly determined: confounded with {other} (correlation "
                            f"{correlation[i, j]:.3f}), its interval {spread_text(halfwidth[i])} "
                            f"against {spread_text(halfwidth[j])}"))
            elif (j > i and abs(correlation[i, j]) > CONFOUNDED
                  and max(halfwidth[i], halfwidth[j]) <= WIDER * min(halfwidth[i], halfwidth[j])):
                out.append(((i, j), f"confounded, correlation {correlation[i, j]:.3f}",
                            f"{name} and {other} are confounded (correlation {correlation[i, j]:.3f}): "
                            "the data fix a combination of the two better than either; another "
                            "observable or a longer experiment separates them"))
    return out


def identifiability_warnings(names, halfwidth, correlation, profile_open=None) -> list:
    """Warnings naming the parameters the data cannot determine;
    ``halfwidth`` the statistical 95 % half-widths in the logarithm."""
    return [warning for _, _, warning in _findings(names, halfwidth, correlation, profile_open)]


def bound_side(value, low, high) -> str | None:
    """"upper" or "lower" when ``value`` sits on that bound (within
    AT_BOUND of it, relative), else None."""
    if abs(math.log(value / high)) <= AT_BOUND:
        return "upper"
    if abs(math.log(value / low)) <= AT_BOUND:
        return "lower"
    return None


def parameter_states(names, estimate, low, high, halfwidth, correlation, profile_open=None,
                     bound_texts=None) -> list:
    """Per parameter why no accuracy can be stated for it, or None: at its
    lower or upper bound (the fit stopped there, so the grid does not move
    it; :func:`bound_side`), or not determined by the data
    (:func:`identifiability_warnings`).  ``bound_texts[i]`` names the
    bounds of parameter i: ``{"lower": text, "upper": text}`` (default
    "lower bound LO", "upper bound HI")."""
    states = [None] * len(names)
    for i in range(len(names)):
        side = bound_side(estimate[i], low[i], high[i])
        if side is not None:
            text = (bound_texts[i][side] if bound_texts is not None
                    else f"{side} bound {(low if side == 'lower' else high)[i]:g}")
            states[i] = f"at its {text}"
    for indices, reason, _ in _findings(names, halfwidth, correlation, profile_open):
        for i in indices:
            if states[i] is None:
                states[i] = f"not determined by the data ({reason})"
    return states
