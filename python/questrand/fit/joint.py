"""Several experiments in one fit (``questrand fit --experiment ...``).

An experiment is a problem (its PROB.INP) and a data file; the file may
hold several observable columns, each fitted, with a ``sigma_<observable>``
column, a shared ``sigma`` column or none.  The parameters are shared by
every experiment, unless named ``NAME:param`` (only in experiment NAME).

With the data y_ej of observable j of experiment e and the model f_ej, the
fit minimises

    chi2(theta) = sum_e sum_j sum_i ((f_ej(t_i; theta) - y_eji) / sigma_eji)^2

over the log-parameters theta.  An observable without sigma gets one
sigma from its own residuals, s_ej^2 = RSS_ej / (n_ej (1 - p / n)) (the
degrees of freedom the fit takes shared out in proportion to the points;
one observable alone gives RSS / (n - p), the one-curve fit's value); the
search is repeated with these weights until they settle.  The covariance
of theta is then (J^T J)^-1 with J the Jacobian of the weighted residuals,
the interval exp(theta +- t se) with t for n - p degrees of freedom (the
normal quantile when every sigma is given and n = p).

Grid error: for each experiment e in turn its grid is refined (the others
kept) and the joint fit repeated (:func:`questrand.accuracy.grid_sequence`);
the estimate's moves are experiment e's share U_e + E_e of the grid and
iteration error.  The parameter's budget is the sum over the experiments,
and the interval is widened by it.  With an accuracy target each
experiment is refined until its share is below it, and the estimate
reported is the given grid's plus the sum of the experiments' moves to
their finest grids (the moves add to first order).
"""

from __future__ import annotations

import dataclasses
import math
import shutil
import tempfile
import time as _time
from pathlib import Path

import numpy as np

from ..problem import Problem
from .data import DEFAULT_STEP, Data, FitError, read_curves
from .estimate import bound_texts, t_quantile, _bound_warnings
from .model import Model, ObservableView
from .objective import _Objective
from .parameters import make_parameters
from .result import FitResult

#: Passes of the search with re-estimated sigmas at most.
SIGMA_PASSES = 4
#: The sigmas estimated from the residuals have settled when none moves by more.
SIGMA_SETTLED = 0.02


@dataclasses.dataclass
class Experiment:
    """One experiment: its ``name``, base ``problem`` and measured curves
    (one :class:`Data` per observable)."""

    name: str
    problem: Problem
    curves: list


def experiment(given, name=None, warn=None) -> Experiment:
    """An :class:`Experiment` from ``given``: an Experiment, or a tuple
    ``(PROB, DATA)`` / ``(NAME, PROB, DATA)`` with PROB a Problem or the path
    of a PROB.INP and DATA a path, a :class:`Data` or a list of them.  The
    name defaults to the directory name of PROB.INP."""
    if isinstance(given, Experiment):
        return given
    given = tuple(given)
    if len(given) == 3:
        name, given = given[0], given[1:]
    if len(given) != 2:
        raise FitError(f"experiment {given!r}: expected (PROB, DATA) or (NAME, PROB, DATA)")
    problem, data = given
    if not isinstance(problem, Problem):
        path = Path(problem)
        name = name or path.resolve().parent.name
        problem = Problem.read(path)
    if isinstance(data, Data):
        curves = [data]
    elif isinstance(data, (list, tuple)):
        curves = list(data)
    else:
        curves = read_curves(data, **({"warn": warn} if warn else {}))
    if not name:
        raise FitError("an experiment given as a Problem needs a name: (NAME, problem, data)")
    return Experiment(str(name), problem, curves)


def parse_experiment(prob: str, data: str, warn=None) -> Experiment:
    """``--experiment [NAME=]PROB DATA``."""
    name, eq, path = prob.partition("=")
    return experiment((name, path, data) if eq else (prob, data), warn=warn)


@dataclasses.dataclass
class Part:
    """One observable of one experiment in the joint fit: its objective (model
    and data), which of the fit's parameters it sees, and its weight."""

    experiment: str
    objective: _Objective
    index: list                    # positions in the fit's theta of the model's parameters
    sigma: np.ndarray | None       # the data's own sigma, or None (estimated)

    @property
    def data(self) -> Data:
        return self.objective.data


