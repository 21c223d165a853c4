"""The least-squares fit, its covariance and its profile-likelihood
intervals (:func:`fit`)."""

from __future__ import annotations

import math
import shutil
import tempfile
import time as _time
from pathlib import Path

import numpy as np

from ..grid import PROBE_NAMES
from ..problem import Problem
from .data import DEFAULT_STEP, Data, FitError
from .model import Model
from .objective import _Objective
from .parameters import make_parameters
from .result import FitResult, _grid_warnings


def fit(problem: Problem, data: Data, names, bounds=None, *, jobs=None, step=DEFAULT_STEP,
        profile=False, workdir=None, program=None, timeout=None, max_evaluations=None,
        log=None, scheme="standard", accuracy=None, time_limit=None, grid_check=True,
        flow="reuse", flow_cache=None, made=None, width=None) -> FitResult:
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
    the flow in every step of every run.  ``made``: model runs of the
    given grid made already (:meth:`Model.made` of a model of this problem,
    observable and options), not made again.  ``width``: the cell's width
    (m), for ``flow_rate`` among ``names`` (fitted in place of u_in).

    Discretisation and iteration errors (:mod:`questrand.accuracy`): with
    ``grid_check`` the fit is repeated on a grid twice as fine, which gives
    the uncertainty of the estimate, and the reported grid's run is made
    again at convtol / 10 (the iteration error); ``accuracy`` (a relative
    error, e.g. 0.01) refines further until every parameter's uncertainty
    is below it, the grid limit, or ``time_limit`` seconds, and then
    reports the finest grid's estimate.  The interval covers the
    statistical, the grid and the iteration errors.

    ``log``, a callable, receives progress lines.  Raises :class:`FitError`
    with a one-line reason when the fit cannot be made.
    """
    try:
        from scipy import optimize, stats
    except ImportError:
        raise FitError("the fit needs scipy: install Debian's python3-scipy "
                       "(and run /usr/bin/python3)") from None
    from .. import accuracy as acc

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
    params = make_parameters(problem, names, bounds, width=width)
    n, p = len(data), len(params)
    # points with a given sigma need only as many as parameters (an end-point
    # value for one parameter); without it the noise takes one more
    if n < p or (n == p and data.sigma is None):
        raise FitError(f"{data.path}: {n} data point{'s' if n != 1 else ''} for {p} parameter"
                       f"{'s' if p != 1 else ''}: a fit with intervals needs more points than "
                       "parameters, or as many with a sigma column")
    own_root = workdir is None
    root = Path(tempfile.mkdtemp(prefix="questrand-fit-")) if own_root else Path(workdir)
    options = dict(program=program, jobs=jobs, timeout=timeout, keep=not own_root, scheme=scheme,
                   flow=flow, flow_cache=flow_cache)
    model = Model(problem, params, data.observable, root, made=made, **options)
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
            def make_objective(grid_problem: Problem, label: str, allow_maxit=False):
                sub = root / f"grid-{label}"
                return _Objective(Model(grid_problem, params, data.observable, sub, allow_maxit=allow_maxit,
                                        **options), data, step)
            grids = acc.grid_sequence(make_objective, problem, theta, r_w, jac_w, lower, upper,
                                      scheme=scheme, target=accuracy, time_limit=time_limit,
                                      started=started, log=say, iterations1=model.most_iterations(given), jobs=jobs)
            r_w = grids.grids[-1].residuals if accuracy is not None else r_w
        jac = jac_w * objective.unit
        r = r_w * objective.unit
        rss = float(r @ r)
        dof = n - p
        noise = math.sqrt(rss / dof) if dof > 0 else math.nan
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
        tq = t_quantile(dof)
        estimate = given if grids is None or accuracy is None else grids.estimate
        disc = None if grids is None else grids.error
        # the grid uncertainty and the iteration error widen the statistical half-width
        widen = 0.0 if grids is None else np.nan_to_num(grids.total() / estimate, nan=0.0)
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
        res.covariance, res.sensitivity = cov, jac_w / objective.weight[:, None]  # for the curve's band
        if profile:
            try:
                res.profile_ci95, res.profile_open = _profile(objective, theta, se, rss, tq, dof,
                                                              data.sigma is not None, lower, upper, say)
            except (FitError, ValueError, RuntimeError, np.linalg.LinAlgError) as exc:
                res.warnings.append(f"the profile intervals could not be made ({exc}); "
                                    "the intervals above are the linear ones")
            res.evaluations, res.reused = model.runs, model.reused
        if grids is not None:
            res.evaluations += sum(g.runs for g in grids.grids) + grids.iteration_runs
            grids.conclude(acc.parameter_states(res.names, estimate, np.exp(lower), np.exp(upper),
                                                tq * se, correlation, res.profile_open,
                                                bound_texts=[bound_texts(q) for q in params]))
            _grid_warnings(res)
        else:
            res.warnings.extend(_bound_warnings(params, estimate))
        res.warnings.extend(acc.identifiability_warnings(res.names, tq * se, res.correlation,
                                                         res.profile_open))
        misfit = acc.misfit_warning(res.lack, rss, dof, data.sigma is not None, res.names)
        if misfit is not None:
            res.warnings.append(misfit)
        res.wall_time = _time.perf_counter() - started
        return res
    finally:
        model.close()
        if own_root:
            shutil.rmtree(root, ignore_errors=True)



def t_quantile(dof: int) -> float:
    """The 97.5 % point of Student's t for ``dof`` degrees of freedom; with
    none (as many points with a given sigma as parameters) the normal one,
    sigma being known."""
    from scipy import stats
    return float(stats.t.ppf(0.975, dof) if dof > 0 else stats.norm.ppf(0.975))


def bound_texts(param) -> dict:
    """The texts naming the bounds of ``param`` ("upper bound 1e-9 m2/s
    (the channel's diffusivity)"), by side."""
    return {side: param.bound_text(side) for side in ("lower", "upper")}


def _bound_warnings(params, estimate) -> list:
    """A warning for each estimate that sits on a bound: the data would take
    it further, so it is the bound and not a measurement."""
    from ..accuracy import bound_side

    out = []
    for q, value in zip(params, estimate):
        side = bound_side(value, q.low, q.high)
        if side is not None:
            out.append(f"{q.name} is at its {q.bound_text(side)}: the fit stopped there, the data "
                       "ask for a value beyond it; check the problem and the data before widening "
                       "it (--bounds)")
    return out


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

