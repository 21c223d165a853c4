"""The definition of a sweep: its base problem and its runs (from a CSV
table, a grid of value lists or the workflow's configuration), each value
parsed as its problem value's type and every run's problem checked by the
program (``questrand --check``) before anything runs; and the prepared file
that keeps the checked runs (``sweep.prepared.json``), so the workflow reads
them at every parse of the Snakefile without checking again."""

from __future__ import annotations

import concurrent.futures
import dataclasses
import hashlib
import itertools
import json
import math
import os
import re
import subprocess
import tempfile
from pathlib import Path

from .. import files, tables, units
from ..errors import QuestrandError
from ..physics import CHOICES as PHYSICS_CHOICES
from ..physics import PHYSICS_FILE, REAL_KEYS as PHYSICS_REALS
from ..problem import INPUT as PROBLEM_INPUT
from ..problem import PROBLEM_FILE, Problem
from ..program import SCHEMES, find_program, start
from ..runner import FLOW_MODES

RUNS_DIR = "runs"
ID_PATTERN = re.compile(r"[A-Za-z0-9][A-Za-z0-9._=+,-]{0,99}")
#: Snakemake's wildcard constraint for run ids (the same rule as ID_PATTERN).
ID_REGEX = ID_PATTERN.pattern
#: The shared cache of steady flows of a sweep, in its directory.
FLOW_CACHE_DIR = "flow-cache"
#: The sweep's checked runs, in its directory (see :func:`prepared_rows`).
PREPARED_FILE = "sweep.prepared.json"
#: The layout of the prepared file; a file of another layout is prepared again.
PREPARED_FORMAT = 1
#: The values a sweep may set: those of PROB.INP, then the physics keys
#: that take a number or a word (PHYSICS.INP; an inlet table is no cell's value).
_FIELD_TYPES = {**{f.name: f.type for f in dataclasses.fields(Problem)},
                **{name: "float" for name in PHYSICS_REALS}, **{name: "str" for name in PHYSICS_CHOICES},
                # the instrument's flow: a flow rate and a cell width that together set u_in
                "flow_rate": "quantity", "width": "quantity",
                # the second-order start's time step (the program's --start-dt; Problem.start_dt)
                "start_dt": "float"}
_QUANTITY_DIMENSIONS = {"flow_rate": units.VOLUME_FLOW, "width": units.LENGTH}


class SweepError(QuestrandError, ValueError):
    """A sweep that cannot be run: a bad CSV, grid, name or value."""


# -- values ------------------------------------------------------------------
def parse_value(name: str, text: str):
    """The text of a CSV cell or grid value as the type of problem value ``name``.

    Raises ValueError with what was expected.
    """
    kind = _FIELD_TYPES[name]
    text = text.strip()
    if kind == "quantity":  # a number with a unit ("0.5 mL/min"), or SI without one
        try:
            return units.parse_quantity(text, _QUANTITY_DIMENSIONS[name], name)
        except units.UnitError as exc:
            raise ValueError(str(exc)) from None
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
    if _FIELD_TYPES[name] == "quantity":
        return parse_value(name, repr(float(value)))
    try:
        return getattr(Problem(**{name: value}), name)
    except TypeError as exc:
        raise ValueError(str(exc).split(": ", 1)[-1]) from None


def format_value(value) -> str:
    """A problem value as text (reals round-trip exactly, logicals T/F)."""
    if isinstance(value, bool):
        return "T" if value else "F"
    return repr(value) if isinstance(value, float) else str(value)