class _JointModel:
    """The run counts and iterations of the models of a joint objective;
    ``close`` closes the models this objective made (not those it shares)."""

    def __init__(self, parts, own, params=None):
        self.parts, self.own = parts, own
        self.params = params  # the fit's parameters, in the order of its theta

    @property
    def runs(self) -> int:
        return sum(p.objective.model.runs for p in self.parts if id(p.objective.model) in self.own)

    @property
    def reused(self) -> int:
        models = {id(m): m for m in (getattr(p.objective.model, "base", p.objective.model) for p in self.parts)}
        return sum(m.reused for m in models.values())

    def most_iterations(self, values):
        counts = [p.objective.model.most_iterations(np.asarray(values)[p.index]) for p in self.parts]
        counts = [c for c in counts if c is not None]
        return max(counts) if counts else None

    def close(self):
        for p in self.parts:
            if id(p.objective.model) in self.own:
                p.objective.model.close()


class JointObjective:
    """The weighted residuals of every part, stacked, and their Jacobian in
    the fit's log-parameters (a part's columns of the parameters it does
    not see are zero)."""

    #: the residuals are in units of each observable's sigma
    unit = 1.0

    def __init__(self, parts, p, own, params=None):
        self.parts = parts
        self.p = p
        self.model = _JointModel(parts, own, params)
        self.weights = [1.0 / part.sigma if part.sigma is not None else
                        np.full(len(part.data), 1.0 / (float(np.max(np.abs(part.data.value))) or 1.0))
                        for part in parts]

    def raw(self, theta) -> list:
        """Model minus data of every part (unweighted)."""
        out = []
        for part in self.parts:
            (y,) = part.objective.predictions([np.asarray(theta)[part.index]])
            out.append(y - part.data.value)
        return out

    def residuals(self, theta):
        return np.concatenate([r * w for r, w in zip(self.raw(theta), self.weights)])

    def jacobian(self, theta, fixed=None):
        """The Jacobian's columns of the parameters not in ``fixed`` (as
        the single fit's objective gives them)."""
        theta = np.asarray(theta, dtype=float)
        fixed = set(fixed or ())
        blocks = []
        for part, w in zip(self.parts, self.weights):
            part.objective.weight = w
            block = np.zeros((len(part.data), self.p))
            mine = [g for g in part.index if g not in fixed]
            if mine:
                local_fixed = {k for k, g in enumerate(part.index) if g in fixed}
                block[:, mine] = part.objective.jacobian(theta[part.index], fixed=local_fixed or None)
            blocks.append(block)
        jac = np.vstack(blocks)
        return np.delete(jac, sorted(fixed), axis=1) if fixed else jac


