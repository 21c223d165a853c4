"""The measured curve of a fit: the observables a data file may name, and
the CSV reader (:func:`read_data`)."""

from __future__ import annotations

import dataclasses
import math
import sys
from pathlib import Path

import numpy as np

from ..errors import QuestrandError
from ..files import InputFileError, csv_rows, read_spreadsheet_text
from ..grid import PROBE_NAMES
from ..results import UPTAKE_NAMES, UPTAKE_PHYSICS_NAMES

#: Observable columns a data file may name: the monitor probes and the
#: columns of the uptake file.
UPTAKE_OBSERVABLES = tuple(UPTAKE_NAMES[1:]) + UPTAKE_PHYSICS_NAMES  # the last two: runs with physics
OBSERVABLES = tuple(PROBE_NAMES) + UPTAKE_OBSERVABLES
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
    """A measured curve: ``time``, ``value`` of ``observable``, and ``sigma``
    (each point's standard deviation) or None; ``lines``, the line of the
    file each point stands on (None: line k + 2 for point k)."""

    path: Path
    observable: str
    time: np.ndarray
    value: np.ndarray
    sigma: np.ndarray | None = None
    lines: np.ndarray | None = None

    def line_of(self, k: int) -> int:
        """The line of the file where point ``k`` stands."""
        return int(self.lines[k]) if self.lines is not None else k + 2

    def __len__(self) -> int:
        return len(self.time)


def _stderr_warning(line: str) -> None:
    print(f"warning: {line}", file=sys.stderr)


def read_data(path, observable=None, warn=_stderr_warning) -> Data:
    """Read a measured curve from a CSV file with a header line.

    The file needs a ``time`` column and an observable column (one of
    :data:`OBSERVABLES`); ``observable`` picks one when it has several.  An
    optional ``sigma`` column gives positive standard deviations.  Other
    columns are ignored; blank lines are skipped.  The file is UTF-8 text,
    with or without a byte-order mark, or else Windows-1252 (a spreadsheet's
    CSV, e.g. a unit "°C" in a column the fit ignores), which is said in
    one line to ``warn`` (default: standard error).  Raises
    :class:`FitError` naming the file, the line (as an editor numbers it)
    and what was expected.
    """
    path = Path(path)
    try:
        rows = [(n, row) for n, row in csv_rows(read_spreadsheet_text(path, "data file", warn))
                if row and any(cell.strip() for cell in row)]
    except InputFileError as exc:
        message = str(exc)
        raise FitError(message if message.startswith(f"{path}:") else f"{path}: {message}") from None
    if not rows:
        raise FitError(f"{path}: empty file; expected a header line with 'time' and an observable column")
    header_line, header = rows[0]
    names = [cell.strip().strip('"') for cell in header]
    if "time" not in names:
        raise FitError(f"{path}: line {header_line}: expected a header with a 'time' column, "
                       f"found {','.join(names)[:80]!r}")
    present = [name for name in names if name in OBSERVABLES]
    if observable is not None:
        if observable not in OBSERVABLES:
            raise FitError(f"--observable {observable}: not a column the program writes "
                           f"(probes {', '.join(PROBE_NAMES)}; uptake {', '.join(UPTAKE_OBSERVABLES)})")
        if observable not in names:
            raise FitError(f"{path}: line {header_line}: no column {observable!r} "
                           f"(columns: {', '.join(names)})")
    elif len(present) == 1:
        observable = present[0]
    elif not present:
        raise FitError(f"{path}: line {header_line}: no observable column; expected one of "
                       f"{', '.join(OBSERVABLES)} (columns: {', '.join(names)})")
    else:
        raise FitError(f"{path}: several observable columns ({', '.join(present)}); "
                       "pick one with --observable NAME")
    # the observable's own sigma column, sigma_<observable>, before the shared one
    sigma_name = f"sigma_{observable}" if f"sigma_{observable}" in names else "sigma"
    for name in ("time", observable, sigma_name):
        if names.count(name) > 1:
            raise FitError(f"{path}: line {header_line}: column {name!r} appears twice")
    columns = {"time": names.index("time"), "value": names.index(observable)}
    if sigma_name in names:
        columns["sigma"] = names.index(sigma_name)
    values = {key: [] for key in columns}
    lines = []
    for n, row in rows[1:]:
        lines.append(n)
        for key, col in columns.items():
            label = {"time": "time", "value": observable, "sigma": sigma_name}[key]
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
    return Data(path=path, observable=observable, time=np.array(values["time"]),
                value=np.array(values["value"]),
                sigma=np.array(values["sigma"]) if "sigma" in values else None,
                lines=np.array(lines))



def read_curves(path, warn=_stderr_warning) -> list:
    """Every observable column of a data file as its own :class:`Data`
    (in the order of the header), each with its ``sigma_<observable>``
    column or else the shared ``sigma`` column (:func:`read_data`)."""
    path = Path(path)
    try:
        rows = [row for _, row in csv_rows(read_spreadsheet_text(path, "data file", warn))
                if row and any(cell.strip() for cell in row)]
    except InputFileError:
        return [read_data(path, warn=warn)]  # the reader's own message
    names = [cell.strip().strip('"') for cell in rows[0]] if rows else []
    present = [name for name in dict.fromkeys(names) if name in OBSERVABLES]
    if not present:
        return [read_data(path, warn=warn)]  # says what is missing
    quiet = lambda line: None  # noqa: E731 (the file's encoding is said once, above)
    return [read_data(path, name, warn=quiet) for name in present]