def program_check(program, data):
    """``questrand --check`` on a PROB.INP given as its bytes (or on the
    input files of a problem, name -> bytes: PROB.INP, PHYSICS.INP and its
    inlet table, :meth:`Problem.input_files`), in a scratch directory: None
    when the program would run it, else the program's one error line
    (``PROB.INP: line N: ...``, ``PHYSICS.INP: line N: KEY: ...``).  The
    program is the one judge of an input: every value, the grid, the
    run-name rules, the physics."""
    inputs = data if isinstance(data, dict) else {PROBLEM_FILE: data}
    with tempfile.TemporaryDirectory(prefix="questrand-check-") as scratch:
        for name, content in inputs.items():
            Path(scratch, name).write_bytes(content)
        try:
            done = start(program, ["-C", scratch, "--check"], timeout=120)
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
_PHYSICS_LINE = re.compile(rf"{re.escape(PHYSICS_FILE)}: line \d+: (\w+):")


def _column_of(error: str, values: dict):
    """The swept value on the line the program's error names, or None."""
    physics = _PHYSICS_LINE.match(error)
    if physics:
        return physics.group(1) if physics.group(1) in values else None
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
    #: the row in messages ("row 2 (line 3)", "run u_in=0.002")
    where: str = dataclasses.field(default="", compare=False, repr=False)

    @property
    def text(self) -> str:
        """The PROB.INP text of this run."""
        return self.problem.text()

    @property
    def inputs(self) -> dict:
        """The run's other input files, name -> text: PHYSICS.INP and its
        inlet table when the run has physics, else none."""
        return _other_inputs(self.problem)

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
    #: where the rows come from, in messages (the CSV file, "--grid", ...)
    source: str = ""

    # -- building ----------------------------------------------------------
    @classmethod
    def from_rows(cls, base_path, rows, names, *, source: str, program=None, timeout=None,
                  flow="reuse", scheme="standard", check=True) -> "Sweep":
        """A sweep of ``rows``: ``(where, id or None, {name: value})`` with
        ``where`` naming the row in messages.  Checks the ids and values and,
        with ``check``, every run's problem with the program (:meth:`check`)
        before anything runs; raises :class:`SweepError` naming the row and
        the column, with the program's error line."""
        base_path = Path(base_path)
        base = Problem.read(base_path)
        runs, seen = [], {}
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
            runs.append(SweepRun(run_id, dict(values), problem, where))
        if not runs:
            raise SweepError(f"{source}: no runs (expected at least one row of values)")
        if flow not in FLOW_MODES:
            raise SweepError(f"{source}: flow: expected one of {', '.join(FLOW_MODES)}, found {flow!r}")
        if scheme not in SCHEMES:
            raise SweepError(f"{source}: scheme: expected one of {', '.join(SCHEMES)}, found {scheme!r}")
        sweep = cls(base_path.resolve(), base, list(names), runs, program, timeout, flow, scheme, source)
        if check:
            sweep.check(base_label=base_path)
        return sweep

    def check(self, base_label=None) -> None:
        """Every run's problem judged by the program (``questrand --check``,
        see :func:`program_check`), once per distinct problem text and
        several at a time (one per core).  The base problem is judged only
        when a run is refused, to name the base file when the fault is its
        own; so a sweep of N runs costs at most N checks when it is good.
        Raises :class:`SweepError` for the first run refused, naming its row
        and the swept column on the program's error line."""

        checker = str(find_program(self.program))
        inputs = {run.problem.identity(): run.problem.input_files() for run in self.runs}
        problems = list(inputs)
        workers = max(1, min(len(problems), len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                             else os.cpu_count() or 1))
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            judged = dict(zip(problems, pool.map(lambda key: program_check(checker, inputs[key]), problems)))
        for run in self.runs:
            error = judged[run.problem.identity()]
            if not error:
                continue
            base_files = {**self.base.input_files(), PROBLEM_FILE: self.base_path.read_bytes()}
            base_error = program_check(checker, base_files)
            if base_error:
                where = base_label or self.base_path
                if base_error.startswith(PHYSICS_FILE):  # the base's own PHYSICS.INP
                    where = Path(where).parent / PHYSICS_FILE
                    base_error = base_error.removeprefix(f"{PHYSICS_FILE}: ")
                raise SweepError(f"{where}: {base_error.removeprefix('PROB.INP: ')}")
            column = _column_of(error, run.values)
            raise SweepError(f"{self.source}: {run.where}{f', column {column}' if column else ''}: {error}")

    @classmethod
    def from_csv(cls, base_path, csv_path, **options) -> "Sweep":
        """A sweep of the rows of a CSV file: a header of problem names and
        an optional ``id`` column, then one row per run.  An empty cell keeps
        the base value; blank lines and lines starting with ``#`` are skipped."""
        csv_path = Path(csv_path)
        try:
            table = tables.read_table(csv_path, "sweep table")
        except files.InputFileError as exc:
            raise SweepError(str(exc)) from None
        if not table:
            raise SweepError(f"{csv_path}: expected a header line of problem names, found an empty file")
        lines, records = [(n, None) for n, _ in table], [cells for _, cells in table]
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
            # a value with a unit ("0.5 mL/min") gives an id without blanks or slashes: 0.5mL_per_min
            run_id = "__".join(f"{n}={text.replace(' ', '').replace('/', '_per_')}"
                               for n, (text, _) in zip(names, combo))
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
    def from_config(cls, config: dict, check=True) -> "Sweep":
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
                   "flow": config.get("flow", "reuse"), "scheme": config.get("scheme", "standard"),
                   "check": check}
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

    # -- the prepared file ----------------------------------------------------
    def to_prepared(self, key: str) -> dict:
        """The checked sweep as the prepared file's contents (JSON-ready):
        its key (:func:`definition_key`), the settings of its jobs and one
        entry per run, its id, directory, values and whole PROB.INP text."""
        return {"format": PREPARED_FORMAT, "key": key, "problem": str(self.base_path),
                "base_text": self.base.text(), "names": list(self.names),
                **({"base_inputs": _other_inputs(self.base)} if self.base.physics is not None else {}),
                "program": str(self.program) if self.program is not None else None,
                "timeout": self.timeout, "flow": self.flow, "scheme": self.scheme,
                "source": self.source,
                "runs": [{"id": run.id, "dir": run.workdir, "where": run.where,
                          "values": dict(run.values), "text": run.text,
                          **({"inputs": run.inputs} if run.problem.physics is not None else {}),
                          **({"start_dt": run.problem.start_dt} if run.problem.start_dt is not None else {})}
                         for run in self.runs]}

    @classmethod
    def from_prepared(cls, prepared: dict) -> "Sweep":
        """The sweep of a prepared file's contents, as it was checked (no
        check again): each run's problem is its stored PROB.INP text and
        the texts of its physics files."""
        runs = [SweepRun(row["id"], dict(row["values"]), _row_problem(row), row.get("where", ""))
                for row in prepared["runs"]]
        base = _row_problem({"text": prepared["base_text"], "inputs": prepared.get("base_inputs")})
        return cls(Path(prepared["problem"]), base, list(prepared["names"]),
                   runs, prepared["program"], prepared["timeout"], prepared["flow"], prepared["scheme"],
                   prepared.get("source", ""))