def fit_experiments(experiments, names, bounds=None, *, jobs=None, step=DEFAULT_STEP, workdir=None,
                    program=None, timeout=None, max_evaluations=None, log=None, scheme="standard",
                    accuracy=None, time_limit=None, grid_check=True, flow="reuse",
                    flow_cache=None, profile=False) -> FitResult:
    """Fit the reals ``names`` to every observable of every experiment at
    once (see the module notes).  ``experiments``: what :func:`experiment` takes;
    ``names``: "diff_gel" (shared) or "NAME:diff_flow" (experiment NAME
    only).  The other arguments as for :func:`questrand.fit.fit`;
    ``profile`` adds profile-likelihood intervals on the given grids, the
    chi-square weighted by each observable's sigma (its rise by t^2 bounds
    the interval).  The :class:`FitResult` has ``experiments``, one entry
    per experiment and observable."""
    from scipy import optimize
    from .. import accuracy as acc

    started = _time.perf_counter()
    say = log or (lambda line: None)
    exps = [experiment(e) for e in experiments]
    if not exps:
        raise FitError("no experiment to fit")
    labels = [e.name for e in exps]
    if len(set(labels)) != len(labels):
        raise FitError(f"experiments named twice ({', '.join(labels)}): name them NAME=PROB.INP")
    for e in exps:
        p = e.problem
        if p.steady or p.restart_in or not p.solve_c:
            raise FitError(f"experiment {e.name}: the problem must be a transient run from time zero "
                           "that solves the concentration (steady F, restart_in F, solve_c T)")
    if accuracy is not None and not 0 < accuracy < 1:
        raise FitError(f"--accuracy {accuracy:g}: expected a relative error between 0 and 1, e.g. 0.01")
    # the fit's parameters: (label, experiment or None, real name)
    entries = []
    for text in names:
        owner, colon, real = text.rpartition(":")
        if colon and owner not in labels:
            raise FitError(f"--param {text}: no experiment {owner!r} (experiments: {', '.join(labels)})")
        if text in [s[0] for s in entries]:
            raise FitError(f"--param {text}: given twice")
        entries.append((text, owner or None, real))
    bounds = dict(bounds or {})
    params, per_experiment = [], {e.name: [] for e in exps}
    for label, owner, real in entries:
        first = next(e for e in exps if owner in (None, e.name))
        limits = bounds.get(label, bounds.get(real))
        made = make_parameters(first.problem, [real], None if limits is None else {real: limits})[0]
        params.append(dataclasses.replace(made, name=label))
        for e in exps:
            if owner in (None, e.name):
                per_experiment[e.name].append((len(params) - 1, made))
    for e in exps:
        if not per_experiment[e.name]:
            raise FitError(f"experiment {e.name}: none of the parameters is in it")
    p = len(params)
    n = sum(len(c) for e in exps for c in e.curves)
    estimated = [c for e in exps for c in e.curves if c.sigma is None]
    for c in estimated:
        if len(c) < 2:
            raise FitError(f"{c.path}: {c.observable}: one data point without sigma: give its "
                           "standard deviation (a sigma column) for an end-point value")
    if n < p or (n == p and estimated):
        raise FitError(f"{n} data points in all for {p} parameters: a fit with intervals needs more "
                       "points than parameters, or as many when every point has a sigma")
    own_root = workdir is None
    root = Path(tempfile.mkdtemp(prefix="questrand-fit-")) if own_root else Path(workdir)
    options = dict(program=program, jobs=jobs, timeout=timeout, keep=not own_root, scheme=scheme,
                   flow=flow, flow_cache=flow_cache)

    def make_parts(problems, sub, allow_maxit=False, shared=None):
        """The parts with experiment e run on problems[e]; ``shared`` (the
        given grid's parts) lends the models of the experiments not changed."""
        parts, own = [], set()
        for k, e in enumerate(exps):
            model = None
            for j, curve in enumerate(e.curves):
                if shared is not None and problems[e.name] is e.problem:
                    parts.append(shared[len(parts)])
                    continue
                if model is None:  # one run of the experiment gives every observable of it
                    model = Model(problems[e.name], [q for _, q in per_experiment[e.name]], curve.observable,
                                  root / sub / e.name, allow_maxit=allow_maxit,
                                  also=tuple(c.observable for c in e.curves), **options)
                    view = model
                else:
                    view = ObservableView(model, curve.observable)
                objective = _Objective(view, curve, step)
                objective.checked = True  # flatness is judged over all the parts (the covariance)
                if view is model:
                    own.add(id(model))
                parts.append(Part(e.name, objective, [i for i, _ in per_experiment[e.name]], curve.sigma))
        return parts, own

    given = {e.name: e.problem for e in exps}
    parts, own = make_parts(given, "given")
    objective = JointObjective(parts, p, own, params)
    models_to_close = [objective.model]
    try:
        theta = np.log([q.start for q in params])
        lower = np.log([q.low for q in params])
        upper = np.log([q.high for q in params])
        sigmas = None
        for sweep in range(SIGMA_PASSES):
            result = optimize.least_squares(objective.residuals, theta, jac=objective.jacobian,
                                            bounds=(lower, upper), method="trf", x_scale=1.0, xtol=1e-6,
                                            ftol=1e-8, gtol=1e-8, max_nfev=max_evaluations or 100 * p)
            theta = result.x
            if not estimated:
                break
            # each observable without sigma: s^2 = RSS_j / (n_j (1 - p / n))
            raw = objective.raw(theta)
            new = [None if part.sigma is not None else
                   math.sqrt(max(float(r @ r), 1e-300) / (len(r) * (1.0 - p / n)))
                   for part, r in zip(parts, raw)]
            settled = sigmas is not None and all(
                a is None or abs(a / b - 1.0) < SIGMA_SETTLED for a, b in zip(new, sigmas))
            sigmas = new
            objective.weights = [w if s is None else np.full(len(w), 1.0 / s)
                                 for w, s in zip(objective.weights, sigmas)]
            if settled:
                break
            say(f"pass {sweep + 1}: sigmas " + ", ".join(f"{s:.3g}" for s in sigmas if s is not None))
        say(f"least squares: {result.message} ({objective.model.runs} model runs)")
        jac_w = objective.jacobian(theta)
        r_w = objective.residuals(theta)
        estimate_given = np.exp(theta)
        estimate = estimate_given.copy()
        shares = []
        if grid_check or accuracy is not None:
            for e in exps:
                def make_objective(grid_problem, label, allow_maxit=False, e=e):
                    sub_parts, sub_own = make_parts({**given, e.name: grid_problem}, f"grid-{e.name}-{label}",
                                                    allow_maxit, shared=parts)
                    joint = JointObjective(sub_parts, p, sub_own)
                    joint.weights = objective.weights
                    return joint
                say(f"grid check of experiment {e.name}")
                grids = acc.grid_sequence(make_objective, e.problem, theta, r_w, jac_w, lower, upper,
                                          scheme=scheme, target=accuracy, time_limit=time_limit,
                                          started=started, log=say,
                                          iterations1=objective.model.most_iterations(estimate_given))
                grids.conclude(acc.parameter_states([q.name for q in params], grids.estimate,
                                                    np.exp(lower), np.exp(upper), np.zeros(p),
                                                    np.eye(p), bound_texts=[bound_texts(q) for q in params]))
                shares.append((e.name, grids))
                if accuracy is not None:
                    estimate = estimate + (grids.estimate - estimate_given)
        jac = jac_w
        rss = float(r_w @ r_w)
        dof = n - p
        try:
            cov = np.linalg.inv(jac.T @ jac)
            if not np.all(np.isfinite(cov)) or np.any(np.diag(cov) <= 0):
                raise np.linalg.LinAlgError
        except np.linalg.LinAlgError:
            raise FitError(f"{' and '.join(names)} cannot be told apart with these experiments "
                           "(the Jacobian at the optimum is singular)") from None
        se = np.sqrt(np.diag(cov))
        correlation = np.clip(0.5 * (cov + cov.T) / np.outer(se, se), -1.0, 1.0)
        np.fill_diagonal(correlation, 1.0)
        tq = t_quantile(dof)
        budget = sum((np.nan_to_num(g.total(), nan=0.0) for _, g in shares), np.zeros(p)) if shares else None
        widen = np.zeros(p) if budget is None else budget / estimate
        ci = np.column_stack([np.exp(np.log(estimate) - tq * se - widen),
                              np.exp(np.log(estimate) + tq * se + widen)])
        entries = []
        raw = objective.raw(theta)
        for part, r, w in zip(parts, raw, objective.weights):
            (times, values), = part.objective.model.curves([np.exp(theta[part.index])])
            weighted = r * w
            entries.append({"experiment": part.experiment, "data": part.data, "points": len(r),
                            "sigma_given": part.sigma is not None,
                            "sigma": None if part.sigma is not None else float(1.0 / w[0]),
                            "rms": float(math.sqrt(float(r @ r) / len(r))),
                            "chi2": float(weighted @ weighted),
                            "lack": acc.lack_of_fit(r) if len(r) >= 3 else None,
                            "fitted": r + part.data.value, "curve_time": times, "curve_value": values})
        warnings = []
        res = FitResult(data=parts[0].data, parameters=params, estimate=estimate, stderr=estimate * se,
                        ci95=ci, correlation=correlation, rss=rss, dof=dof,
                        noise=math.nan, t_quantile=tq, evaluations=0, reused=objective.model.reused,
                        converged=bool(result.success), message=str(result.message), wall_time=0.0,
                        curve_time=entries[0]["curve_time"], curve_value=entries[0]["curve_value"],
                        fitted=entries[0]["fitted"], search_runs=objective.model.runs,
                        search_time=_time.perf_counter() - started, scheme=scheme,
                        given_estimate=estimate_given, discretisation_error=budget, stat_halfwidth=tq * se,
                        warnings=warnings, flow=parts[0].objective.model.flow)
        res.experiments = entries
        res.grid_shares = shares
        res.evaluations = objective.model.runs + sum(sum(g.runs for g in grids.grids) + grids.iteration_runs
                                                     for _, grids in shares)
        if profile:
            from .estimate import _profile
            before = objective.model.runs
            try:
                res.profile_ci95, res.profile_open = _profile(objective, theta, se, rss, tq, dof, True, lower,
                                                              upper, say)
            except (FitError, ValueError, RuntimeError, np.linalg.LinAlgError) as exc:
                warnings.append(f"the profile intervals could not be made ({exc}); the intervals above "
                                "are the linear ones")
            res.evaluations += objective.model.runs - before
        warnings.extend(_bound_warnings(params, estimate))
        warnings.extend(acc.identifiability_warnings(res.names, tq * se, correlation, res.profile_open))
        if accuracy is not None:
            for k, q in enumerate(params):
                if not budget[k] <= accuracy * estimate[k]:
                    warnings.append(f"{q.name} is not determined to {100 * accuracy:g} %: its grid and "
                                    f"iteration error is {100 * budget[k] / estimate[k]:.2g} %")
        res.wall_time = _time.perf_counter() - started
        return res
    finally:
        for m in models_to_close:
            m.close()
        if own_root:
            shutil.rmtree(root, ignore_errors=True)


