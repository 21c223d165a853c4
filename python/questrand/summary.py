"""The key results of a run, as a dict and as text (``questrand summary``)."""

from __future__ import annotations

import json

import numpy as np

from .options import add_cell_width, cell_amounts, cell_width
from .results import Run, read_run
from .units import AMOUNTS_PER_DEPTH


def summarize(run: Run, width=None, c_in=None) -> dict:
    """The run's key results as a JSON-ready dict.  ``width`` (m): the
    cell's width; the amounts per metre of depth at the end are then also
    given as the amounts in the whole cell (``uptake_in_cell``, in the unit
    of :class:`~questrand.units.CellAmount`; ``c_in`` what the problem's
    c_in stands for, "10 mg/L")."""
    p = run.problem
    out = {
        "workdir": str(run.workdir),
        "runname": p.runname.strip(),
        "mode": "steady" if p.steady else "transient",
        "solved": [name for name, on in (("flow", p.solve_u), ("concentration", p.solve_c)) if on],
        "grid": {"ni": p.ni, "nj": p.nj, "n_flow": p.n_flow, "n_memb": p.n_memb, "n_gel": p.n_gel},
        "layers": {layer.name: {"rows": [layer.j_first, layer.j_last], "y": [layer.y_low, layer.y_high]}
                   for layer in run.grid.layers},
        "parameters": {name: getattr(p, name) for name in
                       ("chlength", "halfgap", "th_memb", "th_gel", "u_in", "c_in",
                        "diff_flow", "diff_memb", "diff_gel", "dt", "nsteps", "convtol")},
    }
    if run.monitor is not None and len(run.monitor):
        out["final_time"] = float(run.monitor["time"].iloc[-1])
        out["monitor_lines"] = len(run.monitor)
        out["probes"] = {probe.name: {"i": probe.i, "j": probe.j, "x": probe.x, "y": probe.y,
                                      "c": float(run.monitor[probe.name].iloc[-1])}
                         for probe in run.grid.probes}
    if run.residuals is not None and len(run.residuals):
        table = {name: run.residuals[name].to_numpy() for name in run.residuals.columns}
        columns = ["res_mass", "res_u", "res_v", "res_t", "res_c"]
        last_of_step = np.append(np.diff(table["step"]) != 0, True)
        worst = np.max(np.column_stack([table[c] for c in columns]), axis=1)[last_of_step]
        steps = table["step"][last_of_step]
        out["iterations"] = {"total": len(run.residuals),
                             "last_step": int(np.sum(table["step"] == steps[-1])),
                             "final_residuals": {c: float(table[c][-1]) for c in columns},
                             "steps_not_converged": [int(s) for s, w in zip(steps, worst)
                                                     if not w <= p.convtol]}
    if run.uptake is not None and len(run.uptake):
        out["uptake"] = {name: float(v) for name, v in run.uptake.iloc[-1].items()}
        amounts = {name: v for name, v in out["uptake"].items() if name in AMOUNTS_PER_DEPTH}
        cell = cell_amounts(width, c_in, p, max(map(abs, amounts.values()), default=0.0))
        if cell is not None:
            out["uptake_in_cell"] = {"width_m": cell.width, "walls": cell.copies, "unit": cell.unit,
                                     **{name: float(cell(v)) for name, v in amounts.items()}}
    field = run.last_field
    if field is not None and field.c is not None:
        out["concentration"] = {}
        for layer in run.grid.layers:
            rows = field.c[layer.j_first - 2:layer.j_last - 1]
            out["concentration"][layer.name] = {"min": float(rows.min()), "max": float(rows.max()),
                                                "mean": float(rows.mean())}
    out["files"] = {"step_fields": [s.path.name for s in run.steps],
                    "final_fields": [] if run.final is None else
                    [n for n in ("u", "v", "p", "c") if getattr(run.final, n) is not None],
                    "uptake": run.uptake is not None}
    return out


def format_summary(info: dict) -> str:
    """The summary dict as a short text report."""
    lines = [f"run {info['runname']} in {info['workdir']}: {info['mode']}, solves "
             f"{' and '.join(info['solved']) or 'nothing'}"]
    g = info["grid"]
    lines.append(f"grid {g['ni']} x {g['nj']} nodes; rows: "
                 + ", ".join(f"{name} {v['rows'][0]}-{v['rows'][1]} (y {v['y'][0]:.4g}..{v['y'][1]:.4g})"
                             for name, v in info["layers"].items()))
    lines.append("parameters: " + ", ".join(f"{k} = {v:g}" for k, v in info["parameters"].items()))
    if "final_time" in info:
        lines.append(f"final time {info['final_time']:.9g} ({info['monitor_lines']} monitor lines)")
    if "iterations" in info:
        it = info["iterations"]
        bad = it["steps_not_converged"]
        lines.append(f"outer iterations: {it['total']} in all, {it['last_step']} in the last step; "
                     + (f"NOT converged in steps {bad}" if bad else "every step converged"))
        lines.append("final residuals: " + ", ".join(f"{k} {v:.3e}" for k, v in it["final_residuals"].items()))
    if "probes" in info:
        lines.append("probes at the end (c):")
        lines.extend(f"  {name:<11s} I={v['i']:<3d} J={v['j']:<3d} y={v['y']:<11.5g} {v['c']:.9g}"
                     for name, v in info["probes"].items())
    if "concentration" in info:
        lines.append("concentration of the last field by layer (min / mean / max):")
        lines.extend(f"  {name:<9s} {v['min']:.6g} / {v['mean']:.6g} / {v['max']:.6g}"
                     for name, v in info["concentration"].items())
    if "uptake" in info:
        lines.append("uptake at the end: " + ", ".join(f"{k} = {v:.6g}" for k, v in info["uptake"].items()))
        if "uptake_in_cell" in info:
            cell = info["uptake_in_cell"]
            walls = "both walls" if cell["walls"] == 2 else "one wall"
            lines.append(f"uptake at the end in the cell ({cell['width_m'] * 1e3:.4g} mm wide, {walls}): "
                         + ", ".join(f"{k} = {v:.4g} {cell['unit']}" for k, v in cell.items()
                                     if k not in ("width_m", "walls", "unit")))
    else:
        lines.append("uptake: no .UPT file")
    return "\n".join(lines)


def add_parser(subparsers):
    """The ``summary`` command."""
    parser = subparsers.add_parser("summary", help="key results of a finished run",
                                   description="Print the key results of a finished run directory.")
    parser.add_argument("dir", help="run directory (holds PROB.INP and the output files)")
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    add_cell_width(parser)
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    width = cell_width(args.width)
    info = summarize(read_run(args.dir), width, args.c_in)
    print(json.dumps(info, indent=2) if args.json else format_summary(info))
    return 0
