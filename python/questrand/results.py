"""Reading the files of a finished run into numpy arrays and pandas tables.

:func:`read_run` collects everything a run directory holds: the problem, the
monitor history, the uptake observables, the residual history of the
listing (pandas DataFrames, float64 columns named as in the files), the
final fields of the save files and the concentration fields of the time
steps (numpy arrays); :meth:`Run.to_xarray` makes of it one xarray Dataset.
"""

from __future__ import annotations

import dataclasses
import re
from pathlib import Path

import numpy as np
import pandas as pd

from .errors import OutputFileError
from .grid import MONITOR_NAMES, Grid, listing_name, stem, uptake_name
from .problem import PROBLEM_FILE, Problem
from .program import CONSOLE_FILE  # noqa: F401  (the console file the toolkit keeps)

MONITOR_FILE = "monitor.dat"
UPTAKE_NAMES = ("time", "m_flow", "m_memb", "m_gel", "c_memb_mean", "c_gel_mean",
                "flux_memb_gel", "c_out", "balance", "c_memb_mid", "c_gel_mid", "c_gel_top")
#: The uptake columns a run with a PHYSICS.INP writes after those: the
#: amount taken out through the gel's sink face and the amount the gel's
#: first-order uptake has consumed, each integrated from the start.
UPTAKE_PHYSICS_NAMES = ("m_sink", "m_reacted")
RESIDUAL_NAMES = ("step", "iter", "res_u", "res_v", "res_mass", "res_t", "res_c",
                  "u", "v", "p", "t", "c")


def _frame(names, rows) -> pd.DataFrame:
    """A table of float64 columns named ``names``, one row per line read."""
    names = list(names)
    return pd.DataFrame(np.asarray(rows, dtype=np.float64).reshape(-1, len(names)), columns=names)


#: Attributes of the field variables of :meth:`Run.to_xarray`.
_FIELD_ATTRS = {"c": {"long_name": "concentration", "units": "unit of c_in"},
                "u": {"long_name": "x velocity at the nodes", "units": "m/s"},
                "v": {"long_name": "y velocity at the nodes", "units": "m/s"},
                "p": {"long_name": "pressure", "units": "Pa"}}


@dataclasses.dataclass
class Fields:
    """Fields at the interior nodes: ``c[j, i]`` is the value at ``(x[i], y[j])``.

    ``u``, ``v`` (velocities interpolated to the nodes), ``p`` and ``c`` are
    ``None`` when the run did not write them.
    """

    x: np.ndarray
    y: np.ndarray
    u: np.ndarray | None = None
    v: np.ndarray | None = None
    p: np.ndarray | None = None
    c: np.ndarray | None = None


@dataclasses.dataclass
class StepField:
    """The concentration field written at one time step (T*.CON)."""

    step: int
    time: float
    path: Path
    fields: Fields