# -- the report ----------------------------------------------------------------------
def format_joint(res: FitResult) -> str:
    """The joint fit as a text table: the experiments and observables, the
    parameters, the correlations."""
    from .report import _interval

    n = sum(e["points"] for e in res.experiments)
    names = sorted({e["experiment"] for e in res.experiments}, key=[e["experiment"] for e in
                                                                    res.experiments].index)
    lines = [f"joint fit of {len(names)} experiment{'s' if len(names) != 1 else ''} "
             f"({', '.join(names)}): {n} points, {len(res.parameters)} parameters, {res.dof} degrees of "
             f"freedom; {res.scheme} scheme"]
    lines.append(f"{'experiment':<12s} {'observable':<12s} {'points':>6s} {'sigma':>11s} "
                 f"{'rms resid':>11s} {'chi2':>9s}  lack of fit")
    for e in res.experiments:
        sigma = "given" if e["sigma_given"] else f"{e['sigma']:.3g}"
        lack = "-" if e["lack"] is None else ("systematic" if e["lack"].systematic else "none")
        lines.append(f"{e['experiment']:<12s} {e['data'].observable:<12s} {e['points']:>6d} {sigma:>11s} "
                     f"{e['rms']:>11.3g} {e['chi2']:>9.3g}  {lack}")
    lines.append("(sigma: given by the data, or estimated from the observable's residuals)")
    head = f"{'parameter':<14s} {'start':>11s} {'estimate':>12s} {'stderr':>10s} "
    if res.discretisation_error is not None:
        head += f"{'grid+iter':>11s} "
    head += f"  {'95% interval':<27s}"
    if res.profile_ci95 is not None:
        head += f" {'95% profile interval':<27s}"
    lines.append(head)
    for k, q in enumerate(res.parameters):
        row = f"{q.name:<14s} {q.start:>11.4g} {res.estimate[k]:>12.6g} {res.stderr[k]:>10.3g} "
        if res.discretisation_error is not None:
            row += f"{res.discretisation_error[k]:>11.3g} "
        row += f"  {_interval(res.ci95[k]):<27s}"
        if res.profile_ci95 is not None:
            row += " " + _interval(res.profile_ci95[k], res.profile_open[k])
        lines.append(row)
    for name, grids in res.grid_shares:
        lines.append(f"grid and iteration error of experiment {name} (grids "
                     f"{', '.join('x' + str(f) for f in grids.factors)}): "
                     + ", ".join(f"{q.name} {v:.3g}" for q, v in zip(res.parameters, grids.total())))
    if res.grid_shares:
        lines.append("interval = statistical (t x stderr) + the sum of the experiments' grid and "
                     "iteration errors")
    lines.append(f"chi-square {res.rss:.6g} (weighted by each observable's sigma); t({res.dof}) = "
                 f"{res.t_quantile:.4g}")
    if len(res.parameters) > 1:
        lines.append("correlation:")
        width = max(len(q) for q in res.names) + 2
        lines.append(" " * width + "".join(f"{q:>{width}s}" for q in res.names))
        for i, q in enumerate(res.names):
            lines.append(f"{q:<{width}s}" + "".join(f"{res.correlation[i, j]:>{width}.3f}"
                                                    for j in range(len(res.names))))
    lines.append(f"{'converged' if res.converged else 'NOT converged'}: {res.message}")
    lines.append(f"{res.evaluations} model runs ({res.reused} reused), {res.wall_time:.2f} s")
    lines.extend(f"warning: {w}" for w in res.warnings)
    return "\n".join(line.rstrip() for line in lines)


