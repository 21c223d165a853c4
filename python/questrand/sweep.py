"""Parameter sweeps on Snakemake (``questrand sweep``).

A sweep is a base problem and a list of runs, each the base problem with a
few values changed.  The runs come from a CSV file (a header of problem
names, an optional ``id`` column, one row per run) or from the product of
value lists (``--grid NAME=v1,v2 ...``).  Every name and value is checked
before anything runs: the names and types here, every run's whole problem
by the program itself (``questrand --check``).

The runs are made by the Snakemake workflow ``workflow/Snakefile`` of the
repository, one job per run in ``OUTDIR/runs/ID/``, then
``OUTDIR/summary.csv`` and ``OUTDIR/uptake.png``.  This command writes the
sweep as the workflow's configuration file ``OUTDIR/sweep.json`` and calls
``snakemake`` on it; the workflow reads the same file through
:func:`Sweep.from_config`, so the workflow can also be run directly::

    snakemake -s workflow/Snakefile -d OUTDIR --configfile OUTDIR/sweep.json --cores 4

Snakemake decides what runs: a run whose ``run.json`` exists and whose
problem text is unchanged is not run again (its problem text is a parameter
of the job), a changed row reruns, an interrupted sweep resumes.  A run that
the program ends with a non-zero exit status is recorded as failed in its
``run.json`` and in the summary; this command runs such runs again on its
next invocation.
"""

from __future__ import annotations

import csv
import dataclasses
import itertools
import json
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from . import files, interrupts
from .errors import OutputFileError, QuestrandError
from .problem import INPUT as PROBLEM_INPUT
from .problem import Problem
from .runner import SCHEMES

#: The repository's workflow directory (python/questrand/sweep.py -> workflow/).
WORKFLOW_DIR = Path(__file__).resolve().parents[2] / "workflow"
SNAKEFILE = WORKFLOW_DIR / "Snakefile"
PROFILES_DIR = WORKFLOW_DIR / "profiles"
CONFIG_FILE = "sweep.json"
SUMMARY_FILE = "summary.csv"
PLOT_FILE = "uptake.png"
RUNS_DIR = "runs"
RECORD_FILE = "run.json"
ID_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9._=+,-]{0,99}")
#: Snakemake's wildcard constraint for run ids (the same rule as ID_PATTERN).
ID_REGEX = ID_PATTERN.pattern

#: The columns of summary.csv after the id and the swept names.
SUMMARY_COLUMNS = ("status", "exit_status", "error", "flow", "scheme", "steps", "outer_iterations",
                   "warning_steps", "final_time", "m_memb", "m_gel", "c_gel_mean", "wall_time")
#: The shared cache of steady flows of a sweep, in its directory.
FLOW_CACHE_DIR = "flow-cache"
FLOW_MODES = ("reuse", "coupled")
_WARNING = "CONVERGENCE CRITERION NOT SATISFIED"
_FIELD_TYPES = {f.name: f.type for f in dataclasses.fields(Problem)}


class SweepError(QuestrandError, ValueError):
    """A sweep that cannot be run: a bad CSV, grid, name or value."""


# -- values ------------------------------------------------------------------
def parse_value(name: str, text: str):
    """The text of a CSV cell or grid value as the type of problem value ``name``.

    Raises ValueError with what was expected.
    """
    kind = _FIELD_TYPES[name]
    text = text.strip()
    if kind == "bool":
        value = {"T": True, "TRUE": True, ".TRUE.": True, "1": True,
                 "F": False, "FALSE": False, ".FALSE.": False, "0": False}.get(text.upper())
        if value is None:
            raise ValueError(f"expected a logical value T or F, found {text!r}")
        return value
    if kind == "int":
        if not re.fullmatch(r"[+-]?\d+", text):
            raise ValueError(f"expected an integer, found {text!r}")
        return int(text)
    if kind == "float":
        try:
            value = float(text)
        except ValueError:
            value = None
        if value is None or not math.isfinite(value) or "_" in text:
            raise ValueError(f"expected a real number, found {text!r}")
        return value
    return text


def _typed(name: str, value):
    """A value from a configuration file: a text is parsed, a number or
    logical checked against the problem value's type."""
    if isinstance(value, str) and _FIELD_TYPES[name] != "str":
        return parse_value(name, value)
    try:
        return getattr(Problem(**{name: value}), name)
    except TypeError as exc:
        raise ValueError(str(exc).split(": ", 1)[-1]) from None


