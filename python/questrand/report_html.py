"""A command's outcome as one report, an HTML page or a PDF
(``questrand fit|design|converge --report FILE.html|FILE.pdf``).

A report is a list of blocks (a heading, a paragraph, a list, a table, a
figure, warnings, a command), built once per command and rendered by
either writer:

* HTML: one self-contained page, nothing beside it: the figures embedded
  as base64 PNG, the style inline;
* PDF (matplotlib's PdfPages, no other package): the text on A4 pages
  first, then every figure on a page of its own.

Every report has the same parts: the problem in words (geometry, flow,
layers, grid, time steps), what the command found (the fit's data and
estimates with their error budget; the ranked designs; the convergence
table with the estimate used and why), its figures, the warnings in plain
sentences, and how to make it again (the command and the versions of the
program and the toolkit).
"""

from __future__ import annotations

import base64
import dataclasses
import html
import io
import math
import re
import shlex
import sys
import textwrap
from pathlib import Path

from . import files
from .options import check_report_path
from .plots import at_bound, data_axis_unit, plot_fit_result

_STYLE = """body{font-family:sans-serif;max-width:60em;margin:2em auto;line-height:1.4;color:#222}
table{border-collapse:collapse;margin:0.5em 0}td,th{border:1px solid #bbb;padding:0.25em 0.6em;
text-align:right}th{background:#eee}td.name{text-align:left}.warn{background:#fff4d6;
border-left:4px solid #e0a800;padding:0.4em 0.8em;margin:0.4em 0}code,pre{background:#f4f4f4}
pre{padding:0.6em;white-space:pre-wrap}img{max-width:100%}"""


# -- the report as blocks ----------------------------------------------------------
@dataclasses.dataclass
class Report:
    """A title and the blocks in reading order; each block is
    ``(kind, payload)``: ("heading", text), ("text", text), ("items",
    [text]), ("table", (head, rows)), ("figure", (matplotlib Figure, what
    it shows)), ("warnings", [text]), ("command", text)."""

    title: str
    blocks: list = dataclasses.field(default_factory=list)

    def add(self, kind: str, payload) -> "Report":
        self.blocks.append((kind, payload))
        return self

    def figures(self) -> list:
        return [payload for kind, payload in self.blocks if kind == "figure"]


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
    time = ("Steady state." if problem.steady else
            f"Time: {problem.nsteps} steps of {problem.dt:g} s ({problem.nsteps * problem.dt / 60:.4g} min).")
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
        time,
    ]
    if problem.physics is not None:
        sentences.append(f"Physics input (PHYSICS.INP): {problem.physics!r}.")
    return sentences


def add_problem(report: Report, problem, intro: str) -> Report:
    """The part "The problem": ``intro``, then the problem in words."""
    return (report.add("heading", "The problem").add("text", intro)
            .add("items", problem_in_words(problem)))


def add_warnings(report: Report, warnings) -> Report:
    """The part "Warnings" (the renderers say "None." for none)."""
    return report.add("heading", "Warnings").add("warnings", list(dict.fromkeys(warnings)))


def toolkit_version() -> str:
    """The toolkit's version: the installed package's, else the
    repository's pyproject.toml beside this package."""
    import importlib.metadata

    try:
        return f"questrand {importlib.metadata.version('questrand')}"
    except importlib.metadata.PackageNotFoundError:
        pass
    project = Path(__file__).resolve().parents[2] / "pyproject.toml"
    found = re.search(r'^version\s*=\s*"([^"]+)"', project.read_text(), re.M) if project.is_file() else None
    return f"questrand {found.group(1)} (source tree)" if found else "questrand (version unknown)"


def shown_command(command=None) -> str:
    """The command line that made the report (default ``sys.argv``), as a
    shell would take it, the toolkit named ``questrand``."""
    command = list(sys.argv) if command is None else list(command)
    if command and command[0].endswith(("__main__.py", "questrand")):
        command[0] = "questrand"
    return shlex.join(command)