def joint_json(res: FitResult) -> dict:
    """The joint fit as a JSON-ready dict."""
    from .result import _num

    return {"experiments": [{"experiment": e["experiment"], "observable": e["data"].observable,
                             "data": str(e["data"].path), "points": e["points"],
                             "sigma": e["sigma"], "sigma_given": e["sigma_given"],
                             "rms_residual": e["rms"], "chi2": e["chi2"],
                             "lack_of_fit": None if e["lack"] is None else bool(e["lack"].systematic)}
                            for e in res.experiments],
            "parameters": {q.name: {"estimate": float(res.estimate[k]), "stderr": _num(res.stderr[k]),
                                    "ci95": [_num(v) for v in res.ci95[k]], "start": q.start,
                                    "bounds": [q.low, q.high],
                                    "given_grid_estimate": float(res.given_estimate[k]),
                                    "grid_error": (None if res.discretisation_error is None
                                                   else _num(res.discretisation_error[k])),
                                    "grid_error_by_experiment": {
                                        name: _num(g.total()[k]) for name, g in res.grid_shares},
                                    **({} if res.profile_ci95 is None else {
                                        "profile_ci95": [_num(v) for v in res.profile_ci95[k]],
                                        "profile_reaches_bound": [bool(v) for v in res.profile_open[k]]})}
                           for k, q in enumerate(res.parameters)},
            "correlation": {a: {b: _num(res.correlation[i, j]) for j, b in enumerate(res.names)}
                            for i, a in enumerate(res.names)},
            "chi2": res.rss, "dof": res.dof, "converged": res.converged, "message": res.message,
            "evaluations": res.evaluations, "scheme": res.scheme, "warnings": list(res.warnings),
            "wall_time": round(res.wall_time, 3)}