def format_value(value) -> str:
    """A problem value as text (reals round-trip exactly, logicals T/F)."""
    if isinstance(value, bool):
        return "T" if value else "F"
    return repr(value) if isinstance(value, float) else str(value)


def program_check(program, data: bytes):
    """``questrand --check`` on a PROB.INP given as its bytes, in a scratch
    directory: None when the program would run it, else the program's one
    error line (``PROB.INP: line N: ...``).  The program is the one judge of
    an input: every value, the grid, the run-name rules."""
    with tempfile.TemporaryDirectory(prefix="questrand-check-") as scratch:
        Path(scratch, "PROB.INP").write_bytes(data)
        try:
            done = subprocess.run([str(program), "-C", scratch, "--check"], stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=120)
        except (OSError, subprocess.TimeoutExpired) as exc:
            raise SweepError(f"{program} --check: cannot check the problem input: {exc}") from None
    if done.returncode == 0:
        return None
    lines = [line for line in done.stderr.decode("utf-8", "replace").splitlines() if line.strip()]
    if done.returncode == 2 and lines:
        return lines[-1]  # warnings (values left over on a line) come before the error
    raise SweepError(f"{program} --check: ended with exit status {done.returncode}"
                     + (f": {lines[-1]}" if lines else ""))


_PROGRAM_LINE = re.compile(r"PROB\.INP: line (\d+): ")


def _column_of(error: str, values: dict):
    """The swept value on the line the program's error names, or None."""
    match = _PROGRAM_LINE.match(error)
    if not match:
        return None
    line = int(match.group(1))
    return next((name for name in values if problem_line(name) == line), None)


def problem_line(name: str) -> int:
    """The line of problem value ``name`` in the commented 64-line PROB.INP."""
    return next(value["line"] for value in PROBLEM_INPUT["values"] if value["name"] == name)


# -- the sweep ---------------------------------------------------------------
@dataclasses.dataclass
class SweepRun:
    """One run: its id, the values it changes and its whole problem."""

    id: str
    values: dict
    problem: Problem

    @property
    def text(self) -> str:
        """The PROB.INP text of this run."""
        return self.problem.text()

    @property
    def workdir(self) -> str:
        return f"{RUNS_DIR}/{self.id}"


