"""The posterior of a fit's parameters by an ensemble sampler
(``questrand posterior``).

With theta = ln p the fitted reals' logarithms, the sampled density is

    log pi(theta) = -1/2 sum_i ((y_i(theta) - d_i) / sigma_i)^2     (theta inside the bounds)
                  = -inf                                            (outside)

a Gaussian likelihood of the data d_i with the data's sigma column, or,
without it, one sigma for all points estimated by the fit's residuals,
s^2 = RSS / (n - p); the prior is uniform in theta between the fit's
bounds (ln LO, ln HI).  The model y(theta) is the fit's (:mod:`.fit.model`:
one run per parameter set, in-process where the solver module is there,
runs of one step of the walkers in parallel).

The sampler is emcee's affine-invariant ensemble (stretch move).  The
walkers start in a small ball around the fit's estimate (a tenth of its
standard error of ln p per parameter).  The chain grows in chunks until
its length is at least :data:`TAU_FACTOR` integrated autocorrelation
times tau (emcee's ``get_autocorr_time(tol=0)``, the largest over the
parameters) or ``max_steps``; then the first 2 tau steps are dropped as
burn-in, and the effective sample size of a parameter is
walkers x kept steps / tau.
"""

from __future__ import annotations

import dataclasses
import math
import sys
import time as _time

import numpy as np

from .errors import QuestrandError

#: The chain is long enough at this many autocorrelation times.
TAU_FACTOR = 50
#: Burn-in: this many autocorrelation times dropped from the start of the chain.
BURN_IN_TAUS = 2
#: The walkers' starting ball: this fraction of the fit's standard error of ln p.
BALL_FRACTION = 0.1
#: The quantiles reported (percent).
QUANTILES = (2.5, 50.0, 97.5)


class PosteriorError(QuestrandError):
    """The posterior cannot be sampled (a one-line reason)."""


@dataclasses.dataclass
class Chain:
    """The outcome of :func:`sample`.  ``theta`` is ``(steps, walkers, p)``
    in ln p, ``log_prob`` ``(steps, walkers)``; ``tau`` per parameter (in
    steps); ``burn`` the steps dropped before the quantiles and moments."""

    names: list
    theta: np.ndarray
    log_prob: np.ndarray
    tau: np.ndarray
    acceptance: np.ndarray
    burn: int
    converged: bool
    seconds: float
    evaluations: int

    @property
    def steps(self) -> int:
        return self.theta.shape[0]

    @property
    def walkers(self) -> int:
        return self.theta.shape[1]

    def kept(self) -> np.ndarray:
        """The ln-parameter samples after burn-in, ``(samples, p)``."""
        return self.theta[self.burn:].reshape(-1, self.theta.shape[2])

    def effective_samples(self) -> np.ndarray:
        """walkers x kept steps / tau, per parameter."""
        return self.walkers * (self.steps - self.burn) / self.tau

    def quantiles(self) -> np.ndarray:
        """The :data:`QUANTILES` of each parameter (not its logarithm), ``(p, 3)``."""
        return np.exp(np.percentile(self.kept(), QUANTILES, axis=0).T)


def gaussian_log_posterior(predict, observed, sigma, lower, upper):
    """The vectorised log pi(theta) of the module's formula: ``predict``
    maps ``(k, p)`` ln-parameter sets to ``(k, n)`` model values at the data;
    points outside ``[lower, upper]`` get -inf and are not predicted."""
    observed = np.asarray(observed, dtype=float)
    sigma = np.broadcast_to(np.asarray(sigma, dtype=float), observed.shape)
    lower, upper = np.asarray(lower, dtype=float), np.asarray(upper, dtype=float)

    def log_prob(thetas):
        thetas = np.atleast_2d(thetas)
        out = np.full(len(thetas), -np.inf)
        inside = np.all((thetas > lower) & (thetas < upper), axis=1)
        if inside.any():
            y = np.asarray(predict(thetas[inside]), dtype=float)
            out[inside] = -0.5 * np.sum(((y - observed) / sigma) ** 2, axis=1)
        return out

    return log_prob


