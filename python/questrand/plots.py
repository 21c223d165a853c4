"""Lab-notebook figures of a run (matplotlib, PNG).

Every function takes a :class:`~questrand.Run` and returns a
:class:`matplotlib.figure.Figure` (made without pyplot, so it works under any
backend); :func:`save_all` writes every figure the run has data for.
Every axis names its quantity and its unit in brackets: lengths in m, times
in s, concentrations in the unit of the inlet concentration c_in
(:func:`questrand.units.output_unit`), counts and ratios ``[1]``.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

from . import files
from .grid import LAYER_NAMES, PROBE_NAMES
from .options import add_cell_width, cell_amounts, cell_width
from .results import Run
from .units import C_UNIT, axis_label, output_unit

_LAYER_COLOURS = {"channel": "#dceefb", "membrane": "#f6e3c6", "gel": "#e2f0d9"}
_EQUATIONS = (("res_mass", "mass"), ("res_u", "u-momentum"), ("res_v", "v-momentum"),
              ("res_t", "temperature"), ("res_c", "concentration"))


def _title(run: Run, what: str) -> str:
    p = run.problem
    mode = "steady" if p.steady else f"transient, dt = {p.dt:g}"
    return f"{run.problem.runname.strip()}: {what} ({mode})"


def _figure(rows=1, height=4.2, **kwargs):
    fig = Figure(figsize=(8.0, height), layout="constrained", dpi=110)
    axes = fig.subplots(rows, 1, squeeze=False, **kwargs)[:, 0]
    return fig, axes


def show_cell_amount(ax, cell) -> None:
    """A right-hand axis beside ``ax`` (amounts per metre of depth) that
    reads the amount in the whole cell, ``cell`` a
    :class:`~questrand.units.CellAmount`; nothing when ``cell`` is None."""
    if cell is None:
        return
    right = ax.secondary_yaxis("right", functions=(lambda m: m * cell.scale, lambda amount: amount / cell.scale))
    right.set_ylabel(axis_label(f"amount {cell.label()}", cell.unit).replace(", ", ",\n", 1))


def plot_uptake(run: Run, width=None, c_in=None) -> Figure:
    """Uptake curves: amounts in the membrane and gel, and the mean gel
    concentration, against time (needs the run's .UPT file).  ``width``
    (m): the cell's width; the amounts are then also read on a right-hand
    axis as the amounts in the whole cell (``c_in``: what the problem's c_in
    stands for, "10 mg/L")."""
    if run.uptake is None:
        raise ValueError(f"{run.workdir}: the run has no uptake file (.UPT)")
    table = run.uptake
    time = table["time"].to_numpy()
    fig, (top, bottom) = _figure(2, 6.0, sharex=True)
    marker = "o" if len(table) < 30 else None
    top.plot(time, table["m_memb"].to_numpy(), marker=marker, label="membrane (m_memb)")
    top.plot(time, table["m_gel"].to_numpy(), marker=marker, label="gel (m_gel)")
    top.set_ylabel(axis_label("amount taken up", output_unit("m_gel")))
    top.legend()
    largest = float(np.nanmax(np.abs(table[["m_memb", "m_gel"]].to_numpy()))) if len(table) else 0.0
    show_cell_amount(top, cell_amounts(width, c_in, run.problem, largest))
    bottom.plot(time, table["c_gel_mean"].to_numpy(), marker=marker, color="tab:green",
                label="gel mean (c_gel_mean)")
    bottom.set_ylabel(axis_label("mean concentration", C_UNIT))
    bottom.set_xlabel(axis_label("time", "s"))
    bottom.legend()
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    top.set_title(_title(run, "uptake"))
    return fig


def plot_probes(run: Run) -> Figure:
    """The monitor probes' concentration against time, one panel per layer."""
    if run.monitor is None or len(run.monitor) == 0:
        raise ValueError(f"{run.workdir}: the run has no monitor history (monitor.dat)")
    table = run.monitor
    fig, axes = _figure(3, 7.5, sharex=True)
    probes = {probe.name: probe for probe in run.grid.probes}
    for ax, layer, names in zip(axes, LAYER_NAMES, (PROBE_NAMES[0:3], PROBE_NAMES[3:6], PROBE_NAMES[6:9])):
        values = [table[name].to_numpy() for name in names]
        for name, value in zip(names, values):
            probe = probes[name]
            ax.plot(table["time"].to_numpy(), value, marker="o" if len(table) < 30 else None,
                    label=f"{name}  (I={probe.i}, J={probe.j}, y={probe.y:.4g})")
        flat = np.concatenate(values)
        if np.all(flat > 0) and flat.max() / flat.min() > 1e3:
            ax.set_yscale("log")
        ax.set_ylabel(axis_label(f"c in the {layer}", C_UNIT))
        ax.set_facecolor(_LAYER_COLOURS[layer])
        ax.grid(alpha=0.3)
        ax.legend(fontsize="small")
    axes[-1].set_xlabel(axis_label("time", "s"))
    axes[0].set_title(_title(run, f"probe histories at x = {run.grid.probes[0].x:.4g}"))
    return fig


def _mark_layers_y(ax, run: Run, label_x: float | None = None) -> None:
    """Horizontal layer boundaries (y on the vertical axis), outlined and named."""
    for layer in run.grid.layers:
        ax.axhline(layer.y_high, color="k", lw=0.8)
        if label_x is not None:
            ax.text(label_x, 0.5 * (layer.y_low + layer.y_high), f" {layer.name}", va="center",
                    ha="left", fontsize="small", color="k",
                    bbox=dict(facecolor="white", alpha=0.6, lw=0, pad=1))
    ax.axhline(0.0, color="k", lw=0.8, ls="--")


def plot_concentration_map(run: Run) -> Figure:
    """The last concentration field over x and y, with the channel, membrane
    and gel outlined."""
    field = run.last_field
    if field is None:
        raise ValueError(f"{run.workdir}: the run wrote no concentration field")
    fig, (ax,) = _figure(1, 4.8)
    mesh = ax.pcolormesh(field.x, field.y, field.c, shading="nearest", cmap="viridis")
    fig.colorbar(mesh, ax=ax, label=axis_label("c", C_UNIT))
    x0, x1 = run.grid.x[0:2].mean(), run.grid.x[-2:].mean()
    ax.set_xlim(x0, x1)
    ax.set_ylim(0.0, run.grid.layers[-1].y_high)
    _mark_layers_y(ax, run, label_x=x0)
    for x in (x0, x1):
        ax.axvline(x, color="k", lw=0.8)
    when = "end of run" if field is run.final else f"step {run.steps[-1].step}"
    time = run.steps[-1].time if run.steps else None
    if time is not None and not run.problem.steady:
        when += f", time {time:g}"
    ax.set_title(_title(run, f"concentration, {when}"))
    ax.set_xlabel(axis_label("x (along the channel)", "m"))
    ax.set_ylabel(axis_label("y (across the layers)", "m"))
    return fig


def plot_profiles(run: Run, x_positions=None) -> Figure:
    """Concentration across the layers (against y) at chosen x positions
    (default: four columns spread along the channel).  Each profile is taken
    at the grid column nearest to the position asked for."""
    field = run.last_field
    if field is None:
        raise ValueError(f"{run.workdir}: the run wrote no concentration field")
    if x_positions is None:
        columns = sorted(set(np.linspace(0, len(field.x) - 1, 4).round().astype(int)))
    else:
        columns = [int(np.abs(field.x - x).argmin()) for x in x_positions]
    fig, (ax,) = _figure(1, 4.8)
    for layer in run.grid.layers:
        ax.axvspan(layer.y_low, layer.y_high, color=_LAYER_COLOURS[layer.name], lw=0)
        ax.text(0.5 * (layer.y_low + layer.y_high), 1.0, layer.name, transform=ax.get_xaxis_transform(),
                ha="center", va="bottom", fontsize="small")
        ax.axvline(layer.y_high, color="k", lw=0.6)
    for i in columns:
        ax.plot(field.y, field.c[:, i], marker=".", label=f"x = {field.x[i]:.4g}")
    ax.set_xlim(0.0, run.grid.layers[-1].y_high)
    ax.set_xlabel(axis_label("y (across the layers)", "m"))
    ax.set_ylabel(axis_label("c", C_UNIT))
    ax.grid(alpha=0.3)
    ax.legend(fontsize="small")
    ax.set_title(_title(run, "concentration profiles across the layers"), pad=16)
    return fig


def plot_residuals(run: Run) -> Figure:
    """Normalised residuals of the solved equations against the outer
    iteration count (over all time steps; steps marked)."""
    table = run.residuals
    if table is None or len(table) == 0:
        raise ValueError(f"{run.workdir}: the listing holds no iteration lines")
    fig, (ax,) = _figure(1, 4.5)
    count = np.arange(1, len(table) + 1)
    for column, label in _EQUATIONS:
        values = table[column].to_numpy()
        if np.any(values != 0):
            ax.semilogy(count, np.where(values > 0, values, np.nan), label=label)
    step = table["step"].to_numpy()
    starts = count[1:][np.diff(step) != 0]
    for start in starts:
        ax.axvline(start - 0.5, color="0.7", lw=0.6)
    ax.axhline(run.problem.convtol, color="k", ls=":", lw=1, label=f"convtol = {run.problem.convtol:g}")
    ax.set_xlabel(axis_label("outer iteration (all time steps" + (", steps marked)" if len(starts) else ")"), "1"))
    ax.set_ylabel(axis_label("normalised residual", "1"))
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize="small")
    ax.set_title(_title(run, "residual history"))
    return fig


