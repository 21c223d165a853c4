"""How true a fitted value is: its discretisation error, the fit's lack of
fit, and the parameters the data cannot determine.

Discretisation error.  A fitted value carries the error of the model's grid
and time step: the model curve of a coarse grid differs from the exact one,
so the value that fits it differs from the true one.  The fit is repeated on
grids 2, 4 ... times finer in rows, columns and time step
(:func:`questrand.refine.refined`), each starting from the estimate of the
grid before and iterated by Gauss-Newton steps with the Jacobian of the
grid before, updated by each step's secant (Broyden), one run per step; when
the steps stop shrinking the Jacobian is formed again on the finer grid.  The values
on the sequence of grids give, per parameter, by Richardson extrapolation
(:func:`questrand.refine.richardson`):

- with two grids (every fit): the error of the coarse estimate, assuming the
  formal order of the scheme, |p_1 - p_ext|;
- with more (``accuracy``): the finest grid's value with its grid
  convergence index, the safety factor times its distance from the
  extrapolated value (the observed order from the last three grids and
  1.25 when that order is supported; else the formal order and 3, as always
  with two grids); from
  four grids on, when the last two triples of grids both show a supported
  order, the extrapolated value with 3 times how far it moved from the
  extrapolation of the three grids before as its error.

The reported interval covers the statistical and the discretisation error
together: exp(ln p +- (t se + |e| / p)), the error added to the statistical
half-width (a bias is not random, so it is added, not combined in squares).

Lack of fit.  Residuals of a model that fits are independent noise: about
n/2 sign runs and a lag-one autocorrelation near zero.  Far fewer runs
(z < -2.58) or a large positive autocorrelation (r1 sqrt(n) > 2.58) mean the
misfit is systematic; then a noise level estimated from the residuals is the
model's misfit, not the noise of the data.
"""

from __future__ import annotations

import dataclasses
import math
import time as _time

import numpy as np

from .refine import FORMAL_ORDER, GridLimitError, refined, richardson

#: Gauss-Newton steps on a refined grid: stop when every step of a
#: log-parameter is below this, or after MAX_STEPS.
STEP_TOLERANCE = 2e-5
MAX_STEPS = 12
#: Two-sided 1 % point of the standard normal: a statistic beyond it marks
#: the residuals as systematic.
Z_SYSTEMATIC = 2.58
#: Correlation beyond which a pair of parameters is confounded, and the
#: ratio of relative half-widths that names the worse determined one.
CONFOUNDED = 0.95
WIDER = 3.0


@dataclasses.dataclass
class GridFit:
    """The estimate of one grid."""

    factor: int
    theta: np.ndarray          # log-parameters
    residuals: np.ndarray      # weighted residuals at theta
    runs: int
    seconds: float


@dataclasses.dataclass
class Accuracy:
    """The discretisation errors of a fit (see the module notes)."""

    grids: list                 # GridFit per grid, coarsest first
    estimate: np.ndarray        # the reported values
    error: np.ndarray           # their estimated discretisation errors
    extrapolations: list        # Extrapolation per parameter
    extrapolated: np.ndarray    # bool per parameter: the value is extrapolated
    target: float | None = None
    reached: bool = True
    stopped: str = ""           # why the refinement stopped short, if it did

    @property
    def factors(self) -> list:
        return [g.factor for g in self.grids]


