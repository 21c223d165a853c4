"""The results of a fit as a text table and as a plot."""

from __future__ import annotations

import math

from .result import FitResult

_FLOW_TEXT = {"reuse": "steady, solved once and reused", "coupled": "solved in every step",
              "not solved": "not solved"}


def format_result(res: FitResult) -> str:
    """The results as a text table."""
    if res.experiments is not None:
        from .joint import format_joint
        return format_joint(res)
    data = res.data
    lines = [f"fit of {data.observable} in {data.path}: {len(data)} points, "
             f"{len(res.parameters)} parameter{'s' if len(res.parameters) != 1 else ''}, "
             f"{res.dof} degrees of freedom; {res.scheme} scheme; flow {_FLOW_TEXT[res.flow]}"]
    disc = res.discretisation_error
    grids = res.accuracy
    head = f"{'parameter':<12s} {'start':>11s} {'estimate':>12s} {'stderr':>10s} "
    if disc is not None:
        head += f"{'grid error':>11s} {'iter error':>11s} "
    head += f"  {'95% interval':<27s}"
    if res.profile_ci95 is not None:
        head += f" {'95% profile interval':<27s}"
    lines.append(head)
    for k, p in enumerate(res.parameters):
        row = f"{p.name:<12s} {p.start:>11.4g} {res.estimate[k]:>12.6g} {res.stderr[k]:>10.3g} "
        if disc is not None:
            row += f"{disc[k]:>11.3g} {grids.iteration_error[k]:>11.3g} "
        row += f"  {_interval(res.ci95[k]):<27s}"
        if res.profile_ci95 is not None:
            row += " " + _interval(res.profile_ci95[k], res.profile_open[k])
        lines.append(row)
    if disc is not None:
        lines.append("interval = statistical (t x stderr) + grid error (the uncertainty of the estimate "
                     "from refined grids, safety factor included) + iteration error (its move with "
                     f"the model runs at convtol {grids.iteration_convtol:g})")
        done = ", ".join(f"x{g.factor}: " + " ".join(f"{math.exp(v):.6g}" for v in g.theta)
                         for g in grids.grids)
        lines.append(f"estimates on grids {done}")
        which = "given" if grids.target is None else f"finest (x{grids.reported.factor})"
        for k, name in enumerate(res.names):
            if grids.extrapolations:
                e = grids.extrapolations[k]
                lines.append(f"  {name}: the {which} grid's estimate; grid error by {e.method}: {e.note}")
        if grids.target is not None:
            state = "reached" if grids.reached else "NOT reached: " + "; ".join(grids.shortfalls(res.names))
            lines.append(f"accuracy {100 * grids.target:g} % (grid + iteration error) {state}")
    if res.data.sigma is not None:
        lines.append(f"chi-square {res.rss:.6g} (weighted by the data's sigma), "
                     f"reduced {res.rss / res.dof if res.dof else math.nan:.4g}; t({res.dof}) = {res.t_quantile:.4g}")
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


def plot_fit(res: FitResult, cell=None):
    """The data in its file's units, the fitted curve with its 95 % band,
    an early-time inset and the residuals (a matplotlib Figure; see
    :func:`questrand.plots.plot_fit_result`; ``cell``: the amounts also in
    the whole cell)."""
    if res.experiments is not None:
        from .joint import plot_joint
        return plot_joint(res)
    from ..plots import plot_fit_result

    return plot_fit_result(res, cell)