#: File name and figure function of every plot, in output order.
PLOTS = (("uptake.png", plot_uptake), ("probes.png", plot_probes),
         ("concentration_map.png", plot_concentration_map), ("profiles.png", plot_profiles),
         ("residuals.png", plot_residuals))


def save_all(run: Run, outdir, width=None, c_in=None) -> tuple[list, list]:
    """Write every plot the run has data for as PNG files in ``outdir``
    (``width``, ``c_in``: the cell's, for :func:`plot_uptake`).

    Returns ``(paths, notes)``: the files written and one note per plot
    skipped for lack of data.
    """
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    paths, notes = [], []
    for name, make in PLOTS:
        try:
            fig = make(run, width, c_in) if make is plot_uptake else make(run)
        except ValueError as why:
            notes.append(f"{name} skipped: {why}")
            continue
        files.save_figure(fig, outdir / name)
        paths.append(outdir / name)
    return paths, notes


def add_parser(subparsers):
    """The ``plot`` command."""
    parser = subparsers.add_parser("plot", help="PNG figures of a finished run",
                                   description="Write every plot of a finished run as PNG files "
                                               "and print their paths.")
    parser.add_argument("dir", help="run directory")
    parser.add_argument("-o", "--outdir", help="directory for the PNG files (default: DIR/plots)")
    add_cell_width(parser)
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    import sys

    from .results import read_run

    width = cell_width(args.width)
    run = read_run(args.dir)
    paths, notes = save_all(run, args.outdir or run.workdir / "plots", width, args.c_in)
    for note in notes:
        print(f"note: {note}", file=sys.stderr)
    for path in paths:
        print(path)
    return 0