def plot_joint(res: FitResult):
    """A panel per experiment and observable: data, fitted curve and residuals."""
    from matplotlib.figure import Figure

    from ..plots import data_abscissa
    from ..units import axis_label, output_unit

    count = len(res.experiments)
    fig = Figure(figsize=(4.5 * count, 6.0), layout="constrained", dpi=110)
    axes = fig.subplots(2, count, squeeze=False, sharex="col",
                        gridspec_kw={"height_ratios": [3, 1.3]})
    for col, e in enumerate(res.experiments):
        top, bottom = axes[0, col], axes[1, col]
        data = e["data"]
        x_scale, x_label = data_abscissa(data)
        x = data.time / x_scale
        if data.sigma is not None:
            top.errorbar(x, data.value, yerr=data.sigma, fmt="o", ms=4, color="tab:gray",
                         label="data (+- sigma)")
        else:
            top.plot(x, data.value, "o", ms=4, color="tab:gray", label="data")
        top.plot(e["curve_time"] / x_scale, e["curve_value"], "-", color="tab:blue", label="model")
        top.set_title(f"{e['experiment']}: {data.observable}")
        unit = output_unit(data.observable)  # the model's units: the data converted into them
        top.set_ylabel(axis_label(data.observable, unit))
        top.legend()
        bottom.axhline(0.0, color="black", lw=0.8)
        bottom.plot(x, data.value - e["fitted"], "o", ms=4, color="tab:red")
        bottom.set_ylabel(axis_label("data - model", unit))
        bottom.set_xlabel(x_label)
        for ax in (top, bottom):
            ax.grid(alpha=0.3)
    fig.suptitle("joint fit: " + ", ".join(f"{q} = {v:.4g}" for q, v in zip(res.names, res.estimate)))
    return fig
