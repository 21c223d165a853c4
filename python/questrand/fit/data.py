"""The measured curve of a fit: the observables a data file may name, and
the CSV reader (:func:`read_data`)."""

from __future__ import annotations

import dataclasses
import math
import sys
from pathlib import Path

import numpy as np

from ..errors import QuestrandError
from .. import tables, units
from ..files import InputFileError
from ..grid import PROBE_NAMES
from ..profile import PROFILE_OBSERVABLE
from ..results import UPTAKE_NAMES, UPTAKE_PHYSICS_NAMES

#: Observable columns a data file may name: the monitor probes and the
#: columns of the uptake file.
UPTAKE_OBSERVABLES = tuple(UPTAKE_NAMES[1:]) + UPTAKE_PHYSICS_NAMES  # the last two: runs with physics
#: ... and the gel's profile at the run's end, against depth (questrand.profile)
OBSERVABLES = tuple(PROBE_NAMES) + UPTAKE_OBSERVABLES + (PROFILE_OBSERVABLE,)
#: Default bounds: within this factor of the start value either way.
DEFAULT_DECADES = 4
#: Default relative change of a parameter for the finite-difference Jacobian.
DEFAULT_STEP = 0.01
#: A parameter is refused as flat when a change of its logarithm by 1 would
#: move the model curve by less than this fraction of the curve's size.
FLAT_TOLERANCE = 1e-3


class FitError(QuestrandError, ValueError):
    """A fit that cannot be made; the message says why in one line."""


# -- the measured curve -------------------------------------------------------
@dataclasses.dataclass
class Data:
    """A measured curve: ``time`` (s), ``value`` of ``observable`` (in the
    model's units: a concentration in units of the problem's c_in), and
    ``sigma`` (each point's standard deviation, same units) or None;
    ``lines``, the line of the file each point stands on (None: line k + 2
    for point k).  ``time_unit``/``value_unit`` are the units the file gave
    them in, and ``time_per_unit``/``value_per_unit`` the model's amount in
    one of them (a figure shows the data as the file had them)."""

    path: Path
    observable: str
    time: np.ndarray
    value: np.ndarray
    sigma: np.ndarray | None = None
    lines: np.ndarray | None = None
    time_unit: str = "s"
    value_unit: str | None = None
    time_per_unit: float = 1.0
    value_per_unit: float = 1.0
    column: str | None = None
    #: "time", or "depth" for the gel's end profile (c_gel_profile): then
    #: ``time`` holds the depths below the gel's face (m) and ``time_unit``
    #: their unit in the file
    axis: str = "time"

    def line_of(self, k: int) -> int:
        """The line of the file where point ``k`` stands."""
        return int(self.lines[k]) if self.lines is not None else k + 2

    def __len__(self) -> int:
        return len(self.time)


def _stderr_warning(line: str) -> None:
    print(f"warning: {line}", file=sys.stderr)


def is_concentration_observable(name: str) -> bool:
    """A probe C(...) or an uptake column c_...: a concentration, in units
    of the problem's c_in."""
    return name.startswith("C(") or name.startswith("c_")


def parse_observable_map(text):
    """``--observable`` as ``(column, observable)``: ``"Outlet conc.=c_out"``
    names the file's column and the model's observable; a plain name is
    both (None: not given)."""
    if text is None:
        return None, None
    column, sep, observable = text.rpartition("=")
    if not sep:
        return None, text.strip()
    return column.strip(), observable.strip()


def concentration_per_unit(unit: str, problem_c_in: float, c_in=None, where: str = "") -> float:
    """The model's concentration (units of the problem's c_in) of one
    ``unit`` of the data.  ``[%]`` is a percentage of c_in:
    ``problem_c_in / 100``.  An absolute unit (mg/L, ug/L, mol/m3, ...)
    needs what the problem's c_in stands for, ``c_in`` (e.g. "10 mg/L"):
        c_model = c_data · (unit / c_in) · problem_c_in."""
    if unit == units.PERCENT_OF_C_IN:
        return problem_c_in / 100.0
    if unit in ("1", "-", ""):
        return 1.0
    if not units.is_concentration(unit):
        raise FitError(f"{where}unit {unit!r}: expected a concentration (mg/L, ug/L, mol/m3, ...) "
                       "or % (of c_in)")
    if c_in is None:
        raise FitError(f"{where}a concentration in {unit} needs the inlet concentration with its "
                       f"unit: give --c-in, e.g. --c-in \"{problem_c_in:g} {unit}\" when the problem's "
                       f"c_in = {problem_c_in:g} is in {unit}")
    number, c_in_unit = _quantity_parts(c_in)
    try:
        one_unit_in_c_in = units.convert(1.0, unit, c_in_unit) / number
    except units.UnitError as exc:
        raise FitError(f"{where}{exc}") from None
    return one_unit_in_c_in * problem_c_in