# -- the figure of a fit, in the units of the data -----------------------------------
def fit_band(res, level: float = 0.95):
    """The half-width of the ``level`` band of the fitted curve at the data
    times, from the covariance C of the ln parameters and the sensitivities
    J = d fitted / d ln p (linearised):  var y_k = J_k C J_kᵀ, half-width
    t(dof) · sqrt(var y_k).  None when the fit kept no covariance.  The
    grid and iteration errors are not in it (the intervals of the table
    include them)."""
    import scipy.stats

    if res.covariance is None or res.sensitivity is None:
        return None
    jac = np.asarray(res.sensitivity)
    var = np.einsum("ki,ij,kj->k", jac, np.asarray(res.covariance), jac)
    t = float(scipy.stats.t.ppf(0.5 + level / 2, res.dof))
    return t * np.sqrt(np.maximum(var, 0.0))


def at_bound(res) -> dict:
    """Parameter name -> "lower"/"upper" for each estimate on its bound
    (within 1e-6 of it, relatively)."""
    marks = {}
    for p, value in zip(res.parameters, res.estimate):
        if abs(value / p.low - 1) < 1e-6:
            marks[p.name] = "lower"
        elif abs(value / p.high - 1) < 1e-6:
            marks[p.name] = "upper"
    return marks