def add_reproduce(report: Report, command=None, program_version: str = "") -> Report:
    """The part "How to make it again": the command and the versions."""
    return (report.add("heading", "How to make it again").add("command", shown_command(command))
            .add("text", f"Program: {program_version or 'unknown'}; toolkit {toolkit_version()}."))


# -- the fit ------------------------------------------------------------------------
def _estimates_table(res) -> tuple:
    stat = res.stat_halfwidth  # t·se in the logarithm
    grid = res.discretisation_error
    it = None if res.accuracy is None else getattr(res.accuracy, "iteration_error", None)
    marks = at_bound(res)
    head = ["parameter", "start", "estimate", "standard error", "95 % interval",
            "statistical half-width", "grid error", "iteration error"]
    rows = []
    for k, p in enumerate(res.parameters):
        est = res.estimate[k]
        rows.append([p.name + (f" (at its {marks[p.name]} bound)" if p.name in marks else ""),
                     f"{p.start:.4g}", f"{est:.6g}", f"{res.stderr[k]:.3g}",
                     f"[{res.ci95[k][0]:.4g}, {res.ci95[k][1]:.4g}]",
                     "" if stat is None else f"±{100 * (pow(2.718281828459045, stat[k]) - 1):.3g} %",
                     "not estimated" if grid is None else f"{grid[k]:.3g} ({100 * grid[k] / est:.3g} %)",
                     "not estimated" if it is None else f"{it[k]:.3g} ({100 * it[k] / est:.3g} %)"])
    return head, rows


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


def fit_report(res, problem, command=None, program_version: str = "", cell=None) -> Report:
    """The report of the fit ``res`` of ``problem`` (see the module notes).
    ``command``: the argument list that made it (default ``sys.argv``);
    ``cell`` (:class:`~questrand.units.CellAmount`): data of an amount per
    metre of depth also read as the amount in the whole cell."""
    data = res.data
    units = f"time in {data.time_unit}" + (f", {data.observable} in {data.value_unit}" if data.value_unit else "")
    report = Report(f"Fit of {', '.join(res.names)} to {data.observable}")
    add_problem(report, problem, "The base problem; the fitted values start from it (see the estimates).")
    report.add("heading", "The data").add(
        "text", f"File {data.path}: {len(data)} points from {data.time.min() / data.time_per_unit:g} to "
                f"{data.time.max() / data.time_per_unit:g} {data.time_unit}; column "
                f"{data.column or data.observable} fitted as the model's {data.observable} ({units}; the "
                f"model works in seconds and units of c_in: 1 {data.value_unit or 'unit'} = "
                f"{data.value_per_unit:.6g} in the units of the problem's c_in = {problem.c_in:g}).")
    if cell is not None and data.value_per_unit == 1.0:
        report.add("text", f"The figure's right-hand axis reads {data.observable} {cell.label()}, in "
                           f"{cell.unit}: the amount per metre of depth times the width. The last point: "
                           f"{cell(data.value[-1]):.4g} {cell.unit}.")
    report.add("figure", (plot_fit_result(res, cell), "data and fitted curve"))
    report.add("heading", "Estimates").add("table", _estimates_table(res))
    report.add("text", f"{res.dof} degrees of freedom; t = {res.t_quantile:.4g}; noise sigma {res.noise:.4g} "
                       f"(units of the model's {data.observable}); {res.evaluations} model runs; "
                       f"{res.scheme} scheme. Error budget: the 95 % interval is the statistical half-width "
                       "(t × standard error, on the logarithm) widened by the grid error and the iteration "
                       "error where they were estimated.")
    add_warnings(report, _plain_warnings(res))
    return add_reproduce(report, command, program_version)


# -- the joint fit ----------------------------------------------------------------------
def _data_in_words(data) -> str:
    """One sentence on a measured curve: its file, points, span, column and units."""
    x_scale, shown_unit = data_axis_unit(data)
    span = (f"at depths {data.time.min() / x_scale:g} to {data.time.max() / x_scale:g} {shown_unit} below "
            "the gel's face, at the run's end" if data.axis == "depth" else
            f"from {data.time.min() / x_scale:g} to {data.time.max() / x_scale:g} {shown_unit}")
    sigma = "with its sigma" if data.sigma is not None else "sigma estimated from the residuals"
    return (f"{data.path.name}: {len(data)} point{'s' if len(data) != 1 else ''} {span}; column "
            f"{data.column or data.observable} fitted as the model's {data.observable}"
            + (f" (in {data.value_unit})" if data.value_unit else "") + f", {sigma}.")