def _quantity_parts(text: str):
    """``"10 mg/L"`` as ``(10.0, "mg/L")``."""
    cells = str(text).strip().split(None, 1)
    try:
        number = float(cells[0])
    except (ValueError, IndexError):
        number = math.nan
    if len(cells) != 2 or not (math.isfinite(number) and number > 0):
        raise FitError(f"--c-in {text}: expected a positive concentration with its unit, e.g. 10 mg/L")
    units.parse_unit(cells[1])
    return number, cells[1].strip()


def read_data(path, observable=None, warn=_stderr_warning, time_unit=None, conc_unit=None,
              c_in=None, problem_c_in: float = 1.0) -> Data:
    """Read a measured curve from a CSV file with a header line.

    The file is read by the toolkit's one table rule
    (:func:`questrand.tables.read_table`): ``#`` comment lines and blank
    lines skipped.  A header cell may carry a unit in brackets, ``Time
    [min]``, ``Outlet conc. [mg/L]``.  The file needs a time column (named
    ``time``, any case) and an observable column (one of
    :data:`OBSERVABLES`); ``observable`` picks one when it has several, or
    maps a column of another name to an observable, ``"Outlet
    conc.=c_out"``.  An optional ``sigma`` column gives positive standard
    deviations (in the observable's unit).  Other columns are ignored.

    Units: the time is converted to seconds (``time_unit`` overrides the
    header's; none: seconds).  A concentration observable is converted to
    units of the problem's c_in (``problem_c_in``): ``%`` of c_in needs
    nothing more, an absolute unit (``conc_unit`` overrides the header's)
    needs ``c_in``, what the problem's c_in stands for ("10 mg/L").

    The file is UTF-8 text, with or without a byte-order mark, or else
    Windows-1252 (a spreadsheet's CSV), which is said in one line to
    ``warn`` (default: standard error).  Raises :class:`FitError` naming
    the file, the line (as an editor numbers it) and what was expected.
    """
    path = Path(path)
    try:
        rows = tables.read_table(path, "data file", warn, spreadsheet=True)
    except InputFileError as exc:
        message = str(exc)
        raise FitError(message if message.startswith(f"{path}:") else f"{path}: {message}") from None
    if not rows:
        raise FitError(f"{path}: empty file; expected a header line with 'time' and an observable column")
    header_line, header = rows[0]
    cells = [cell.strip().strip('"') for cell in header]
    split = [units.split_header(cell) for cell in cells]
    names = [name for name, _ in split]
    column_unit = [unit for _, unit in split]
    time_names = [k for k, name in enumerate(names) if name.lower() == "time"]
    axis = "time"
    if not time_names:
        time_names = [k for k, name in enumerate(names) if name.lower() == "depth"]
        axis = "depth"
    if not time_names:
        raise FitError(f"{path}: line {header_line}: expected a header with a 'time' column (or 'depth' "
                       f"for the gel's end profile {PROFILE_OBSERVABLE}), found {','.join(cells)[:80]!r}")
    column, observable = parse_observable_map(observable)
    present = [name for name in names if name in OBSERVABLES]
    if observable is not None:
        if observable not in OBSERVABLES:
            raise FitError(f"--observable {observable}: not a column the program writes "
                           f"(probes {', '.join(PROBE_NAMES)}; uptake {', '.join(UPTAKE_OBSERVABLES)})")
        column = observable if column is None else column
        if column not in names and column not in cells:
            raise FitError(f"{path}: line {header_line}: no column {column!r} "
                           f"(columns: {', '.join(cells)})")
    elif len(present) == 1:
        observable = column = present[0]
    elif not present:
        raise FitError(f"{path}: line {header_line}: no observable column; expected one of "
                       f"{', '.join(OBSERVABLES)}, or name yours with --observable \"COLUMN=c_out\" "
                       f"(columns: {', '.join(cells)})")
    else:
        raise FitError(f"{path}: several observable columns ({', '.join(present)}); "
                       "pick one with --observable NAME")
    if (axis == "depth") != (observable == PROFILE_OBSERVABLE):
        raise FitError(f"{path}: line {header_line}: " + (
            f"{PROFILE_OBSERVABLE} (the gel's profile at the run's end) is given against a 'depth' "
            "column, not against time" if axis == "time" else
            f"a 'depth' column goes with the gel's end profile {PROFILE_OBSERVABLE}, not with {observable}"))
    # the observable's own sigma column, sigma_<observable>, before the shared one
    sigma_name = f"sigma_{observable}" if f"sigma_{observable}" in names else "sigma"
    value_col = cells.index(column) if column in cells else names.index(column)
    for label, count in ((axis, len(time_names)), (column, names.count(names[value_col])),
                         (sigma_name, names.count(sigma_name))):
        if count > 1:
            raise FitError(f"{path}: line {header_line}: column {label!r} appears twice")
    columns = {"time": time_names[0], "value": value_col}
    if sigma_name in names:
        columns["sigma"] = names.index(sigma_name)
    # units: the file's (or the options'), and the model's amount in one of them
    where = f"{path}: line {header_line}: "
    if axis == "depth":
        t_unit = column_unit[columns["time"]] or "m"
    else:
        t_unit = time_unit or column_unit[columns["time"]] or "s"
    try:
        time_per_unit = units.to_si(1.0, t_unit, units.TIME if axis == "time" else units.LENGTH, axis)
    except units.UnitError as exc:
        raise FitError(f"{where}{exc}") from None
    v_unit = conc_unit or column_unit[value_col]
    value_per_unit = 1.0
    if v_unit is not None:
        if not is_concentration_observable(observable):
            if v_unit not in ("1", "-"):
                raise FitError(f"{where}column {column!r}: a unit {v_unit!r} on {observable}, which "
                               "is in the program's own units; give it without a unit")
        else:
            value_per_unit = concentration_per_unit(v_unit, problem_c_in, c_in, where)
    labels = {"time": cells[columns["time"]], "value": column, "sigma": sigma_name}
    values = {key: [] for key in columns}
    lines = []
    for n, row in rows[1:]:
        lines.append(n)
        for key, col in columns.items():
            label = labels[key]
            cell = row[col].strip() if col < len(row) else ""
            try:
                number = float(cell)
            except ValueError:
                number = math.nan
            if not math.isfinite(number):
                raise FitError(f"{path}: line {n}: column {label!r}: expected a finite number, "
                               f"found {cell!r}")
            if key == "sigma" and number <= 0:
                raise FitError(f"{path}: line {n}: column {sigma_name!r}: expected a positive standard "
                               f"deviation, found {cell!r}")
            values[key].append(number)
    if not values["time"]:
        raise FitError(f"{path}: no data lines after the header")
    return Data(path=path, observable=observable, time=np.array(values["time"]) * time_per_unit,
                value=np.array(values["value"]) * value_per_unit,
                sigma=np.array(values["sigma"]) * value_per_unit if "sigma" in values else None,
                lines=np.array(lines), time_unit=t_unit, value_unit=v_unit,
                time_per_unit=time_per_unit, value_per_unit=value_per_unit, column=column, axis=axis)


def read_curves(path, warn=_stderr_warning) -> list:
    """Every observable column of a data file as its own :class:`Data`
    (in the order of the header), each with its ``sigma_<observable>``
    column or else the shared ``sigma`` column (:func:`read_data`)."""
    path = Path(path)
    try:
        rows = [row for _, row in tables.read_table(path, "data file", warn, spreadsheet=True)]
    except InputFileError:
        return [read_data(path, warn=warn)]  # the reader's own message
    names = [units.split_header(cell.strip().strip('"'))[0] for cell in rows[0]] if rows else []
    present = [name for name in dict.fromkeys(names) if name in OBSERVABLES]
    if not present:
        return [read_data(path, warn=warn)]  # says what is missing
    quiet = lambda line: None  # noqa: E731 (the file's encoding is said once, above)
    return [read_data(path, name, warn=quiet) for name in present]
