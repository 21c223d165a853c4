"""The outputs of a design study: OUT/design.csv, design.png,
sensitivity.png and sensitivity.csv (the best design), check.csv (with
``--simulate``) and the text table on standard output."""

from __future__ import annotations

import csv
import io
import math
from pathlib import Path

import numpy as np

from .. import files
from ..sweep import format_value


def _num(value) -> str:
    value = float(value)
    return "inf" if value == math.inf else ("" if not math.isfinite(value) else f"{value:.6g}")


def design_rows(study) -> tuple:
    """(columns, rows) of design.csv."""
    names = study.names
    extra = list(dict.fromkeys(k for r in study.results for k in r.design.values))
    pairs = [(a, b) for i, a in enumerate(names) for b in names[i + 1:]]
    columns = ["rank", "id", "observable", "t_start", "t_end", "n_samples", "sigma", "sigma_rel", *extra]
    columns += [f"se_rel_{n}" for n in names] + [f"halfwidth_rel_{n}" for n in names]
    columns += ["correlation"] if len(names) == 2 else [f"correlation_{a}_{b}" for a, b in pairs]
    columns += ["d_criterion", "identifiable", "reason", "criterion", "grid", "se_grid_change",
                *[f"grid_error_rel_{n}" for n in names], "grid_ok", "notes"]
    rows = []
    for r in study.results:
        d, p = r.design, r.prediction
        row = {"rank": r.rank, "id": d.id, "observable": d.observable, "t_start": f"{d.t_start:g}",
               "t_end": f"{d.t_end:g}", "n_samples": d.n_samples, "sigma": f"{d.sigma:g}",
               "sigma_rel": f"{d.sigma_rel:g}"}
        row.update({k: format_value(d.values[k]) if k in d.values else "" for k in extra})
        for k, n in enumerate(names):
            row[f"se_rel_{n}"] = _num(p.se[k])
            row[f"halfwidth_rel_{n}"] = _num(p.halfwidth[k])
            row[f"grid_error_rel_{n}"] = "" if r.grid_error is None else _num(r.grid_error[k])
        for a, b in pairs:
            key = "correlation" if len(names) == 2 else f"correlation_{a}_{b}"
            row[key] = _num(p.correlation[names.index(a), names.index(b)])
        row.update({"d_criterion": _num(p.d_criterion),
                    "identifiable": "true" if bool(np.all(p.identifiable)) else "false",
                    "reason": "; ".join(f"{n}: {why}" for n, why in zip(names, p.reasons) if why),
                    "criterion": _num(r.criterion), "grid": f"x{r.factor}",
                    "se_grid_change": _num(r.se_change), "grid_ok": "true" if r.grid_ok else "false",
                    "notes": "; ".join(r.notes)})
        rows.append(row)
    return columns, rows


def check_rows(study) -> tuple:
    columns = ["id", "role", "parameter", "fits", "failed", "predicted_se_rel", "simulated_sd_rel",
               "ratio", "predicted_halfwidth_rel", "within_predicted_halfwidth", "coverage_95"]
    rows = []
    for c in study.checks:
        for k, n in enumerate(c.names):
            rows.append({"id": c.design_id, "role": c.role, "parameter": n, "fits": len(c.estimates),
                         "failed": len(c.failed), "predicted_se_rel": _num(c.predicted_se[k]),
                         "simulated_sd_rel": _num(c.spread[k]), "ratio": _num(c.ratio[k]),
                         "predicted_halfwidth_rel": _num(c.predicted_halfwidth[k]),
                         "within_predicted_halfwidth": _num(c.within[k]), "coverage_95": _num(c.coverage[k])})
    return columns, rows