@dataclasses.dataclass
class Sweep:
    """A base problem and its runs."""

    base_path: Path
    base: Problem
    names: list
    runs: list
    program: str | None = None
    timeout: float | None = None
    flow: str = "reuse"
    scheme: str = "standard"

    # -- building ----------------------------------------------------------
    @classmethod
    def from_rows(cls, base_path, rows, names, *, source: str, program=None, timeout=None,
                  flow="reuse", scheme="standard") -> "Sweep":
        """A sweep of ``rows``: ``(where, id or None, {name: value})`` with
        ``where`` naming the row in messages.  Checks the ids and every run's
        problem with the program (``questrand --check``, see
        :func:`program_check`) before anything runs; raises
        :class:`SweepError` naming the row and the column, with the program's
        error line."""
        from .runner import find_program

        base_path = Path(base_path)
        base = Problem.read(base_path)
        checker = str(find_program(program))
        error = program_check(checker, base_path.read_bytes())
        if error:
            raise SweepError(f"{base_path}: {error.removeprefix('PROB.INP: ')}")
        runs, seen, judged = [], {}, {}
        for number, (where, run_id, values) in enumerate(rows, 1):
            run_id = run_id if run_id is not None else f"run{number:03d}"
            if not ID_PATTERN.fullmatch(run_id):
                raise SweepError(f"{source}: {where}, column id: expected a run id of letters, digits "
                                 f"and . _ = + , - (at most 100, not starting with a sign or point), "
                                 f"found {run_id!r}")
            if run_id in seen:
                raise SweepError(f"{source}: {where}, column id: the id {run_id!r} is already used "
                                 f"by {seen[run_id]}")
            seen[run_id] = where
            try:
                problem = base.replace(**values)
            except TypeError as exc:
                field = re.match(r"Problem\.(\w+): ", str(exc))
                column = f", column {field.group(1)}" if field and field.group(1) in values else ""
                raise SweepError(f"{source}: {where}{column}: {exc}") from None
            data = problem.data()
            if data not in judged:
                judged[data] = program_check(checker, data)
            if judged[data]:
                column = _column_of(judged[data], values)
                raise SweepError(f"{source}: {where}{f', column {column}' if column else ''}: {judged[data]}")
            runs.append(SweepRun(run_id, dict(values), problem))
        if not runs:
            raise SweepError(f"{source}: no runs (expected at least one row of values)")
        if flow not in FLOW_MODES:
            raise SweepError(f"{source}: flow: expected one of {', '.join(FLOW_MODES)}, found {flow!r}")
        if scheme not in SCHEMES:
            raise SweepError(f"{source}: scheme: expected one of {', '.join(SCHEMES)}, found {scheme!r}")
        return cls(base_path.resolve(), base, list(names), runs, program, timeout, flow, scheme)

    @classmethod
    def from_csv(cls, base_path, csv_path, **options) -> "Sweep":
        """A sweep of the rows of a CSV file: a header of problem names and
        an optional ``id`` column, then one row per run.  An empty cell keeps
        the base value; blank lines and lines starting with ``#`` are skipped."""
        csv_path = Path(csv_path)
        try:
            text = files.read_text(csv_path, "sweep table")
        except files.InputFileError as exc:
            raise SweepError(str(exc)) from None
        lines = [(n, line) for n, line in files.lines(text)
                 if line.strip() and not line.lstrip().startswith("#")]
        if not lines:
            raise SweepError(f"{csv_path}: expected a header line of problem names, found an empty file")
        records = list(csv.reader([line for _, line in lines]))
        header_no, header = lines[0][0], [cell.strip() for cell in records[0]]
        for column, name in enumerate(header, 1):
            if name == "id":
                continue
            if name not in _FIELD_TYPES:
                raise SweepError(f"{csv_path}: line {header_no} (header), column {column}: "
                                 f"{name!r} is not a problem value (expected id or one of: "
                                 f"{', '.join(_FIELD_TYPES)})")
            if header.index(name) != column - 1:
                raise SweepError(f"{csv_path}: line {header_no} (header), column {column}: "
                                 f"{name!r} appears twice")
        names = [name for name in header if name != "id"]
        rows = []
        for row_no, ((line_no, _), cells) in enumerate(zip(lines[1:], records[1:]), 1):
            where = f"row {row_no} (line {line_no})"
            if len(cells) != len(header):
                raise SweepError(f"{csv_path}: {where}: expected {len(header)} values as in the "
                                 f"header, found {len(cells)}")
            run_id, values = None, {}
            for name, cell in zip(header, cells):
                if name == "id":
                    run_id = cell.strip()
                elif cell.strip():
                    try:
                        values[name] = parse_value(name, cell)
                    except ValueError as exc:
                        raise SweepError(f"{csv_path}: {where}, column {name}: {exc}") from None
            rows.append((where, run_id, values))
        return cls.from_rows(base_path, rows, names, source=str(csv_path), **options)

    @classmethod
    def from_grid(cls, base_path, assignments, *, source="--grid", **options) -> "Sweep":
        """A sweep of every combination of value lists ``NAME=v1,v2,...``
        (the first name varies slowest).  The id of a run joins its
        ``NAME=value`` texts with ``__``."""
        names, lists = grid_assignments(assignments, source)
        if not names:
            raise SweepError(f"{source}: expected at least one NAME=v1,v2,...")
        rows = []
        for combo in itertools.product(*lists):
            run_id = "__".join(f"{n}={text}" for n, (text, _) in zip(names, combo))
            where = "run " + ", ".join(f"{n}={text}" for n, (text, _) in zip(names, combo))
            rows.append((where, run_id, {n: value for n, (_, value) in zip(names, combo)}))
        return cls.from_rows(base_path, rows, names, source=source, **options)

    # -- the workflow's configuration ---------------------------------------
    def to_config(self) -> dict:
        """The sweep as the workflow's configuration (JSON-ready)."""
        config = {"problem": str(self.base_path), "names": list(self.names),
                  "runs": [{"id": run.id, "values": dict(run.values)} for run in self.runs]}
        if self.program is not None:
            config["program"] = str(self.program)
        if self.timeout is not None:
            config["timeout"] = self.timeout
        config["flow"] = self.flow
        config["scheme"] = self.scheme
        return config

    @classmethod
    def from_config(cls, config: dict) -> "Sweep":
        """The sweep of a workflow configuration.

        Keys: ``problem`` (the base PROB.INP; a relative path is taken from
        the working directory, i.e. snakemake's ``--directory``), then the
        runs as one of ``runs`` (a list of ``{id: ..., values: {name:
        value}}``), ``table`` (a CSV file as for ``questrand sweep``) or
        ``grid`` (``{name: [values]}``); optional ``program``, ``timeout``
        (seconds per run) and ``flow`` (``reuse``, the default: the steady
        flow of a transient problem solved once and reused, see
        :mod:`questrand.flow`; ``coupled``: solved in every time step) and
        ``scheme`` (the program's scheme for the concentration: ``standard``,
        the default, or ``second-order``).
        """
        if not isinstance(config, dict) or "problem" not in config:
            raise SweepError("sweep configuration: expected the key 'problem' (the base PROB.INP)")
        options = {"program": config.get("program"), "timeout": config.get("timeout"),
                   "flow": config.get("flow", "reuse"), "scheme": config.get("scheme", "standard")}
        given = [key for key in ("runs", "table", "grid") if key in config]
        if len(given) != 1:
            raise SweepError("sweep configuration: expected exactly one of the keys 'runs', 'table', "
                             f"'grid', found {given or 'none'}")
        base = config["problem"]
        if given == ["table"]:
            return cls.from_csv(base, config["table"], **options)
        if given == ["grid"]:
            grid = config["grid"]
            if not isinstance(grid, dict):
                raise SweepError("sweep configuration: grid: expected a mapping of names to value lists")
            assignments = [f"{name}=" + ",".join(format_value(v) if not isinstance(v, str) else v
                                           for v in (values if isinstance(values, list) else [values]))
                     for name, values in grid.items()]
            return cls.from_grid(base, assignments, source="sweep configuration: grid", **options)
        runs = config["runs"]
        if not isinstance(runs, list):
            raise SweepError("sweep configuration: runs: expected a list of {id, values} entries")
        rows, names = [], list(config.get("names", []))
        for number, entry in enumerate(runs, 1):
            where = f"run {number}"
            if not isinstance(entry, dict) or not isinstance(entry.get("values", {}), dict):
                raise SweepError(f"sweep configuration: runs: {where}: expected a mapping with "
                                 "'id' and 'values'")
            values = {}
            for name, value in entry.get("values", {}).items():
                if name not in _FIELD_TYPES:
                    raise SweepError(f"sweep configuration: runs: {where}, column {name}: not a "
                                     "problem value")
                try:
                    values[name] = _typed(name, value)
                except ValueError as exc:
                    raise SweepError(f"sweep configuration: runs: {where}, column {name}: {exc}") from None
                if name not in names:
                    names.append(name)
            run_id = entry.get("id")
            rows.append((where, None if run_id is None else str(run_id), values))
        return cls.from_rows(base, rows, names, source="sweep configuration: runs", **options)

    def table(self) -> list:
        """``[[id, {name: value text}], ...]``: the runs as plain data."""
        return [[run.id, {n: format_value(v) for n, v in run.values.items()}] for run in self.runs]


