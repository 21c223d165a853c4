"""A fit as one self-contained HTML page (``questrand fit --report fit.html``).

The page needs nothing beside it: the figure is embedded as a base64 PNG,
the style is inline.  It holds the problem in words (geometry, flow,
layers, grid, time steps), the data (file, columns, units), the estimates
with their intervals and error budget, the warnings, and how to make the
fit again (the command and the program's version).
"""

from __future__ import annotations

import base64
import html
import io
import shlex
import sys

from . import files
from .plots import at_bound, plot_fit_result

_STYLE = """body{font-family:sans-serif;max-width:60em;margin:2em auto;line-height:1.4;color:#222}
table{border-collapse:collapse;margin:0.5em 0}td,th{border:1px solid #bbb;padding:0.25em 0.6em;
text-align:right}th{background:#eee}td.name{text-align:left}.warn{background:#fff4d6;
border-left:4px solid #e0a800;padding:0.4em 0.8em;margin:0.4em 0}code,pre{background:#f4f4f4}
pre{padding:0.6em;white-space:pre-wrap}img{max-width:100%}"""


def _mm(metres: float) -> str:
    return f"{metres * 1e3:.4g} mm"


def problem_in_words(problem) -> list:
    """Sentences that describe the modelled cell: geometry, flow, layers,
    grid and time stepping, in the units people use (mm, mm/s, mL/min per
    cm of width)."""
    h = problem.halfgap
    profile = "parabolic (u_in is the centreline value)" if problem.parabolic else "flat (plug)"
    mean = problem.u_in / 1.5 if problem.parabolic else problem.u_in
    # volume flow per width through the full gap 2h: Q/W = mean · 2h (m2/s); 1 m2/s = 6e5 mL/min per cm
    per_cm = mean * 2 * h * 0.01 * 1e6 * 60
    flow = "solved (laminar, steady)" if problem.solve_u else "not solved: the inlet profile is kept along the channel"
    sentences = [
        f"Channel {_mm(problem.chlength)} long with a gap of {_mm(2 * h)} (modelled: the half above "
        f"the symmetry plane, half-gap {_mm(h)}), over a membrane {_mm(problem.th_memb)} thick and a "
        f"gel {_mm(problem.th_gel)} thick, on both walls.",
        f"Inlet velocity u_in = {problem.u_in * 1e3:.4g} mm/s, profile {profile}; mean velocity "
        f"{mean * 1e3:.4g} mm/s, i.e. {per_cm:.4g} mL/min per cm of cell width. Flow {flow}.",
        f"Inlet concentration c_in = {problem.c_in:g}. Diffusivities: channel {problem.diff_flow:.3g}, "
        f"membrane {problem.diff_memb:.3g}, gel {problem.diff_gel:.3g} m²/s.",
        f"Grid: {problem.ni - 2} cells along the channel; {problem.n_flow} channel, {problem.n_memb} "
        f"membrane and {problem.n_gel} gel rows across.",
        f"Time: {problem.nsteps} steps of {problem.dt:g} s ({problem.nsteps * problem.dt / 60:.4g} min).",
    ]
    if problem.physics is not None:
        sentences.append(f"Physics input (PHYSICS.INP): {problem.physics!r}.")
    return sentences


def _figure_png(res) -> str:
    buffer = io.BytesIO()
    plot_fit_result(res).savefig(buffer, format="png")
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def _estimates_table(res) -> str:
    stat = res.stat_halfwidth  # t·se in the logarithm
    grid = res.discretisation_error
    it = None if res.accuracy is None else getattr(res.accuracy, "iteration_error", None)
    marks = at_bound(res)
    head = ["parameter", "start", "estimate", "standard error", "95 % interval",
            "statistical half-width", "grid error", "iteration error"]
    rows = []
    for k, p in enumerate(res.parameters):
        est = res.estimate[k]
        cells = [p.name + (f" (at its {marks[p.name]} bound)" if p.name in marks else ""),
                 f"{p.start:.4g}", f"{est:.6g}", f"{res.stderr[k]:.3g}",
                 f"[{res.ci95[k][0]:.4g}, {res.ci95[k][1]:.4g}]",
                 "" if stat is None else f"±{100 * (pow(2.718281828459045, stat[k]) - 1):.3g} %",
                 "not estimated" if grid is None else f"{grid[k]:.3g} ({100 * grid[k] / est:.3g} %)",
                 "not estimated" if it is None else f"{it[k]:.3g} ({100 * it[k] / est:.3g} %)"]
        rows.append("<tr>" + "".join(f"<td class=name>{html.escape(c)}</td>" if i == 0 else
                                     f"<td>{html.escape(c)}</td>" for i, c in enumerate(cells)) + "</tr>")
    return ("<table><tr>" + "".join(f"<th>{h}</th>" for h in head) + "</tr>" + "".join(rows)
            + "</table>")