@dataclasses.dataclass
class Run:
    """Everything a run directory holds (``None`` where a file is missing).

    * ``problem``: the :class:`Problem` of PROB.INP;
    * ``grid``: node coordinates, ``grid.layers`` (rows and y extents of the
      channel, membrane and gel) and ``grid.probes`` (the nine monitor probes);
    * ``monitor``: the monitor history of this run (a pandas DataFrame with
      ``time`` and the nine probe columns), ``monitor_histories``: every
      history of monitor.dat, split at its header lines (DataFrames);
    * ``uptake``: the uptake observables of the ``.UPT`` file (a DataFrame);
    * ``residuals``: the iteration lines of the listing (a DataFrame with
      the columns :data:`RESIDUAL_NAMES`);
    * ``final``: the end-of-run fields of the save files;
    * ``steps``: the concentration fields of the time steps, by step number.
    """

    workdir: Path
    problem: Problem
    grid: Grid
    monitor: pd.DataFrame | None
    monitor_histories: list
    uptake: pd.DataFrame | None
    residuals: pd.DataFrame | None
    final: Fields | None
    steps: list
    console: str | None = None
    warned_steps: int = 0
    record: object = None  # the run's questrand.program.RunRecord, when run by questrand.run

    @property
    def last_field(self) -> Fields | None:
        """The latest concentration field: the final one, else the last step's."""
        if self.final is not None and self.final.c is not None:
            return self.final
        return self.steps[-1].fields if self.steps else None

    def file(self, extension: str) -> Path:
        """The path of the end-of-run file with this extension (e.g. ".CON")."""
        return self.workdir / (stem(self.problem.runname) + extension)

    def field_times(self) -> list:
        """``(time, label, Fields)`` for every field time of the run, in order.

        The step fields hold c only; the end-of-run fields (c, and u, v, p when
        the flow was solved) replace the last step's when they share its time.
        ``label`` is the step number in five digits, or "end".
        """
        entries = [(s.time, f"{s.step:05d}", s.fields) for s in self.steps]
        if self.final is not None:
            monitor = self.monitor
            end_time = monitor["time"].iloc[-1] if monitor is not None and len(monitor) else None
            if end_time is None:
                end_time = entries[-1][0] if entries else 0.0
            if entries and entries[-1][0] == end_time:
                entries.pop()
            entries.append((float(end_time), "end", self.final))
        return entries

    def _end_step(self, time: float) -> int:
        """The step number of the end-of-run fields: the listing's last step,
        else the time over ``dt`` (0 in a steady run)."""
        steps = self.residuals["step"].to_numpy() if self.residuals is not None else []
        if len(steps) and np.isfinite(steps[-1]):
            return int(steps[-1])
        return 0 if self.problem.steady else round(time / self.problem.dt)

    def to_xarray(self):
        """The run as one :class:`xarray.Dataset`.

        * ``c`` (and ``u``, ``v``, ``p`` where the run wrote them) over
          ``(time, y, x)`` at every field time (:meth:`field_times`); NaN at a
          time whose files do not hold the field (the step files hold c only);
        * coordinates ``time`` (s) with ``step`` (the step number) along it;
          ``x``, ``y`` (m) with ``column`` and ``row`` (the program's I and J)
          and ``layer`` (channel, membrane or gel) along y, whose attributes
          give each layer's rows (``gel_rows``) and y extent (``gel_y``);
        * ``probe_c`` over ``(monitor_time, probe)``: the monitor history
          (coordinates ``probe_i``, ``probe_j``, ``probe_x``, ``probe_y``);
          each column of the uptake file over ``uptake_time``;
        * attributes: every value of the problem by its PROB.INP name
          (switches as 0 or 1) and the run directory.
        """
        import xarray as xr

        p, entries = self.problem, self.field_times()
        x = entries[0][2].x if entries else self.grid.x_interior
        y = entries[0][2].y if entries else self.grid.y_interior
        layers = {}
        for layer in self.grid.layers:
            layers.update({f"{layer.name}_rows": [layer.j_first, layer.j_last],
                           f"{layer.name}_y": [layer.y_low, layer.y_high]})
        coords = {"time": ("time", np.array([t for t, _, _ in entries], dtype=float), {"units": "s"}),
                  "step": ("time", np.array([int(label) if label != "end" else self._end_step(time)
                                             for time, label, _ in entries], dtype=np.int64)),
                  "x": ("x", x, {"units": "m", "long_name": "x along the channel"}),
                  "y": ("y", y, {"units": "m", "long_name": "y across the layers"}),
                  "column": ("x", np.arange(2, len(x) + 2)), "row": ("y", np.arange(2, len(y) + 2)),
                  "layer": ("y", [self.grid.layer_of_row(j) for j in range(2, len(y) + 2)], layers)}
        data = {}
        for name, attrs in _FIELD_ATTRS.items():
            if any(getattr(f, name) is not None for _, _, f in entries):
                values = np.full((len(entries), len(y), len(x)), np.nan)
                for k, (_, _, fields) in enumerate(entries):
                    if getattr(fields, name) is not None:
                        values[k] = getattr(fields, name)
                data[name] = (("time", "y", "x"), values, attrs)
        if self.monitor is not None:
            names = list(self.monitor.columns[1:])
            probes = {probe.name: probe for probe in self.grid.probes}
            coords["monitor_time"] = ("monitor_time", self.monitor["time"].to_numpy(), {"units": "s"})
            coords["probe"] = ("probe", names)
            if all(name in probes for name in names):
                for what, units in (("i", ""), ("j", ""), ("x", "m"), ("y", "m")):
                    coords[f"probe_{what}"] = ("probe", [getattr(probes[n], what) for n in names],
                                               {"units": units} if units else {})
            data["probe_c"] = (("monitor_time", "probe"), self.monitor[names].to_numpy(),
                               {"long_name": "concentration at the monitor probes"})
        if self.uptake is not None:
            coords["uptake_time"] = ("uptake_time", self.uptake["time"].to_numpy(), {"units": "s"})
            for name in self.uptake.columns[1:]:
                data[f"uptake_{name}" if name in data or name in coords else name] = \
                    ("uptake_time", self.uptake[name].to_numpy(), {"long_name": f"{name} (uptake file)"})
        attrs = {name: int(value) if isinstance(value, bool) else value
                 for name, value in p.as_dict().items()}
        attrs["workdir"] = str(self.workdir)
        return xr.Dataset(data, coords, attrs)