def joint_fit_report(res, experiments, command=None, program_version: str = "") -> Report:
    """The report of the joint fit ``res`` of ``experiments`` (the
    :class:`~questrand.fit.joint.Experiment` list it fitted): each
    experiment's problem and data, the figure (a column per experiment and
    observable), the fit of each observable, the estimates with each
    experiment's share of the grid and iteration error, the warnings, the
    command."""
    from .accuracy import spread_text
    from .fit.joint import plot_joint
    from .fit.report import _interval

    names = [e.name for e in experiments]
    report = Report(f"Joint fit of {', '.join(res.names)} to {len(names)} experiment"
                    f"{'s' if len(names) != 1 else ''} ({', '.join(names)})")
    for e in experiments:
        report.add("heading", f"Experiment {e.name}")
        report.add("text", "The base problem; the fitted values start from it (see the estimates).")
        report.add("items", problem_in_words(e.problem))
        report.add("items", [_data_in_words(d) for d in e.curves])
    report.add("figure", (plot_joint(res), "data, fitted curves and residuals, one column per experiment "
                                           "and observable"))
    report.add("heading", "How each observable is fitted").add("table", (
        ["experiment", "observable", "points", "sigma", "rms residual", "chi-square", "lack of fit"],
        [[e["experiment"], e["data"].observable, str(e["points"]),
          "given" if e["sigma_given"] else f"{e['sigma']:.3g} (estimated)", f"{e['rms']:.3g}",
          f"{e['chi2']:.3g}", "-" if e["lack"] is None else ("systematic" if e["lack"].systematic else "none")]
         for e in res.experiments]))
    stat = res.stat_halfwidth
    budget = res.discretisation_error
    head = ["parameter", "start", "estimate", "standard error", "95 % interval", "statistical half-width",
            "grid and iteration error"] + [f"share of {name}" for name, _ in res.grid_shares] + (
            [] if res.profile_ci95 is None else ["95 % profile interval"])
    rows = []
    for k, p in enumerate(res.parameters):
        est = res.estimate[k]
        rows.append([p.name, f"{p.start:.4g}", f"{est:.6g}", f"{res.stderr[k]:.3g}",
                     f"[{res.ci95[k][0]:.4g}, {res.ci95[k][1]:.4g}]",
                     "" if stat is None else f"±{100 * math.expm1(stat[k]):.3g} %" if math.expm1(stat[k]) <= 10
                     else spread_text(stat[k]),
                     "not estimated" if budget is None else f"{budget[k]:.3g} ({100 * budget[k] / est:.3g} %)"]
                    + [f"{grids.total()[k]:.3g}" for _, grids in res.grid_shares]
                    + ([] if res.profile_ci95 is None else [_interval(res.profile_ci95[k], res.profile_open[k])]))
    report.add("heading", "Estimates").add("table", (head, rows))
    report.add("text", f"{sum(e['points'] for e in res.experiments)} points, {res.dof} degrees of freedom; "
                       f"t = {res.t_quantile:.4g}; chi-square {res.rss:.4g} (each observable weighted by its "
                       f"sigma); {res.evaluations} model runs; {res.scheme} scheme. Error budget: each "
                       "experiment's grid is refined in turn (the others kept) and the fit repeated; the "
                       "estimate's move is that experiment's share, and the 95 % interval is the "
                       "statistical half-width widened by the sum of the shares.")
    said = [] if res.converged else [f"The search did not converge ({res.message}); the estimates are where "
                                     "it stopped."]
    for e in res.experiments:
        if e["lack"] is not None and e["lack"].systematic:
            said.append(f"The residuals of {e['data'].observable} in experiment {e['experiment']} are "
                        f"systematic, not noise: the model does not follow these data "
                        f"({e['lack'].describe()}).")
    if budget is None:
        said.append("The grids' error was not estimated (--no-grid-check): the intervals hold the "
                    "statistical uncertainty only.")
    add_warnings(report, said + list(res.warnings))
    return add_reproduce(report, command, program_version)