def inputs_option(row: dict) -> str:
    """The run job's option that passes a prepared row's physics files
    (`` --inputs JSON``, shell-quoted), or "" when it has none."""
    import shlex
    return f" --inputs {shlex.quote(json.dumps(row['inputs']))}" if row.get("inputs") else ""


def start_dt_option(row: dict) -> str:
    """The run job's option that passes a prepared row's start time step
    (`` --start-dt SECONDS``), or "" when it has none."""
    return f" --start-dt {float(row['start_dt'])!r}" if row.get("start_dt") is not None else ""


def _other_inputs(problem: Problem) -> dict:
    """A problem's input files but PROB.INP, name -> text."""
    return {name: data.decode("utf-8") for name, data in problem.input_files().items() if name != PROBLEM_FILE}


def _row_problem(row: dict) -> Problem:
    """The problem of a prepared row: its PROB.INP text, with its physics
    files and its start time step."""
    if row.get("inputs"):
        problem = Problem.from_files({PROBLEM_FILE: row["text"], **row["inputs"]})
    else:
        problem = Problem.parse(row["text"])
    problem.start_dt = row.get("start_dt")
    return problem


# -- the prepared file: the sweep checked once --------------------------------
def definition_key(config: dict) -> str:
    """The key of the sweep a workflow configuration defines: SHA-256 over
    the configuration (keys sorted), the bytes of the files it names (the
    base problem and the table; a relative path from the working directory,
    as :meth:`Sweep.from_config` reads it), the program that judges the
    problems (its path) and the toolkit's problem writer.  Equal keys: the
    same runs with the same problem texts, so the checks stand."""

    digest = hashlib.sha256()

    def part(label: str, data: bytes):
        digest.update(f"{label}:{len(data)}:".encode() + data)

    part("format", str(PREPARED_FORMAT).encode())
    part("config", json.dumps(config, sort_keys=True, default=str).encode())
    for name in ("problem", "table"):
        if isinstance(config.get(name), (str, os.PathLike)):
            try:
                part(name, Path(config[name]).read_bytes())
            except OSError as exc:  # preparing names the fault
                part(name, f"unreadable: {exc.strerror}".encode())
    if isinstance(config.get("problem"), (str, os.PathLike)):  # the base's physics beside it
        part("physics", _physics_bytes(Path(config["problem"]).parent))
    try:
        part("program", str(find_program(config.get("program"))).encode())
    except FileNotFoundError as exc:
        part("program", f"none: {exc}".encode())
    for module in ("problem.py", "input_format.py", "physics.py"):  # how a problem becomes its files
        part(module, (Path(__file__).resolve().parents[1] / module).read_bytes())
    return digest.hexdigest()