def sample(log_prob, start, scale, names, *, walkers=None, max_steps=5000, seed=None, chunk=None,
           lower=None, upper=None, log=None) -> Chain:
    """Sample ``log_prob`` (vectorised over ``(k, p)`` ln-parameter sets)
    with emcee's ensemble sampler, the walkers started at ``start`` plus
    Gaussian offsets of ``scale`` per parameter (kept inside ``lower`` ..
    ``upper``); chunks of ``chunk`` steps until the chain holds
    :data:`TAU_FACTOR` tau or ``max_steps`` steps (see the module)."""
    try:
        import emcee
    except ImportError:
        raise PosteriorError("needs emcee: install Debian's python3-emcee (and run /usr/bin/python3)") from None
    started = _time.perf_counter()
    start = np.asarray(start, dtype=float)
    p = len(start)
    walkers = walkers or max(16, 4 * p)
    if walkers < 2 * p:
        raise PosteriorError(f"--walkers {walkers}: the ensemble needs at least twice as many walkers "
                             f"as parameters ({2 * p})")
    chunk = chunk or max(100, min(500, max_steps // 10))
    rng = np.random.default_rng(seed)
    offsets = rng.standard_normal((walkers, p)) * np.asarray(scale, dtype=float)
    begin = start + offsets
    if lower is not None:
        span = np.asarray(upper) - np.asarray(lower)
        begin = np.clip(begin, np.asarray(lower) + 1e-9 * span, np.asarray(upper) - 1e-9 * span)
    calls = [0]

    def counted(thetas):
        calls[0] += len(thetas)
        return log_prob(thetas)

    sampler = emcee.EnsembleSampler(walkers, p, counted, vectorize=True)
    sampler.random_state = np.random.RandomState(int(rng.integers(2 ** 31))).get_state()  # the moves
    state = begin
    tau = np.full(p, np.inf)
    converged = False
    say = log or (lambda line: None)
    while sampler.iteration < max_steps:
        state = sampler.run_mcmc(state, min(chunk, max_steps - sampler.iteration), progress=False)
        tau = np.asarray(sampler.get_autocorr_time(tol=0), dtype=float)
        say(f"posterior: {sampler.iteration} steps, tau {', '.join(f'{t:.3g}' for t in tau)}, "
            f"acceptance {np.mean(sampler.acceptance_fraction):.2f}")
        if np.all(np.isfinite(tau)) and sampler.iteration >= TAU_FACTOR * np.max(tau):
            converged = True
            break
    steps = sampler.iteration
    burn = int(min(math.ceil(BURN_IN_TAUS * np.max(tau)) if np.all(np.isfinite(tau)) else steps // 2,
                   steps // 2))
    return Chain(names=list(names), theta=sampler.get_chain(), log_prob=sampler.get_log_prob(),
                 tau=tau, acceptance=np.asarray(sampler.acceptance_fraction), burn=burn,
                 converged=converged, seconds=_time.perf_counter() - started, evaluations=calls[0])


def chain_warning(chain: Chain) -> str | None:
    """The warning of a chain stopped at ``max_steps`` before 50 tau."""
    if chain.converged:
        return None
    tau = float(np.max(chain.tau))
    return (f"the chain is too short: {chain.steps} steps, fewer than {TAU_FACTOR} autocorrelation times "
            f"(tau {tau:.3g} steps, {TAU_FACTOR} tau = {TAU_FACTOR * tau:.0f}); its quantiles are "
            "rough: raise --max-steps")


def format_posterior(chain: Chain, units: dict, linear=None, estimate=None) -> str:
    """The table: per parameter the fit's estimate and linear 95 % interval
    (``linear``, ``(p, 2)``, when known), the posterior's 2.5/50/97.5 %
    quantiles, tau and the effective samples; then the acceptance."""
    q = chain.quantiles()
    ess = chain.effective_samples()
    lines = [f"posterior: {chain.walkers} walkers x {chain.steps} steps ({chain.burn} burn-in), "
             f"{chain.evaluations} model evaluations, {chain.seconds:.1f} s",
             f"{'parameter':<12s} {'unit':<6s} {'estimate':>11s} {'linear 95% interval':>27s} "
             f"{'2.5%':>11s} {'50%':>11s} {'97.5%':>11s} {'tau':>7s} {'ESS':>7s}"]
    for k, name in enumerate(chain.names):
        est = f"{estimate[k]:.5g}" if estimate is not None else "-"
        lin = f"[{linear[k][0]:.5g}, {linear[k][1]:.5g}]" if linear is not None else "-"
        lines.append(f"{name:<12s} {units.get(name, ''):<6s} {est:>11s} {lin:>27s} {q[k, 0]:>11.5g} "
                     f"{q[k, 1]:>11.5g} {q[k, 2]:>11.5g} {chain.tau[k]:>7.3g} {ess[k]:>7.0f}")
    lines.append(f"acceptance fraction: mean {np.mean(chain.acceptance):.3f} "
                 f"(walkers {np.min(chain.acceptance):.3f} .. {np.max(chain.acceptance):.3f})")
    return "\n".join(lines)


def write_chain_csv(path, chain: Chain):
    """The whole chain, burn-in included: ``walker, step, log_probability``
    and the parameters' values (not their logarithms), one row per walker
    and step."""
    from . import files

    names = chain.names
    rows = [",".join(["walker", "step", "log_probability", *names])]
    values = np.exp(chain.theta)
    for step in range(chain.steps):
        for walker in range(chain.walkers):
            rows.append(",".join([str(walker), str(step), f"{chain.log_prob[step, walker]:.10g}",
                                  *(f"{v:.9g}" for v in values[step, walker])]))
    return files.write_text(path, "\n".join(rows) + "\n")


def corner_plot(chain: Chain, units: dict, estimate=None, linear=None):
    """The corner plot of the kept samples: each parameter's
    histogram on the diagonal with its 2.5/50/97.5 % quantiles (dashed)
    and the fit's linear 95 % interval (dotted), the 2-D densities of the
    pairs below it.  A matplotlib Figure."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    values = np.exp(chain.kept())
    p = values.shape[1]
    label = [f"{n} [{units[n]}]" if units.get(n) else n for n in chain.names]
    # log axes where the samples span a decade or more, else linear ones
    wide = [values[:, k].max() > 10 * values[:, k].min() for k in range(p)]
    bins = [(np.geomspace if wide[k] else np.linspace)(values[:, k].min(), values[:, k].max() * (1 + 1e-12), 41)
            for k in range(p)]
    q = chain.quantiles()
    fig, axes = plt.subplots(p, p, figsize=(3.2 * p, 3.2 * p), squeeze=False)
    for i in range(p):
        for j in range(p):
            ax = axes[i, j]
            if j > i:
                ax.set_visible(False)
                continue
            if i == j:
                ax.hist(values[:, i], bins=bins[i], color="0.4", histtype="stepfilled")
                for v in q[i]:
                    ax.axvline(v, color="C0", ls="--", lw=1)
                if linear is not None:
                    # a side of the linear interval far beyond the samples (more
                    # than their span again) is named in the panel, not drawn:
                    # an axis stretched to it would squash the histogram
                    low, high = bins[i][0], bins[i][-1]
                    span = (np.log(high / low) if wide[i] else high - low) or 1.0
                    beyond = []
                    for side, v in zip(("lower", "upper"), linear[i]):
                        away = (np.log(low / v) if side == "lower" else np.log(v / high)) if wide[i] and v > 0 \
                            else ((low - v) if side == "lower" else (v - high))
                        if not (v > 0 or not wide[i]) or away > span:
                            beyond.append(f"{side} {v:.3g}")
                        else:
                            ax.axvline(v, color="C3", ls=":", lw=1.2)
                    if beyond:
                        ax.text(0.98, 0.95, "linear 95 % beyond the plot:\n" + ", ".join(beyond), color="C3",
                                fontsize=7, ha="right", va="top", transform=ax.transAxes,
                                bbox={"facecolor": "white", "alpha": 0.85, "linewidth": 0})
                ax.set_yticks([])
            else:
                ax.hist2d(values[:, j], values[:, i], bins=[bins[j], bins[i]], cmap="Greys")
                if estimate is not None:
                    ax.plot(estimate[j], estimate[i], "x", color="C3")
                ax.set_yscale("log" if wide[i] else "linear")
            ax.set_xscale("log" if wide[j] else "linear")
            ax.tick_params(axis="x", labelrotation=45)
            if i == p - 1:
                ax.set_xlabel(label[j])
            if j == 0 and i > 0:
                ax.set_ylabel(label[i])
    axes[0, 0].set_title("posterior (dashed 2.5/50/97.5 %; dotted: fit's linear 95 %)", fontsize=8,
                         loc="left")
    fig.tight_layout()
    return fig


# -- the command -----------------------------------------------------------------------------------

def add_parser(subparsers):
    """The ``posterior`` command."""
    from .fit.data import DEFAULT_STEP
    from .options import add_data_units, add_jobs, add_program, add_timeout
    from .runner import FLOW_MODES, SCHEMES

    parser = subparsers.add_parser(
        "posterior", help="sample the posterior of a fit's parameters (ensemble MCMC)",
        description="Fit reals of PROB.INP to a measured curve, then sample their posterior with "
                    "an ensemble sampler (uniform prior in the logarithm within the fit's bounds, "
                    "Gaussian likelihood): quantiles beside the fit's linear interval, the chain "
                    "as CSV and a corner plot.")
    parser.add_argument("problem", help="base PROB.INP (a transient run whose time steps cover the data)")
    parser.add_argument("data", help="CSV with 'time', one observable column and optionally 'sigma'")
    parser.add_argument("--param", action="append", required=True, metavar="NAME",
                        help="a real of the problem to sample (repeat for several)")
    parser.add_argument("--bounds", action="append", metavar="NAME=LO:HI",
                        help="limits of a parameter, the prior's support (default: the fit's)")
    parser.add_argument("--start", action="append", metavar="NAME=VALUE",
                        help="start the walkers here instead of at the fit's estimate (no fit is "
                             "made; give one for every --param)")
    parser.add_argument("--walkers", type=int, metavar="N",
                        help="walkers of the ensemble (default max(16, 4 x parameters))")
    parser.add_argument("--max-steps", type=int, default=5000, metavar="N",
                        help="most steps of the chain (default 5000)")
    parser.add_argument("--seed", type=int, metavar="S", help="seed of the walkers' start and moves")
    parser.add_argument("--out", metavar="DIR", default=".",
                        help="where chain.csv and corner.png are written (default .)")
    add_data_units(parser)
    add_jobs(parser)
    parser.add_argument("--step", type=float, default=DEFAULT_STEP, metavar="REL",
                        help=f"the fit's relative finite-difference step (default {DEFAULT_STEP})")
    parser.add_argument("--no-grid-check", dest="grid_check", action="store_false",
                        help="the fit skips its refined-grid and iteration checks")
    parser.add_argument("--scheme", default="standard", choices=SCHEMES,
                        help="the program's scheme for the concentration (default standard)")
    parser.add_argument("--flow", default="reuse", choices=FLOW_MODES,
                        help="reuse the steady flow solved once (default) or solve it in every step")
    parser.add_argument("--flow-cache", metavar="DIR", help="where steady flows are kept")
    add_timeout(parser)
    add_program(parser)
    parser.set_defaults(func=_main)
    return parser


def _parse_start(items, names) -> np.ndarray:
    from .options import UsageError

    given = {}
    for item in items:
        name, sep, value = item.partition("=")
        try:
            given[name.strip()] = float(value) if sep else math.nan
        except ValueError:
            given[name.strip()] = math.nan
        if not given[name.strip()] > 0:
            raise UsageError(f"--start {item}: expected NAME=VALUE with a positive VALUE")
    if set(given) != set(names):
        raise UsageError(f"--start: give one NAME=VALUE for each --param ({', '.join(names)})")
    return np.array([given[n] for n in names])


def _main(args) -> int:
    import tempfile
    from pathlib import Path

    from . import files
    from .fit.data import read_data
    from .fit.estimate import fit
    from .fit.model import Model
    from .fit.objective import _Objective
    from .fit.parameters import UNITS, make_parameters, parse_bounds
    from .fit.report import format_result
    from .options import UsageError, check_jobs, check_seconds
    from .problem import Problem

    check_jobs(args.jobs)
    check_seconds("--timeout", args.timeout)
    if args.max_steps < 1:
        raise UsageError(f"--max-steps {args.max_steps}: expected at least 1")
    say = lambda line: print(line, file=sys.stderr)  # noqa: E731
    problem = Problem.read(args.problem)
    data = read_data(args.data, args.observable,
                     warn=lambda line: print(f"questrand posterior: warning: {line}", file=sys.stderr),
                     time_unit=args.time_unit, conc_unit=args.conc_unit, c_in=args.c_in,
                     problem_c_in=problem.c_in)
    names = list(args.param)
    bounds = parse_bounds(args.bounds)
    options = dict(program=args.program, jobs=args.jobs, timeout=args.timeout, scheme=args.scheme,
                   flow=args.flow, flow_cache=args.flow_cache)
    result = None
    if args.start:
        start_values = _parse_start(args.start, names)
        problem = problem.replace(**dict(zip(names, start_values)))
    else:
        result = fit(problem, data, names, bounds, step=args.step, grid_check=args.grid_check, log=say,
                     **options)
        print(format_result(result))
        print()
        start_values = np.asarray(result.estimate, dtype=float)
    params = make_parameters(problem.replace(**dict(zip(names, start_values))), names, bounds)
    if result is not None:  # the fit's own bounds, as it reported them
        params = result.parameters
    lower = np.log([q.low for q in params])
    upper = np.log([q.high for q in params])
    with tempfile.TemporaryDirectory(prefix="questrand-posterior-") as root:
        model = Model(problem, params, data.observable, Path(root), **options)
        objective = _Objective(model, data, args.step)
        theta0 = np.log(start_values)
        if data.sigma is not None:
            sigma = data.sigma
        elif result is not None:
            sigma = result.noise
        else:  # s^2 = RSS / (n - p) at the given start
            r = objective.residuals(theta0) * objective.unit
            sigma = math.sqrt(float(r @ r) / max(len(data) - len(names), 1))
        if result is not None and result.covariance is not None and np.all(np.isfinite(result.covariance)):
            scale = BALL_FRACTION * np.sqrt(np.diag(result.covariance))
        else:
            scale = np.full(len(names), 1e-3)
        log_prob = gaussian_log_posterior(lambda thetas: np.array(objective.predictions(list(thetas))),
                                          data.value, sigma, lower, upper)
        try:
            chain = sample(log_prob, theta0, scale, names, walkers=args.walkers, max_steps=args.max_steps,
                           seed=args.seed, lower=lower, upper=upper, log=say)
        finally:
            model.close()
    linear = None if result is None else result.ci95
    print(format_posterior(chain, UNITS, linear=linear, estimate=start_values))
    warning = chain_warning(chain)
    if warning:
        print(f"questrand posterior: warning: {warning}", file=sys.stderr)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    write_chain_csv(out / "chain.csv", chain)
    files.save_figure(corner_plot(chain, UNITS, estimate=start_values, linear=linear), out / "corner.png")
    print(f"chain: {out / 'chain.csv'}; corner plot: {out / 'corner.png'}")
    return 0 if chain.converged else 3