def write_joint_fit_report(path, res, experiments, command=None, program=None):
    """Write the joint fit's report to ``path`` (.html or .pdf; whole or not at all)."""
    return write_report(path, joint_fit_report(res, experiments, command, program_version(program)))


# -- rendering ------------------------------------------------------------------------
def _figure_png(figure) -> str:
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    return base64.b64encode(buffer.getvalue()).decode("ascii")


#: A table cell that starts like a number (right-aligned; text is left-aligned)
_NUMBER = re.compile(r"\s*[-+±\[]?\s*(\d|\.\d|inf|nan|x\d)")


def report_html(report: Report) -> str:
    """The report as one self-contained HTML page."""
    esc = html.escape
    parts = ["<!DOCTYPE html><html lang=en><head><meta charset=utf-8>",
             f"<title>questrand: {esc(report.title)}</title><style>{_STYLE}</style></head><body>",
             f"<h1>{esc(report.title)}</h1>"]
    for kind, payload in report.blocks:
        if kind == "heading":
            parts.append(f"<h2>{esc(payload)}</h2>")
        elif kind == "text":
            parts.append(f"<p>{esc(payload)}</p>")
        elif kind == "items":
            parts.append("<ul>" + "".join(f"<li>{esc(s)}</li>" for s in payload) + "</ul>")
        elif kind == "table":
            head, rows = payload
            parts.append("<table><tr>" + "".join(f"<th>{esc(h)}</th>" for h in head) + "</tr>" + "".join(
                "<tr>" + "".join(f"<td class=name>{esc(c)}</td>" if i == 0 or not _NUMBER.match(c)
                                 else f"<td>{esc(c)}</td>" for i, c in enumerate(row)) + "</tr>"
                for row in rows) + "</table>")
        elif kind == "figure":
            figure, what = payload
            parts.append(f"<img alt='{esc(what)}' src='data:image/png;base64,{_figure_png(figure)}'>")
        elif kind == "warnings":
            parts.append("".join(f"<div class=warn>{esc(w)}</div>" for w in payload) if payload
                         else "<p>None.</p>")
        elif kind == "command":
            parts.append(f"<pre>{esc(payload)}</pre>")
        else:
            raise ValueError(f"report block {kind!r}: not one the page knows")
    parts.append("</body></html>")
    return "\n".join(parts) + "\n"


#: The PDF's text pages: A4 portrait (inches), margins, line height (points)
_A4 = (8.27, 11.69)
_MARGIN = 0.7
_LINE_PT = {"title": 20.0, "heading": 15.0, "text": 11.5, "mono": 9.5}
_FONT_PT = {"title": 15.0, "heading": 12.0, "text": 9.0, "mono": 7.0}
_WRAP = {"title": 60, "heading": 75, "text": 95, "mono": 110}


def _text_lines(report: Report) -> list:
    """The text of the report as (style, line, font scale), wrapped to the A4
    page; a figure is named where it stands and drawn on its own page after
    the text; a table is set in a fixed-width font, its columns aligned."""
    figure_number = 0

    def wrapped(style, text, first="", rest="", scale=1.0):
        return [(style, line, scale) for line in textwrap.wrap(text, int(_WRAP[style] / scale),
                                                                initial_indent=first,
                                                                subsequent_indent=rest) or [""]]

    lines = wrapped("title", report.title)

    for kind, payload in report.blocks:
        if kind == "heading":
            lines += [("text", "", 1.0), ("heading", payload, 1.0)]
        elif kind == "text":
            lines += wrapped("text", payload)
        elif kind == "items":
            for item in payload:
                lines += wrapped("text", item, "• ", "  ")
        elif kind == "table":
            head, rows = payload
            cells = [list(head)] + [list(map(str, row)) for row in rows]
            widths = [max(len(row[i]) for row in cells) for i in range(len(head))]
            # a wide table in a smaller font, down to 60 % of the text's, then wrapped
            scale = max(0.6, min(1.0, _WRAP["mono"] / (sum(widths) + 2 * len(widths))))
            for k, row in enumerate(cells):
                text = "  ".join(c.ljust(w) if i == 0 or not _NUMBER.match(c) else c.rjust(w)
                                 for i, (c, w) in enumerate(zip(row, widths)))
                lines += wrapped("mono", text.rstrip(), "", "        ", scale)
                if k == 0:
                    lines.append(("mono", "-" * min(len(text), int(_WRAP["mono"] / scale)), scale))
        elif kind == "figure":
            figure_number += 1
            lines += wrapped("text", f"[Figure {figure_number}: {payload[1]}; on page "
                                     f"{{figure_page_{figure_number}}}]")
        elif kind == "warnings":
            for w in payload or ["None."]:
                lines += wrapped("text", w, "! " if payload else "", "  ")
        elif kind == "command":
            lines += wrapped("mono", payload, "$ ", "    ")
        else:
            raise ValueError(f"report block {kind!r}: not one the PDF knows")
    return lines