def _physics_bytes(directory: Path) -> bytes:
    """The bytes of the PHYSICS.INP in ``directory`` and of the inlet table
    it names (empty without one; what cannot be read named instead)."""
    from ..physics import Physics, PhysicsFileError

    path = directory / PHYSICS_FILE
    if not path.is_file():
        return b""
    try:
        return b"\0".join(Physics.read(path).files().values())
    except (PhysicsFileError, OSError) as exc:  # preparing names the fault
        return f"unreadable: {exc}".encode()


def read_prepared(root=".", key=None) -> dict | None:
    """The contents of the prepared file in the sweep's directory ``root``,
    or None when there is none, it cannot be read, it is of another layout
    or (with ``key``) it was prepared from another definition."""
    try:
        prepared = json.loads((Path(root) / PREPARED_FILE).read_bytes())
    except (OSError, ValueError):
        return None
    if not isinstance(prepared, dict) or prepared.get("format") != PREPARED_FORMAT \
            or not isinstance(prepared.get("runs"), list):
        return None
    if key is not None and prepared.get("key") != key:
        return None
    return prepared


def write_prepared(sweep: Sweep, key: str, root=".") -> dict:
    """Write the checked sweep as the prepared file of the sweep's directory
    ``root`` (whole or not at all: a partial file renamed); returns its contents."""
    prepared = sweep.to_prepared(key)
    files.write_text(Path(root) / PREPARED_FILE, json.dumps(prepared, indent=0) + "\n")
    return prepared


def prepared_rows(config: dict, root=".") -> dict:
    """The prepared rows of the sweep a workflow configuration defines:
    the prepared file in ``root`` when its key is the definition's, else the
    sweep built and checked now (one ``questrand --check`` per distinct run
    problem) and written as the prepared file.  This is what the Snakefile
    reads at every parse: with the file prepared, a parse runs no program.
    Raises :class:`SweepError` when the sweep cannot be made."""
    key = definition_key(config)
    prepared = read_prepared(root, key)
    if prepared is None:
        prepared = write_prepared(Sweep.from_config(config), key, root)
    return prepared


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
