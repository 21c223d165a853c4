"""Lab-notebook figures of a run (matplotlib, PNG).

Every function takes a :class:`~questrand.Run` and returns a
:class:`matplotlib.figure.Figure` (made without pyplot, so it works under any
backend); :func:`save_all` writes every figure the run has data for.
Quantities carry the user's own units, so the axes name the quantity only.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
from matplotlib.figure import Figure

from . import files
from .grid import LAYER_NAMES, PROBE_NAMES
from .results import Run

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


def plot_uptake(run: Run) -> Figure:
    """Uptake curves: amounts in the membrane and gel, and the mean gel
    concentration, against time (needs the run's .UPT file)."""
    if run.uptake is None:
        raise ValueError(f"{run.workdir}: the run has no uptake file (.UPT)")
    table = run.uptake
    time = table["time"].to_numpy()
    fig, (top, bottom) = _figure(2, 6.0, sharex=True)
    marker = "o" if len(table) < 30 else None
    top.plot(time, table["m_memb"].to_numpy(), marker=marker, label="membrane (m_memb)")
    top.plot(time, table["m_gel"].to_numpy(), marker=marker, label="gel (m_gel)")
    top.set_ylabel("amount taken up")
    top.legend()
    bottom.plot(time, table["c_gel_mean"].to_numpy(), marker=marker, color="tab:green",
                label="gel mean (c_gel_mean)")
    bottom.set_ylabel("mean concentration")
    bottom.set_xlabel("time")
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
        ax.set_ylabel(f"c in the {layer}")
        ax.set_facecolor(_LAYER_COLOURS[layer])
        ax.grid(alpha=0.3)
        ax.legend(fontsize="small")
    axes[-1].set_xlabel("time")
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
    fig.colorbar(mesh, ax=ax, label="c")
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
    ax.set_xlabel("x (along the channel)")
    ax.set_ylabel("y (across the layers)")
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
    ax.set_xlabel("y (across the layers)")
    ax.set_ylabel("c")
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
    ax.set_xlabel("outer iteration (all time steps" + (", steps marked)" if len(starts) else ")"))
    ax.set_ylabel("normalised residual")
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize="small")
    ax.set_title(_title(run, "residual history"))
    return fig


#: File name and figure function of every plot, in output order.
PLOTS = (("uptake.png", plot_uptake), ("probes.png", plot_probes),
         ("concentration_map.png", plot_concentration_map), ("profiles.png", plot_profiles),
         ("residuals.png", plot_residuals))


def save_all(run: Run, outdir) -> tuple[list, list]:
    """Write every plot the run has data for as PNG files in ``outdir``.

    Returns ``(paths, notes)``: the files written and one note per plot
    skipped for lack of data.
    """
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    paths, notes = [], []
    for name, make in PLOTS:
        try:
            fig = make(run)
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
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    import sys

    from .results import read_run

    run = read_run(args.dir)
    paths, notes = save_all(run, args.outdir or run.workdir / "plots")
    for note in notes:
        print(f"note: {note}", file=sys.stderr)
    for path in paths:
        print(path)
    return 0