def grid_assignments(assignments, source="--grid", taken=(), error=None):
    """``["NAME=v1,v2,...", ...]`` -> ``(names, [[(text, value), ...], ...])``:
    each name a problem value other than the run name, not given twice nor
    in ``taken`` (names used otherwise), each value parsed as the field's
    type.  Raises ``error`` (a callable of the message; default
    :class:`SweepError`) naming the assignment."""
    fail = error or SweepError
    names, lists = [], []
    for assignment in assignments or ():
        name, sep, values = assignment.partition("=")
        name = name.strip()
        where = f"{source} {assignment!r}"
        if not sep or not name:
            raise fail(f"{where}: expected NAME=v1,v2,...")
        if name not in _FIELD_TYPES or name == "runname":
            raise fail(f"{where}: {name!r} is not a problem value that can be swept "
                       f"(expected one of: {', '.join(n for n in _FIELD_TYPES if n != 'runname')})")
        if name in names:
            raise fail(f"{where}: {name!r} is given twice")
        if name in taken:
            raise fail(f"{where}: {name!r} is already given (a column of the table or a parameter)")
        parsed = []
        for text in (v.strip() for v in values.split(",")):
            try:
                parsed.append((text, parse_value(name, text)))
            except ValueError as exc:
                raise fail(f"{where}: {exc}") from None
        names.append(name)
        lists.append(parsed)
    return names, lists