def data_axis_unit(data):
    """``(model units per shown unit, shown unit)`` of a fit's data on the x
    axis: time in the file's unit, or the depth below the gel's face of an
    end profile (c_gel_profile) in the file's unit, millimetres when the
    file gave metres."""
    if data.axis == "depth" and data.time_unit == "m":
        return 1e-3, "mm"
    return data.time_per_unit, data.time_unit


def data_abscissa(data):
    """``(model units per shown unit, axis label)`` of a fit's data on the
    x axis (:func:`data_axis_unit`)."""
    per_unit, unit = data_axis_unit(data)
    return per_unit, axis_label("depth below the gel's face" if data.axis == "depth" else "time", unit)


def plot_fit_result(res, cell=None) -> Figure:
    """The data in the units of its file (minutes, mg/L, ...), the fitted
    curve with its 95 % band (:func:`fit_band`), an inset of the first
    tenth of the time range (not for an end profile against depth), and the
    residuals.  A parameter on a bound is marked in the legend.  ``cell``
    (a :class:`~questrand.units.CellAmount`, for data of an amount per metre
    of depth in the model's units): a right-hand axis reads the amount in
    the whole cell."""
    data = res.data
    (t_scale, x_label), y_scale = data_abscissa(data), data.value_per_unit  # model units per shown unit
    time, value = data.time / t_scale, data.value / y_scale
    fitted = res.fitted / y_scale
    y_unit = data.value_unit or output_unit(data.observable)
    name = data.column if data.column and data.column != data.observable else data.observable
    y_label = axis_label(f"{name} ({data.observable})" if name != data.observable else name, y_unit)
    fig = Figure(figsize=(8.0, 6.5), layout="constrained", dpi=110)
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1.3]})
    marks = at_bound(res)
    fitted_text = ", ".join(f"{n} = {v:.4g}" + (f" (at its {marks[n]} bound)" if n in marks else "")
                            for n, v in zip(res.names, res.estimate))
    band = fit_band(res)
    inset = top.inset_axes([0.45, 0.12, 0.5, 0.4]) if data.axis == "time" else None
    t_end = time.min() + 0.1 * (time.max() - time.min())
    for ax in (top, inset) if inset is not None else (top,):
        if data.sigma is not None:
            ax.errorbar(time, value, yerr=data.sigma / y_scale, fmt="o", ms=3, color="tab:gray",
                        label="data (± sigma)")
        else:
            ax.plot(time, value, "o", ms=3, color="tab:gray", label="data")
        ax.plot(res.curve_time / t_scale, res.curve_value / y_scale, "-", color="tab:blue",
                label=f"model: {fitted_text}")
        if band is not None:
            order = np.argsort(time)
            ax.fill_between(time[order], (fitted - band / y_scale)[order], (fitted + band / y_scale)[order],
                            color="tab:blue", alpha=0.25, lw=0, label="95 % band (parameters' uncertainty)")
    if inset is not None:
        early = time <= t_end
        inset.set_xlim(time.min() - 0.02 * (t_end - time.min()), t_end)
        if early.any():
            low, high = value[early].min(), value[early].max()
            pad = 0.1 * (high - low) or 0.1 * abs(high) or 1.0
            inset.set_ylim(low - pad, high + pad)
        inset.set_title("early times", fontsize="small")
        inset.tick_params(labelsize="x-small")
    top.set_ylabel(y_label)
    show_cell_amount(top, cell if y_scale == 1.0 else None)
    top.set_title(f"fit of {data.observable} ({data.path.name})")
    top.legend(fontsize="small", loc="upper left")
    bottom.axhline(0.0, color="black", lw=0.8)
    bottom.plot(time, value - fitted, "o", ms=3, color="tab:red")
    bottom.set_ylabel(axis_label("data − model", y_unit))
    bottom.set_xlabel(x_label)
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    return fig