def _paginate(lines: list) -> list:
    """The (style, line, scale) lines cut into pages that fit the A4 text area."""
    room = (_A4[1] - 2 * _MARGIN) * 72.0
    pages, page, used = [], [], 0.0
    for style, text, scale in lines:
        height = _LINE_PT[style] * scale
        if page and used + height > room:
            pages.append(page)
            page, used = [], 0.0
        page.append((style, text, scale))
        used += height
    return pages + [page] if page else pages


def text_sheets(report: Report) -> list:
    """The report's text as A4 matplotlib figures, one per page; a figure
    is named where it stands with the page it is drawn on, after the text."""
    from matplotlib.figure import Figure

    pages = _paginate(_text_lines(report))
    numbers = {f"{{figure_page_{k + 1}}}": str(len(pages) + 1 + k) for k in range(len(report.figures()))}

    def page_numbers(text):
        for mark, page in numbers.items():
            text = text.replace(mark, page)
        return text

    sheets = []
    for lines in pages:
        sheet = Figure(figsize=_A4)
        y = 1.0 - _MARGIN / _A4[1]
        for style, text, scale in lines:
            y -= _LINE_PT[style] * scale / 72.0 / _A4[1]
            sheet.text(_MARGIN / _A4[0], y, page_numbers(text),
                       fontsize=_FONT_PT[style] * scale, va="baseline",
                       family="monospace" if style == "mono" else "sans-serif",
                       weight="bold" if style in ("title", "heading") else "normal")
        sheets.append(sheet)
    return sheets


def write_report_pdf(path, report: Report) -> Path:
    """The report as a PDF: its text pages, then one page per figure."""
    from matplotlib.backends.backend_pdf import PdfPages

    with files.replacing(path) as partial:
        with PdfPages(partial, metadata={"Title": report.title, "Creator": toolkit_version()}) as pdf:
            for sheet in text_sheets(report):
                pdf.savefig(sheet)
            for figure, _ in report.figures():
                pdf.savefig(figure)
    return Path(path)


def write_report(path, report: Report) -> Path:
    """Write ``report`` to ``path`` as the page (.html) or the PDF (.pdf)
    its name asks for, whole or not at all."""
    check_report_path(path)
    if Path(path).suffix.lower() == ".pdf":
        return write_report_pdf(path, report)
    return files.write_text(path, report_html(report))


def program_version(program=None) -> str:
    """The program's id (:func:`questrand.program.program_id`); empty when
    it cannot be asked."""
    from .program import program_id

    try:
        return program_id(program)
    except (OSError, FileNotFoundError):
        return ""


def fit_report_html(res, problem, command=None, program_version: str = "") -> str:
    """The page of the fit ``res`` of ``problem`` as HTML text."""
    return report_html(fit_report(res, problem, command, program_version))


def write_fit_report(path, res, problem, command=None, program=None, cell=None):
    """Write the fit's report to ``path`` (.html or .pdf; whole or not at all)."""
    return write_report(path, fit_report(res, problem, command, program_version(program), cell))