# -- results -------------------------------------------------------------------
def read_record(workdir) -> dict | None:
    """The job record ``run.json`` of a run directory, or None."""
    path = Path(workdir) / RECORD_FILE
    if not path.is_file():
        return None
    try:
        record = json.loads(path.read_bytes())
    except (OSError, ValueError) as exc:
        raise OutputFileError(f"{path}: expected the JSON record of a run ({exc})") from None
    if not isinstance(record, dict):
        raise OutputFileError(f"{path}: expected the JSON record of a run (an object)")
    return record


def run_fault(sweep_run: SweepRun, workdir, record) -> str | None:
    """Why the directory of a finished run does not hold that whole run, or
    None: its problem differs from the sweep's, or a file the record lists
    (every file the run left, with its size) is missing or has another size.
    A run with the steady flow reused keeps the sweep's problem in
    PROB.INP.given (its PROB.INP is the problem it ran)."""
    workdir = Path(workdir)
    given = workdir / "PROB.INP.given"
    try:
        if (given if given.is_file() else workdir / "PROB.INP").read_bytes() != sweep_run.problem.data():
            return "PROB.INP differs from the sweep's problem"
    except OSError:
        return "PROB.INP is missing"
    listed = record.get("files")
    if not isinstance(listed, dict):  # a record of an earlier version: the main files
        listed = {name: None for name in ("console.txt", "monitor.dat")}
    for name, size in listed.items():
        path = workdir / name
        if not path.is_file():
            return f"{name} is missing"
        if size is not None and path.stat().st_size != size:
            return f"{name} has {path.stat().st_size} bytes, the run left {size}"
    return None


def finished(sweep: Sweep, root=".") -> list:
    """The runs of the sweep whose directories under ``root`` hold the whole
    run, finished with status ok."""
    done = []
    for run in sweep.runs:
        try:
            record = read_record(Path(root) / run.workdir)
        except OutputFileError:
            continue
        if record is not None and record.get("status") == "ok" \
                and run_fault(run, Path(root) / run.workdir, record) is None:
            done.append(run)
    return done


def warning_steps(listing) -> int:
    """How many times the listing shows the convergence warning (once per
    time step that ended at the iteration limit)."""
    listing = Path(listing)
    if not listing.is_file():
        return 0
    text = listing.read_text(encoding="utf-8", errors="replace")
    return sum(_WARNING in line for line in text.splitlines())


def summary_row(sweep: Sweep, run: SweepRun, root=".") -> dict:
    """One row of summary.csv: the id, the swept values, the job record and
    the key results read back with :func:`questrand.read_run`."""
    from .grid import listing_name
    from .results import read_run

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
    if result.residuals is not None:
        row["outer_iterations"] = len(result.residuals)
        steps = result.residuals["step"]
        row["steps"] = 0 if result.problem.steady else len(set(steps[~np.isnan(steps)].tolist()))
    row["warning_steps"] = warning_steps(workdir / listing_name(result.problem.runname))
    if result.monitor is not None and len(result.monitor):
        row["final_time"] = repr(float(result.monitor["time"][-1]))
    if result.uptake is not None and len(result.uptake):
        last = result.uptake.last()
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

    from .results import read_run

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
        label = run.id if not run.values else ", ".join(f"{n}={format_value(v)}" for n, v in run.values.items())
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
    top.set_ylabel("amount in the gel (m_gel)")
    bottom.set_ylabel("mean gel concentration (c_gel_mean)" if not probe_only
                      else "gel concentration")
    bottom.set_xlabel("time")
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


# -- the command -----------------------------------------------------------------
def profile_path(name: str) -> str:
    """A --profile argument: an existing path, else a profile of the
    repository's workflow/profiles, else the name as given (Snakemake then
    looks in its own profile folders)."""
    if Path(name).is_dir():
        return str(Path(name).resolve())
    if "/" not in name and (PROFILES_DIR / name).is_dir():
        return str(PROFILES_DIR / name)
    return name


