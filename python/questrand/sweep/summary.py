"""The summary of a sweep: one row per run (its values, its job record and
key results) in summary.csv, the uptake curves of the runs in uptake.png,
and summary.csv read back (as rows of texts, or as a pandas DataFrame)."""

from __future__ import annotations

import csv
from pathlib import Path


from .. import files
from ..units import C_UNIT, axis_label, output_unit, value_label
from ..errors import OutputFileError
from ..program import read_record as program_record
from .definition import _FIELD_TYPES, Sweep, SweepRun, format_value, parse_value
from .execution import read_record, run_fault

SUMMARY_FILE = "summary.csv"
PLOT_FILE = "uptake.png"
#: The columns of summary.csv after the id and the swept names.
SUMMARY_COLUMNS = ("status", "exit_status", "error", "flow", "scheme", "steps", "outer_iterations",
                   "warning_steps", "final_time", "m_memb", "m_gel", "c_gel_mean", "wall_time")


def summary_row(sweep: Sweep, run: SweepRun, root=".") -> dict:
    """One row of summary.csv: the id, the swept values, the job record and
    the key results read back with :func:`questrand.read_run`."""
    from ..results import read_run

    workdir = Path(root) / run.workdir
    row = {"id": run.id}
    row.update({name: format_value(run.values[name]) if name in run.values else ""
                for name in sweep.names})
    row.update({column: "" for column in SUMMARY_COLUMNS})
    record = read_record(workdir)
    if record is None:
        row["status"] = "missing"
        return row
    row["status"] = record.get("status", "")
    row["exit_status"] = "" if record.get("exit_status") is None else record["exit_status"]
    row["error"] = record.get("error", "")
    wall = record.get("wall_time")
    row["wall_time"] = "" if wall is None else f"{wall:.3f}"
    row["flow"] = record.get("flow", "")
    row["scheme"] = record.get("scheme", "standard")
    if row["status"] != "ok":
        return row
    fault = run_fault(run, workdir, record)
    if fault:
        row["status"], row["error"] = "incomplete", fault
        return row
    result = read_run(workdir)
    try:  # the program's own record of the run: its steps, iterations and steps at maxit
        recorded = program_record(workdir, result.problem.runname)
    except OutputFileError as exc:
        row["status"], row["error"] = "incomplete", str(exc)
        return row
    row["outer_iterations"] = recorded.outer_iterations
    row["steps"] = 0 if result.problem.steady else recorded.steps
    row["warning_steps"] = len(recorded.maxit_steps)
    if result.monitor is not None and len(result.monitor):
        row["final_time"] = repr(float(result.monitor["time"].iloc[-1]))
    if result.uptake is not None and len(result.uptake):
        last = {name: float(v) for name, v in result.uptake.iloc[-1].items()}
        for name in ("m_memb", "m_gel", "c_gel_mean"):
            row[name] = repr(last[name])
    return row


def write_summary(sweep: Sweep, root=".", csv_path=None, plot_path=None) -> list:
    """Write summary.csv and uptake.png for the sweep's run directories
    under ``root``; returns the summary rows."""
    root = Path(root)
    csv_path = Path(csv_path) if csv_path is not None else root / SUMMARY_FILE
    plot_path = Path(plot_path) if plot_path is not None else root / PLOT_FILE
    rows = [summary_row(sweep, run, root) for run in sweep.runs]
    columns = ["id", *sweep.names, *SUMMARY_COLUMNS]
    with files.replacing(csv_path) as partial, open(partial, "w", newline="", encoding="utf-8") as out:
        writer = csv.DictWriter(out, fieldnames=columns, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    files.save_figure(plot_uptake_comparison(sweep, root), plot_path)
    return rows


def plot_uptake_comparison(sweep: Sweep, root="."):
    """The uptake curves of the finished runs (amount in the gel and mean gel
    concentration against time), one line per run; runs without an uptake
    file show the concentration of the mid-gel probe instead."""
    from matplotlib.figure import Figure

    from ..results import read_run

    fig = Figure(figsize=(8.0, 6.5), layout="constrained", dpi=110)
    top, bottom = fig.subplots(2, 1, sharex=True)
    shown = failed = 0
    probe_only = []
    for run in sweep.runs:
        record = read_record(Path(root) / run.workdir)
        if record is None or record.get("status") != "ok" \
                or run_fault(run, Path(root) / run.workdir, record):
            failed += 1
            continue
        result = read_run(Path(root) / run.workdir)
        label = run.id if not run.values else ", ".join(value_label(n, v) for n, v in run.values.items())
        if len(label) > 60:
            label = run.id
        if result.uptake is not None and len(result.uptake):
            line, = top.plot(result.uptake["time"], result.uptake["m_gel"], label=label)
            bottom.plot(result.uptake["time"], result.uptake["c_gel_mean"], color=line.get_color())
            shown += 1
        elif result.monitor is not None and len(result.monitor):
            bottom.plot(result.monitor["time"], result.monitor["C(GelMid)"], linestyle="--",
                        label=f"{label} (C(GelMid) probe)")
            probe_only.append(run.id)
            shown += 1
    top.set_ylabel(axis_label("amount in the gel (m_gel)", output_unit("m_gel")))
    bottom.set_ylabel(axis_label("mean gel concentration (c_gel_mean)" if not probe_only
                                 else "gel concentration", C_UNIT))
    bottom.set_xlabel(axis_label("time", "s"))
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize="small")
    title = f"{sweep.base.runname.strip()}: gel uptake of {shown} run{'s' if shown != 1 else ''}"
    if failed:
        title += f" ({failed} failed or not run)"
    top.set_title(title)
    if not shown:
        top.text(0.5, 0.5, "no finished run", ha="center", va="center", transform=top.transAxes)
    elif probe_only:
        top.text(0.5, 0.5, f"no uptake file (.UPT) in {len(probe_only)} run"
                 f"{'s' if len(probe_only) != 1 else ''}: their mid-gel probe is shown below",
                 ha="center", va="center", transform=top.transAxes)
    return fig