def _plain_warnings(res) -> list:
    """The fit's warnings, and what its state means, in plain sentences."""
    said = []
    if not res.converged:
        said.append(f"The search did not converge ({res.message}); the estimates are where it stopped.")
    for name, side in at_bound(res).items():
        said.append(f"{name} stopped at its {side} bound: the data ask for a value beyond it, so its "
                    "interval is not a real uncertainty. Check the problem and the data before "
                    "widening the bound.")
    if res.lack is not None and getattr(res.lack, "systematic", False):
        said.append("The residuals are systematic, not noise: the model does not follow the data "
                    "(" + res.lack.describe() + ").")
    if res.discretisation_error is None:
        said.append("The grid's error was not estimated (--no-grid-check): the intervals hold the "
                    "statistical uncertainty only.")
    said.extend(res.warnings)
    return said


def toolkit_version() -> str:
    """The toolkit's version: the installed package's, else the
    repository's pyproject.toml beside this package."""
    import importlib.metadata
    import re
    from pathlib import Path

    try:
        return f"questrand {importlib.metadata.version('questrand')}"
    except importlib.metadata.PackageNotFoundError:
        pass
    project = Path(__file__).resolve().parents[2] / "pyproject.toml"
    found = re.search(r'^version\s*=\s*"([^"]+)"', project.read_text(), re.M) if project.is_file() else None
    return f"questrand {found.group(1)} (source tree)" if found else "questrand (version unknown)"


def fit_report_html(res, problem, command=None, program_version: str = "") -> str:
    """The page of the fit ``res`` of ``problem`` (see the module notes).
    ``command``: the argument list that made it (default ``sys.argv``)."""
    data = res.data
    command = list(sys.argv) if command is None else list(command)
    if command and command[0].endswith(("__main__.py", "questrand")):
        command[0] = "questrand"
    shown_command = shlex.join(command)
    units = f"time in {data.time_unit}" + (f", {data.observable} in {data.value_unit}" if data.value_unit else "")
    warnings = _plain_warnings(res)
    parts = [
        "<!DOCTYPE html><html lang=en><head><meta charset=utf-8>",
        f"<title>questrand fit of {html.escape(data.observable)}</title><style>{_STYLE}</style></head><body>",
        f"<h1>Fit of {html.escape(', '.join(res.names))} to {html.escape(data.observable)}</h1>",
        "<h2>The problem</h2><p>The base problem; the fitted values start from it (see the "
        "estimates).</p><ul>" + "".join(f"<li>{html.escape(s)}</li>" for s in problem_in_words(problem))
        + "</ul>",
        "<h2>The data</h2>",
        f"<p>File <code>{html.escape(str(data.path))}</code>: {len(data)} points from "
        f"{data.time.min() / data.time_per_unit:g} to {data.time.max() / data.time_per_unit:g} "
        f"{html.escape(data.time_unit)}; column <code>{html.escape(data.column or data.observable)}</code> "
        f"fitted as the model's <code>{html.escape(data.observable)}</code> ({html.escape(units)}; "
        f"the model works in seconds and units of c_in: 1 {html.escape(data.value_unit or 'unit')} = "
        f"{data.value_per_unit:.6g} in the units of the problem's c_in = {problem.c_in:g}).</p>",
        f"<img alt='data and fitted curve' src='data:image/png;base64,{_figure_png(res)}'>",
        "<h2>Estimates</h2>", _estimates_table(res),
        f"<p>{res.dof} degrees of freedom; t = {res.t_quantile:.4g}; noise sigma {res.noise:.4g} "
        f"(units of the model's {html.escape(data.observable)}); {res.evaluations} model runs; "
        f"{res.scheme} scheme. Error budget: the 95 % interval is the statistical half-width "
        "(t × standard error, on the logarithm) widened by the grid error and the iteration "
        "error where they were estimated.</p>",
        "<h2>Warnings</h2>" + ("".join(f"<div class=warn>{html.escape(w)}</div>" for w in warnings)
                               if warnings else "<p>None.</p>"),
        "<h2>How to make it again</h2>",
        f"<pre>{html.escape(shown_command)}</pre>",
        f"<p>Program: {html.escape(program_version or 'unknown')}; toolkit {html.escape(toolkit_version())}.</p>",
        "</body></html>",
    ]
    return "\n".join(parts) + "\n"


def write_fit_report(path, res, problem, command=None, program=None):
    """Write :func:`fit_report_html` to ``path`` (whole or not at all)."""
    from .program import program_id

    try:
        version = program_id(program)
    except (OSError, FileNotFoundError):
        version = ""
    return files.write_text(path, fit_report_html(res, problem, command, version))