def snakemake_command(outdir: Path, *, cores=None, profile=None, dry_run=False, forcerun=(),
                      snakemake="snakemake") -> list:
    """The snakemake command line of a sweep in ``outdir``."""
    # --ignore-incomplete: this command decides which runs to make again (every
    # run not whole on disk, given with --forcerun); Snakemake's own marks would
    # also rerun a run that finished as it was interrupted.
    command = [snakemake, "--snakefile", str(SNAKEFILE), "--directory", str(outdir),
               "--configfile", str(outdir / CONFIG_FILE), "--keep-going", "--ignore-incomplete"]
    if profile is not None:
        command += ["--profile", profile_path(profile)]
    if cores is not None or profile is None:
        command += ["--cores", str(cores if cores is not None else (os.cpu_count() or 1))]
    if dry_run:
        command += ["--dry-run"]
    if forcerun:
        command += ["--forcerun", *forcerun]
    return command


def add_parser(subparsers):
    """The ``sweep`` command."""
    parser = subparsers.add_parser(
        "sweep", help="run a parameter sweep (Snakemake; local cores or a Slurm cluster)",
        description="Run the base problem once per row of SWEEP.csv (or per combination of "
                    "--grid values), one run directory each, with the Snakemake workflow "
                    "workflow/Snakefile; then write OUTDIR/summary.csv and OUTDIR/uptake.png. "
                    "Finished runs whose problem did not change are not run again.")
    parser.add_argument("problem", metavar="PROB.INP", help="the base problem")
    parser.add_argument("table", metavar="SWEEP.csv", nargs="?",
                        help="one run per row: a header of problem names (u_in, diff_gel, th_gel, "
                             "ni, ...) and an optional id column")
    parser.add_argument("--grid", nargs="+", metavar="NAME=v1,v2",
                        help="sweep every combination of these value lists instead of a CSV")
    parser.add_argument("-o", "--outdir", required=True, help="the sweep's directory")
    parser.add_argument("--cores", type=int, help="cores to use on this machine (default: all; "
                                                  "with --profile, the profile's setting)")
    parser.add_argument("--profile", metavar="NAME|PATH",
                        help="a Snakemake profile: 'slurm' (workflow/profiles/slurm: each run a "
                             "Slurm job), another folder of workflow/profiles, or a path")
    parser.add_argument("--timeout", type=float, help="stop a run after this many seconds "
                                                      "(recorded as failed)")
    parser.add_argument("--program", help="the questrand program (default: $QUESTRAND_PROGRAM, "
                                          "questrand on PATH, the repository build)")
    parser.add_argument("--flow", choices=FLOW_MODES, default="reuse",
                        help="reuse (default): solve the steady flow of a transient problem once per "
                             "distinct flow (cached in OUTDIR/flow-cache) and run only the "
                             "concentration from it; coupled: solve the flow in every time step as "
                             "the input asks. Recorded in the summary's flow column")
    parser.add_argument("--scheme", choices=SCHEMES, default="standard",
                        help="the program's scheme for the concentration (default standard); "
                             "recorded in the summary's scheme column")
    parser.add_argument("--dry-run", action="store_true", help="show what would run, run nothing")
    parser.add_argument("--snakemake-args", metavar="ARGS", default="",
                        help="further snakemake options, as one quoted string")
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    from .runner import find_program

    if (args.table is None) == (args.grid is None):
        raise SweepError("give either SWEEP.csv or --grid NAME=v1,v2,... (one of the two)")
    if args.cores is not None and args.cores < 1:
        raise SweepError(f"--cores: expected a number of cores of at least 1, found {args.cores}")
    if args.timeout is not None and not args.timeout > 0:
        raise SweepError(f"--timeout: expected seconds greater than 0, found {args.timeout:g}")
    program = str(find_program(args.program))
    options = {"program": program, "timeout": args.timeout, "flow": args.flow, "scheme": args.scheme}
    if args.table is not None:
        sweep = Sweep.from_csv(args.problem, args.table, **options)
    else:
        sweep = Sweep.from_grid(args.problem, args.grid, **options)
    snakemake = shutil.which("snakemake")
    if snakemake is None:
        raise SweepError("snakemake not found on PATH: install the Debian package snakemake")

    outdir = Path(args.outdir).resolve()
    outdir.mkdir(parents=True, exist_ok=True)
    try:
        return _sweep(args, sweep, outdir, snakemake)
    except KeyboardInterrupt:
        count = len(finished(sweep, outdir))
        raise interrupts.Interrupted(f"interrupted; {count} of {len(sweep.runs)} runs finished, "
                                     "run the same command to resume") from None