def _write_csv(path, columns, rows):
    buffer = io.StringIO()
    writer = csv.DictWriter(buffer, fieldnames=columns, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    files.write_text(path, buffer.getvalue())


def write_outputs(study, outdir, width=None, c_in=None) -> list:
    """Write every output file of the study to ``outdir``; returns their
    paths.  ``width``, ``c_in``: the cell's, for :func:`plot_sensitivity`."""
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    written = [outdir / "design.csv"]
    _write_csv(written[0], *design_rows(study))
    best = study.results[0]
    columns = ["time", "value", *[f"dvalue_dln_{n}" for n in study.names]]
    rows = [dict(zip(columns, [f"{t:.9g}", f"{v:.9g}", *[f"{s:.9g}" for s in sens]]))
            for t, v, sens in zip(best.times, best.curve, best.sensitivity)]
    written.append(outdir / "sensitivity.csv")
    _write_csv(written[-1], columns, rows)
    written.append(files.save_figure(plot_halfwidths(study), outdir / "design.png"))
    written.append(files.save_figure(plot_sensitivity(study, best, width, c_in), outdir / "sensitivity.png"))
    if study.checks:
        written.append(outdir / "check.csv")
        _write_csv(written[-1], *check_rows(study))
    return written


def plot_halfwidths(study):
    """Predicted relative 95 % half-widths per design (best at the top)."""
    from matplotlib.figure import Figure

    from ..units import axis_label

    results, names = study.results, study.names
    fig = Figure(figsize=(8.0, 1.6 + 0.32 * len(results) * max(1, len(names)) ** 0.5),
                 layout="constrained", dpi=110)
    ax = fig.subplots()
    height = 0.8 / len(names)
    y = np.arange(len(results))[::-1]
    cap = 100.0
    for k, n in enumerate(names):
        widths = np.array([min(r.prediction.halfwidth[k], cap) for r in results])
        ax.barh(y + (len(names) - 1 - 2 * k) * height / 2, 100 * widths, height=height, label=n)
    ax.axvline(100 * study.limit, color="black", lw=0.8, ls="--", label=f"limit +-{100 * study.limit:g} %")
    ax.set_xscale("log")
    ax.set_yticks(y, [f"{r.rank}. {r.design.id}" + ("" if np.all(r.prediction.identifiable) else " (not identifiable)")
                      for r in results], fontsize="small")
    ax.set_xlabel(axis_label("predicted 95 % half-width of the value (bars cut at 10^4 %)", "%"))
    ax.set_ylabel("design, ranked")
    ax.set_title(f"design study: {', '.join(names)}; ranked by {study.criterion}")
    ax.grid(alpha=0.3, axis="x")
    ax.legend(fontsize="small")
    return fig


def design_width(design, width=None):
    """The cell width (m) of a design: ``width`` (``--width``) when given,
    else the ``width`` column of its row, else None."""
    from .. import units

    if width is not None or "width" not in design.values:
        return width
    return units.parse_quantity(design.values["width"], units.LENGTH, "width")


def plot_sensitivity(study, r, width=None, c_in=None):
    """The sensitivities of the best design over time, in units of sigma.
    An amount per metre of depth (m_gel ...) is also read as the amount in
    the whole cell on a right-hand axis where the design or ``width`` gives
    the cell's width (``c_in``: what the problem's c_in stands for)."""
    from matplotlib.figure import Figure

    from ..options import cell_amounts
    from ..plots import show_cell_amount
    from ..units import AMOUNTS_PER_DEPTH, axis_label, output_unit

    d = r.design
    fig = Figure(figsize=(8.0, 6.0), layout="constrained", dpi=110)
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [1.2, 2]})
    top.plot(r.times, r.curve, color="black", lw=1.2)
    top.plot(d.times, r.samples, "o", ms=3, color="tab:gray", label=f"{d.n_samples} samples")
    top.set_ylabel(axis_label(d.observable, output_unit(d.observable)))
    if d.observable in AMOUNTS_PER_DEPTH:
        largest = float(np.nanmax(np.abs(r.curve))) if len(r.curve) else 0.0
        show_cell_amount(top, cell_amounts(design_width(d, width), c_in, r.problem, largest))
    top.set_title(f"best design {d.id}: {d.observable}, where the information lies")
    top.legend(fontsize="small")
    sigma = np.interp(r.times, d.times, r.sigma) if len(d.times) > 1 else np.full(len(r.times), r.sigma[0])
    for k, n in enumerate(study.names):
        bottom.plot(r.times, r.sensitivity[:, k] / sigma, label=f"d {d.observable} / d ln {n}")
    bottom.axhline(0.0, color="black", lw=0.8)
    for t in (d.t_start, d.t_end):
        bottom.axvline(t, color="tab:gray", lw=0.8, ls=":")
    bottom.set_ylabel(axis_label("sensitivity / sigma", "1"))
    bottom.set_xlabel(axis_label("time", "s"))
    bottom.legend(fontsize="small")
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    return fig


def format_study(study) -> str:
    """The ranked designs as a text table."""
    names = study.names
    lines = [f"design study of {', '.join(f'{n} = {study.nominal[n]:.4g}' for n in names)}: "
             f"{len(study.results)} designs ranked by {study.criterion}; {study.runs} model runs, "
             f"{study.seconds:.1f} s"]
    head = f"{'rank':>4s}  {'id':<24s} {'observable':<12s} " + " ".join(f"{'+-' + n:>12s}" for n in names)
    head += f" {'corr':>7s} {'D':>9s} {'grid':>5s}  identifiable"
    lines.append(head)
    for r in study.results:
        p = r.prediction
        corr = f"{p.correlation[0, 1]:7.3f}" if len(names) >= 2 and math.isfinite(p.correlation[0, 1]) else f"{'':7s}"
        row = f"{r.rank:>4d}  {r.design.id:<24s} {r.design.observable:<12s} "
        row += " ".join(f"{_pct(h):>12s}" for h in p.halfwidth)
        row += f" {corr} {p.d_criterion:9.3g} {'x' + str(r.factor):>5s}  "
        row += "yes" if np.all(p.identifiable) else "no: " + "; ".join(
            f"{n} {why}" for n, why in zip(names, p.reasons) if why)
        lines.append(row)
    lines.append(f"+-: predicted 95 % half-width relative to the value (identifiable: at most "
                 f"+-{100 * study.limit:g} %)")
    identifiable = {r.design.id: bool(np.all(r.prediction.identifiable)) for r in study.results}
    for c in study.checks:
        lines.append(f"check of {c.role} design {c.design_id}: {len(c.estimates)} simulated fits"
                     + (f" ({len(c.failed)} failed: {c.failed[0]})" if c.failed else ""))
        if not identifiable[c.design_id]:
            lines.append("  (not identifiable: the fits start at the nominal values and the data do not "
                         "pull them along the undetermined direction, so their spread understates the "
                         "uncertainty; the prediction is the measure here)")
        for k, n in enumerate(c.names):
            lines.append(f"  {n}: predicted se {_pct(c.predicted_se[k])}, spread of the fits "
                         f"{_pct(c.spread[k])} (ratio {c.ratio[k]:.3g}); within the predicted half-width "
                         f"{100 * c.within[k]:.0f} %, own 95 % interval holds the value {100 * c.coverage[k]:.0f} %")
    for r in study.results:
        for note in r.notes:
            lines.append(f"note: {r.design.id}: {note}")
    for w in study.warnings:
        lines.append(f"warning: {w}")
    return "\n".join(line.rstrip() for line in lines)