def refit(objective, theta, jac_weighted, lower, upper, log=None):
    """Gauss-Newton iterations of ``objective`` (weighted residuals of the
    log-parameters) from ``theta``, starting with the Jacobian of the grid
    before and updating it with each step's secant (Broyden's update), so
    that every iteration costs one run.  When the steps stop shrinking the
    Jacobian is formed again by finite differences on this grid.  Returns
    (theta, residuals, the last Jacobian)."""
    say = log or (lambda line: None)
    theta = np.array(theta, dtype=float)
    jac = np.array(jac_weighted, dtype=float)
    r = objective.residuals(theta)
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
                  scheme="standard", target=None, time_limit=None, started=None, log=None) -> Accuracy:
    """Estimates on grids 1, 2, 4 ... and their discretisation errors.

    ``make_objective(problem, factor)`` gives the objective of a refined problem;
    ``theta1``, ``residuals1`` are the given grid's fit.  Without ``target``
    one refined grid is used (the error of the given grid's estimate);
    with it, grids are refined until every parameter's error is below
    ``target`` times its value, the grid limit, or ``time_limit`` seconds.
    """
    say = log or (lambda line: None)
    started = started if started is not None else _time.perf_counter()
    formal = FORMAL_ORDER[scheme]
    grids = [GridFit(1, np.asarray(theta1, dtype=float), np.asarray(residuals1), 0, 0.0)]
    stopped = ""
    result = None
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
        objective = make_objective(fine, factor)
        theta, r, jac_weighted = refit(objective, grids[-1].theta, jac_weighted, lower, upper, log=say)
        grids.append(GridFit(factor, theta, r, objective.model.runs, _time.perf_counter() - t0))
        say(f"grid x{factor}: " + ", ".join(f"{math.exp(v):.6g}" for v in theta)
            + f" ({objective.model.runs} runs, {grids[-1].seconds:.1f} s)")
        objective.model.close()
        result = _errors(grids, formal, target)
        if target is None or bool(np.all(result.error <= target * np.abs(result.estimate))):
            break
    if result is None:
        # not even one refined grid: the error is unknown
        values = np.exp(grids[0].theta)
        result = Accuracy(grids=grids, estimate=values, error=np.full(len(values), math.nan),
                          extrapolations=[], extrapolated=np.zeros(len(values), dtype=bool))
    result.target = target
    result.stopped = stopped
    result.reached = target is None or bool(np.all(result.error <= target * np.abs(result.estimate)))
    return result


def _errors(grids, formal, target) -> Accuracy:
    values = np.exp(np.array([g.theta for g in grids]))      # grids x parameters
    p = values.shape[1]
    estimate, error = np.zeros(p), np.zeros(p)
    extrapolated = np.zeros(p, dtype=bool)
    extrapolations = []
    for k in range(p):
        e = richardson(values[:, k], 2.0, formal)
        extrapolations.append(e)
        if target is None:
            estimate[k], error[k] = values[0, k], e.errors[0]
        elif e.extrapolation_error is not None:
            estimate[k], error[k], extrapolated[k] = e.extrapolated, e.extrapolation_error, True
        else:
            estimate[k], error[k] = values[-1, k], e.errors[-1] * e.safety
    return Accuracy(grids=list(grids), estimate=estimate, error=error, extrapolations=extrapolations,
                    extrapolated=extrapolated)


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


def identifiability_warnings(names, estimate, ci95, correlation, profile_open=None) -> list:
    """Warnings naming the parameters the data cannot determine."""
    out = []
    halfwidth = 0.5 * (np.log(ci95[:, 1]) - np.log(ci95[:, 0]))
    for i, name in enumerate(names):
        if profile_open is not None and np.any(profile_open[i]):
            sides = " and ".join(s for s, o in zip(("lower", "upper"), profile_open[i]) if o)
            out.append(f"{name} is not determined by the data: its profile reaches the {sides} "
                       "bound (flat or one-sided)")
        for j, other in enumerate(names):
            if i != j and abs(correlation[i, j]) > CONFOUNDED and halfwidth[i] > WIDER * halfwidth[j]:
                out.append(f"{name} is poorly determined: confounded with {other} (correlation "
                           f"{correlation[i, j]:.3f}), its interval +-{100 * math.expm1(halfwidth[i]):.0f} % "
                           f"against +-{100 * math.expm1(halfwidth[j]):.0f} %")
            elif (j > i and abs(correlation[i, j]) > CONFOUNDED
                  and max(halfwidth[i], halfwidth[j]) <= WIDER * min(halfwidth[i], halfwidth[j])):
                out.append(f"{name} and {other} are confounded (correlation {correlation[i, j]:.3f}): "
                           "the data fix a combination of the two better than either; another "
                           "observable or a longer experiment separates them")
    return out