def _sweep(args, sweep: Sweep, outdir: Path, snakemake: str) -> int:
    """Write the configuration, run Snakemake on it and report."""
    import shlex

    config = json.dumps(sweep.to_config(), indent=1) + "\n"
    config_path = outdir / CONFIG_FILE
    if not config_path.is_file() or config_path.read_bytes() != config.encode():
        files.write_text(config_path, config)
    # Every run that is not whole on disk is run (again): a failed run (the record
    # of its failure is not a result to keep), a run never made or interrupted, and
    # a finished run whose directory lost files or changed (Snakemake itself only
    # looks at the records, and not at all once the summary is newer than they are).
    whole = {run.id for run in finished(sweep, outdir)}
    forcerun = []
    for run in sweep.runs:
        if run.id in whole:
            continue
        forcerun.append(f"{run.workdir}/{RECORD_FILE}")
        record = _record_or_none(outdir / run.workdir)
        if record is not None and record.get("status") == "ok":
            print(f"questrand sweep: run {run.id} is not whole on disk "
                  f"({run_fault(run, outdir / run.workdir, record)}): running it again",
                  file=sys.stderr)
    command = snakemake_command(outdir, cores=args.cores, profile=args.profile,
                                dry_run=args.dry_run, forcerun=forcerun, snakemake=snakemake)
    command += shlex.split(args.snakemake_args)
    env = dict(os.environ)
    env.setdefault("USER", _user())
    env.setdefault("PYTHONUTF8", "1")  # file names and texts in UTF-8 whatever the locale
    print(f"questrand sweep: {len(sweep.runs)} runs in {outdir}", file=sys.stderr)
    # snakemake runs in the sweep's directory: Slurm jobs start there (sbatch -D) and
    # write their logs under its .snakemake/slurm_logs.
    process = subprocess.Popen(command, env=env, cwd=outdir)
    try:
        returncode = process.wait()
    except KeyboardInterrupt:
        _stop(process)
        raise
    if args.dry_run:
        return returncode
    rows = _read_summary(outdir / SUMMARY_FILE) if (outdir / SUMMARY_FILE).is_file() else None
    if returncode != 0 or rows is None:
        print(f"questrand sweep: snakemake ended with exit status {returncode}; "
              f"see its log above and {outdir}/.snakemake/log", file=sys.stderr)
        return returncode or 1
    failed = [row for row in rows if row["status"] != "ok"]
    print(f"questrand sweep: {len(rows) - len(failed)} of {len(rows)} runs ok; "
          f"summary {outdir / SUMMARY_FILE}, plot {outdir / PLOT_FILE}", file=sys.stderr)
    for row in failed:
        status = f"exit status {row['exit_status']}" if row["exit_status"] != "" else row["status"]
        print(f"questrand sweep: run {row['id']} failed ({status}): {row['error']}", file=sys.stderr)
    return 1 if failed else 0


def _stop(process, grace=60.0):
    """Stop snakemake as Ctrl-C does (it stops its jobs and keeps its records
    consistent), harder if it does not end within ``grace`` seconds."""
    for signum, wait in ((signal.SIGINT, grace), (signal.SIGTERM, 10.0), (signal.SIGKILL, None)):
        if process.poll() is not None:
            return
        try:
            process.send_signal(signum)
            process.wait(wait)
        except subprocess.TimeoutExpired:
            continue
        except OSError:
            return


def _record_or_none(workdir):
    try:
        return read_record(workdir)
    except OutputFileError:
        return {"status": "unreadable"}


def _read_summary(path) -> list:
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def _user() -> str:
    try:
        import pwd
        return pwd.getpwuid(os.getuid()).pw_name
    except (ImportError, KeyError):
        return "questrand"


__all__ = ["Sweep", "SweepRun", "SweepError", "parse_value", "format_value", "program_check",
           "summary_row", "write_summary", "plot_uptake_comparison", "snakemake_command"]