def _recorded_scheme(workdir: Path, runname: str) -> str:
    """The scheme the run record beside a run names (its columns depend on
    it); "standard" without a readable record."""
    import json

    from .program import record_name

    try:
        data = json.loads((workdir / record_name(runname)).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return "standard"
    scheme = data.get("scheme") if isinstance(data, dict) else None
    return scheme if isinstance(scheme, str) else "standard"


def read_run(workdir) -> Run:
    """Read a finished run directory.

    Raises :class:`OutputFileError` for a file that is present but does not
    have the program's layout, and :class:`~questrand.ProblemFileError` when
    the directory has no readable PROB.INP.
    """
    workdir = Path(workdir)
    problem = Problem.read(workdir / PROBLEM_FILE)
    grid = Grid.of(problem, _recorded_scheme(workdir, problem.runname))
    shape = (problem.nj - 2, problem.ni - 2)

    histories = read_monitor(workdir / MONITOR_FILE) if (workdir / MONITOR_FILE).exists() else []
    upt = workdir / uptake_name(problem.runname)
    listing = workdir / listing_name(problem.runname)
    residuals, step_lines = read_listing(listing) if listing.is_file() else (None, [])
    monitor = histories[-1][1] if histories else None
    headed = histories[-1][0] if histories else False
    console = workdir / CONSOLE_FILE

    final = _read_final(workdir, problem, shape)
    steps = []
    for step, path in step_files(workdir):
        x, y, (c,) = read_node_file(path, 1, shape)
        time = _step_time(step, problem, monitor, headed, step_lines)
        steps.append(StepField(step, time, path, Fields(x, y, c=c)))
    return Run(workdir=workdir, problem=problem, grid=grid, monitor=monitor,
               monitor_histories=[table for _, table in histories],
               uptake=read_uptake(upt) if upt.is_file() else None,
               residuals=residuals, final=final, steps=steps,
               console=console.read_text(encoding="utf-8", errors="replace") if console.is_file() else None)


#: The name of a step's concentration file, :func:`questrand.grid.step_stem`
#: and ".CON": "T" and the step in five digits (T00012.CON), from step 100000
#: on every digit of it (T100000.CON).
STEP_FILE = re.compile(r"T(\d{5}|[1-9]\d{5,})\.CON")


def step_files(workdir: Path) -> list:
    """``(step, path)`` of the step concentration files in ``workdir``, by step."""
    found = []
    for path in workdir.glob("T*.CON"):
        match = STEP_FILE.fullmatch(path.name)
        if match:
            found.append((int(match.group(1)), path))
    return sorted(found)


def _read_final(workdir: Path, problem: Problem, shape) -> Fields | None:
    """The end-of-run save files (.VEL, .PRS, .CON) that exist, or None."""
    base = stem(problem.runname)
    found = {}
    coords = None
    for ext, names in ((".VEL", ("u", "v")), (".PRS", ("p",)), (".CON", ("c",))):
        path = workdir / (base + ext)
        if path.is_file():
            x, y, values = read_node_file(path, len(names), shape)
            coords = coords or (x, y)
            found.update(zip(names, values))
    if coords is None:
        return None
    return Fields(coords[0], coords[1], **found)


def _step_time(step, problem, monitor, headed, step_lines) -> float:
    """The time of a step's field file.

    The monitor file holds the exact times, one line per step: the steps this
    run's listing names are the last lines of the latest history; a history
    that began with a header (a run from time zero) has step k on line k.
    Otherwise the step count times ``dt``.
    """
    known = monitor["time"].to_numpy() if monitor is not None else None
    if problem.steady:
        return float(known[-1]) if known is not None and len(known) else 0.0
    if known is not None:
        listed = [s for s, _ in step_lines]
        if step in listed and len(listed) <= len(known):
            return float(known[len(known) - len(listed) + listed.index(step)])
        if headed and 1 <= step <= len(known):
            return float(known[step - 1])
    times = dict(step_lines)
    return times.get(step, step * problem.dt)


# -- single files ------------------------------------------------------------
def _numbers(path: Path, line_no: int, line: str, count: int | None):
    try:
        values = [float(v) for v in line.split()]
    except ValueError:
        values = None
    if values is None or (count is not None and len(values) != count):
        want = f"{count} numbers" if count is not None else "numbers"
        raise OutputFileError(f"{path}: line {line_no}: expected {want}, found {line.strip()[:60]!r}")
    return values


def read_node_file(path, nvalues: int, shape):
    """A field file of ``x y value...`` lines over the interior nodes (rows
    outer, columns inner).  Returns x, y and the ``nvalues`` arrays of shape
    ``shape`` = (rows, columns)."""
    path = Path(path)
    lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
    rows, cols = shape
    if len(lines) != rows * cols:
        raise OutputFileError(f"{path}: expected {rows * cols} lines ({cols} columns by {rows} rows "
                              f"of interior nodes), found {len(lines)}")
    data = np.array([_numbers(path, n, line, 2 + nvalues) for n, line in enumerate(lines, 1)])
    data = data.reshape(rows, cols, 2 + nvalues)
    x, y = data[0, :, 0].copy(), data[:, 0, 1].copy()
    return x, y, [data[:, :, 2 + k].copy() for k in range(nvalues)]


def read_monitor(path):
    """The histories of a monitor file, split at its header lines.

    Returns a list of ``(headed, DataFrame)``: ``headed`` tells whether the
    history began with a header line (a transient run from time zero); data
    lines before any header (a steady run writes none) form a history of
    their own with the program's column names.
    """
    path = Path(path)
    histories = []
    names, rows, headed = MONITOR_NAMES, [], False
    for n, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
        if '"' in line:
            if rows or headed:
                histories.append((headed, _frame(names, rows)))
            names, rows, headed = tuple(re.findall(r'"([^"]*)"', line)), [], True
            if len(names) != len(MONITOR_NAMES):
                raise OutputFileError(f"{path}: line {n}: expected a header of {len(MONITOR_NAMES)} "
                                      f"quoted names, found {len(names)}")
        elif line.strip():
            rows.append(_numbers(path, n, line, len(names)))
    if rows or headed:
        histories.append((headed, _frame(names, rows)))
    return histories


def read_uptake(path) -> pd.DataFrame:
    """The uptake file (CSV, a header line then one line per time step).

    A run that continues an earlier one appends to it: a later header line
    starts a new history unless its first time follows on the previous
    line's time (and the columns are the same: a header with other columns,
    written by another version, always starts a new history).  Returns the
    latest history.  The columns are those of the header: a run with a
    PHYSICS.INP adds :data:`UPTAKE_PHYSICS_NAMES` (``m_sink``,
    ``m_reacted``) at the end, read when present.
    """
    path = Path(path)
    names, histories = None, []
    for n, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
        if not line.strip():
            continue
        cells = tuple(cell.strip() for cell in line.split(","))
        if cells[0] == "time":
            names = cells
            histories.append((names, []))
        elif names is None:
            raise OutputFileError(f"{path}: line {n}: expected the header line 'time,...'")
        else:
            histories[-1][1].append(_numbers(path, n, line.replace(",", " "), len(names)))
    if names is None:
        raise OutputFileError(f"{path}: line 1: expected the header line 'time,...'")
    names, rows = histories[0]
    for later_names, later in histories[1:]:
        continues = later_names == names and rows and later and later[0][0] > rows[-1][0]
        names, rows = later_names, (rows + later if continues else later)
    return _frame(names, rows)


_STEP_LINE = re.compile(r"^ IT=([ \d*]{5})   TIME=(.{10})")
_E103 = r"[ -](?:\d\.\d{3}E[+-]\d\d|\s*(?:NaN|Inf|Infinity|\*+))"
_ITER_LINE = re.compile(rf"^ ([ \d*]{{3}}) {{4}}((?:{_E103}){{5}}) {{3}}((?:{_E103}){{5}})\s*$")


def read_listing(path):
    """The residual history of a listing file.

    Returns ``(DataFrame, step_lines)``: the table has one row per iteration line
    (columns :data:`RESIDUAL_NAMES`; ``step`` is 0 in a steady run, ``iter``
    is NaN where the listing shows asterisks); ``step_lines`` lists
    ``(step, time)`` of the step lines in order (time as printed, 4 digits).
    """
    path = Path(path)
    rows, steps, step = [], [], 0
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        match = _STEP_LINE.match(line)
        if match:
            step = _int_or_nan(match.group(1))
            steps.append((step, float(match.group(2))))
            continue
        match = _ITER_LINE.match(line)
        if match:
            values = [float(line[c:c + 10]) if "*" not in line[c:c + 10] else np.nan
                      for c in (*range(8, 58, 10), *range(61, 111, 10))]
            rows.append([step, _int_or_nan(match.group(1)), *values])
    return _frame(RESIDUAL_NAMES, rows), steps


def _int_or_nan(text: str):
    return np.nan if "*" in text else int(text)