def _read_summary(path) -> list:
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


#: The types of the summary's own numeric columns in :func:`read_summary`.
_SUMMARY_TYPES = {"exit_status": "int", "steps": "int", "outer_iterations": "int", "warning_steps": "int",
                  "final_time": "float", "m_memb": "float", "m_gel": "float", "c_gel_mean": "float",
                  "wall_time": "float"}
_DTYPES = {"float": "float64", "int": "Int64", "bool": "boolean"}


def _summary_value(kind: str, text: str):
    """A cell of the summary's own numeric columns (reals read back exactly)."""
    try:
        return int(text) if kind == "int" else float(text)
    except ValueError:
        raise ValueError(f"expected {'an integer' if kind == 'int' else 'a real number'}, "
                         f"found {text!r}") from None


def read_summary(path):
    """A sweep's summary.csv (``path``, or the sweep's directory) as a
    pandas DataFrame, one row per run in the file's order.  Numeric columns
    are typed: the results and the swept reals as float64 (NaN where empty),
    counts, exit statuses and swept integers as the nullable Int64 (<NA>
    where empty), swept logicals as the nullable boolean; the id, status,
    error, flow, scheme and swept texts stay text as written.  Raises
    :class:`OutputFileError` naming the file, and the row and column of a
    value that is not of its column's type."""
    import pandas as pd

    path = Path(path)
    if path.is_dir():
        path = path / SUMMARY_FILE
    if not path.is_file():
        raise OutputFileError(f"{path}: expected the summary of a sweep ({SUMMARY_FILE}), found no file")
    try:
        frame = pd.read_csv(path, dtype=str, keep_default_na=False, na_filter=False, encoding="utf-8")
    except (OSError, ValueError) as exc:
        raise OutputFileError(f"{path}: expected the summary of a sweep ({exc})") from None
    missing = [c for c in ("id", *SUMMARY_COLUMNS) if c not in frame.columns]
    if missing:
        raise OutputFileError(f"{path}: expected the summary of a sweep, a header with the columns id, "
                              f"{', '.join(SUMMARY_COLUMNS)}; missing {', '.join(missing)}")
    for column in frame.columns:
        if column in _SUMMARY_TYPES:
            kind, parse = _SUMMARY_TYPES[column], lambda text, k=_SUMMARY_TYPES[column]: _summary_value(k, text)
        elif column in _FIELD_TYPES and column not in SUMMARY_COLUMNS and _FIELD_TYPES[column] in _DTYPES:
            kind, parse = _FIELD_TYPES[column], lambda text, name=column: parse_value(name, text)
        else:
            continue  # a text
        values = []
        for row, text in enumerate(frame[column], 1):
            try:
                values.append(parse(text) if text != "" else None)  # an empty cell: no value
            except ValueError as exc:
                raise OutputFileError(f"{path}: row {row}, column {column}: {exc}") from None
        frame[column] = pd.array(values, dtype=_DTYPES[kind])
    return frame