def _pct(x) -> str:
    x = float(x)
    return "inf" if not math.isfinite(x) else f"{100 * x:.3g} %"


def plain_warnings(study) -> list:
    """What a reader of the ranking must know, in plain sentences: designs
    that cannot identify a parameter and why, predictions whose grid was
    not fine enough, the notes of each design."""
    said = []
    for r in study.results:
        p = r.prediction
        if not np.all(p.identifiable):
            why = "; ".join(f"{n}: {reason}" for n, reason in zip(study.names, p.reasons) if reason)
            said.append(f"Design {r.design.id} would not measure every parameter to within "
                        f"±{100 * study.limit:g} % ({why}); its rank is shared by the designs that cannot.")
    said.extend(study.warnings)
    said.extend(f"Design {r.design.id}: {note}" for r in study.results for note in r.notes)
    for c in study.checks:
        if c.failed:
            said.append(f"{len(c.failed)} of the simulated fits of design {c.design_id} failed "
                        f"(the first: {c.failed[0]}).")
    return said


def design_report(study, problem, command=None, program_version: str = "", width=None, c_in=None):
    """The report of a design study (:mod:`questrand.report_html`): the
    base problem, the ranked designs with their predicted half-widths,
    the checks by simulated fits, the figures, the warnings."""
    from ..report_html import Report, add_problem, add_reproduce, add_warnings

    names = study.names
    report = Report(f"Design of experiments: which experiment measures {', '.join(names)}")
    add_problem(report, problem, "The base problem; each design changes the values its row gives and "
                                 "samples one observable.")
    nominal = ", ".join(f"{n} = {study.nominal[n]:.4g}" for n in names)
    report.add("heading", "The designs, ranked").add(
        "text", f"At the nominal values {nominal}: {len(study.results)} designs ranked by {study.criterion} "
                f"(predicted from the sensitivities of the observable to the logarithms of the parameters, "
                f"on the grid named, refined while the standard errors changed by more than the "
                f"tolerance); a parameter is identifiable when its predicted 95 % half-width is at most "
                f"±{100 * study.limit:g} % of its value. {study.runs} model runs, {study.seconds:.1f} s.")
    head = ["rank", "design", "observable", "samples", "sigma", *[f"±{n}" for n in names]]
    head += ["correlation"] if len(names) == 2 else []
    head += ["D", "grid", "identifiable"]
    rows = []
    for r in study.results:
        d, p = r.design, r.prediction
        row = [f"{r.rank}", d.id, d.observable, f"{d.n_samples} from {d.t_start:g} to {d.t_end:g} s",
               f"{d.sigma:g}" + (f" + {100 * d.sigma_rel:g} %" if d.sigma_rel else ""),
               *[_pct(h) for h in p.halfwidth]]
        if len(names) == 2:
            row.append(_num(p.correlation[0, 1]))
        row += [f"{p.d_criterion:.3g}", f"x{r.factor}", "yes" if np.all(p.identifiable) else "no"]
        rows.append(row)
    report.add("table", (head, rows))
    if study.checks:
        report.add("heading", "Checked by simulated experiments").add(
            "text", "Each checked design's experiment simulated with noise of its sigma and fitted: the "
                    "spread of the fits beside the predicted standard error.")
        report.add("table", (["design", "role", "parameter", "fits", "predicted se", "spread of the fits",
                              "within the predicted half-width", "own 95 % interval holds the value"],
                             [[c.design_id, c.role, n, f"{len(c.estimates)}", _pct(c.predicted_se[k]),
                               _pct(c.spread[k]), f"{100 * c.within[k]:.0f} %", f"{100 * c.coverage[k]:.0f} %"]
                              for c in study.checks for k, n in enumerate(c.names)]))
    report.add("heading", "Figures")
    report.add("figure", (plot_halfwidths(study), "predicted half-widths per design"))
    report.add("figure", (plot_sensitivity(study, study.results[0], width, c_in), "sensitivities of the best design"))
    add_warnings(report, plain_warnings(study))
    return add_reproduce(report, command, program_version)
