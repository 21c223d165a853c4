"""The optional physics input PHYSICS.INP as a Python object.

The program reads PHYSICS.INP beside PROB.INP in the run directory when
the file is there; without it every output is as before.  Layout (UTF-8
text): ``#`` starts a comment that runs to the end of its line, blank lines
are ignored and every other line is ``key = value`` (blanks around either
allowed).  Each key at most once, unknown keys refused:

=================  ==========================  ==============================
key                value                       meaning
=================  ==========================  ==============================
``partition_memb``  real > 0, default 1         membrane/liquid partition
                                               coefficient K_memb
``partition_gel``   real > 0, default 1         gel partition coefficient
``gel_back``        ``closed`` | ``sink``       sink: c = 0 on the gel's back
``rate_gel``        real >= 0 (1/s), default 0  first-order uptake in the gel
``inlet``           a file name                 CSV of ``time,c_in`` rows
``washout_at``      real >= 0 (s)               c_in until then, 0 after
``c0_gel``          real >= 0, default 0        the gel's initial c
``lower_face``      ``symmetry`` | ``wall``     the channel's lower face
=================  ==========================  ==============================

The inlet file (relative to the run directory) holds ``time,c_in`` rows,
an optional header line first, the times increasing from >= 0 and every
c_in >= 0; c_in(t) is piecewise linear between the rows and held before the
first and after the last.  ``washout_at`` and ``inlet`` exclude each other.

The program is the judge of a PHYSICS.INP (``questrand --check`` refuses a
bad one with ``PHYSICS.INP: line N: KEY: expected ..., found ...`` and exit
status 2).  The checks here are kept minimal: they refuse what the rules
above refuse, with the program's own line, so that a sweep or a fit fails
before it starts a program; what a value means, and what a build supports,
is the program's alone.

Where the toolkit writes a PHYSICS.INP it writes the inlet table beside it
as ``INLET.csv`` (:data:`INLET_FILE`), made from the rows whether the inlet
was given as rows or as a file, so the same physics gives the same files.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import re
from pathlib import Path

from . import files
from .errors import ProblemFileError

PHYSICS_FILE = "PHYSICS.INP"
#: The name of the inlet table the toolkit writes beside a PHYSICS.INP.
INLET_FILE = "INLET.csv"
#: The choices of the keys that take a word.
CHOICES = {"gel_back": ("closed", "sink"), "lower_face": ("symmetry", "wall")}
#: The keys whose value is a real number, and the least value each takes
#: (``> 0`` when strict) as (least, strict).
REAL_LIMITS = {"partition_memb": (0.0, True), "partition_gel": (0.0, True), "rate_gel": (0.0, False),
               "washout_at": (0.0, False), "c0_gel": (0.0, False)}
#: The unit of each real (c0_gel has the unit of c_in).
UNITS = {"partition_memb": "", "partition_gel": "", "rate_gel": "1/s", "washout_at": "s", "c0_gel": ""}
_REAL_TEXT = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_HEX_TEXT = re.compile(r"[+-]?0[xX](?:[0-9a-fA-F]+\.?[0-9a-fA-F]*|\.[0-9a-fA-F]+)(?:[pP][+-]?\d+)?")


class PhysicsFileError(ProblemFileError):
    """A PHYSICS.INP (or its inlet table) the program would refuse."""


def _expected_real(key: str) -> str:
    least, strict = REAL_LIMITS[key]
    return f"a number {'greater than' if strict else 'of at least'} {least:g}"


def _found(value) -> str:
    """A value as the program's messages show it: quoted, or ``nothing``."""
    return f"\"{value}\"" if value != "" else "nothing"


def _real(text: str):
    """The real of a value text as the program reads one (decimal or C
    hexadecimal; no nan, inf, digit separators or Fortran exponents), or
    None; a value beyond the double range is None too."""
    if _REAL_TEXT.fullmatch(text):
        value = float(text)
    elif _HEX_TEXT.fullmatch(text):
        value = float.fromhex(text)
    else:
        return None
    return value if math.isfinite(value) else None


def _value_fault(key: str, value) -> str | None:
    """``KEY: expected ..., found ...`` when ``value`` (a text as read, or
    the Python value) is not one ``key`` takes, else None."""
    if key in CHOICES:
        if value not in CHOICES[key]:
            return f"{key}: expected {' or '.join(CHOICES[key])}, found {_found(value)}"
        return None
    number = _real(value) if isinstance(value, str) else value
    least, strict = REAL_LIMITS[key]
    if isinstance(number, bool) or not isinstance(number, (int, float)) or not math.isfinite(number) \
            or number < least or (strict and number == least):
        return f"{key}: expected {_expected_real(key)}, found {_found(value)}"
    return None


def inlet_rows(text: str, name: str = INLET_FILE) -> tuple:
    """The ``(time, c_in)`` rows of an inlet table's text: an optional
    header line first (a first line that is not two numbers), then two
    numbers a row, the times increasing from >= 0 and c_in >= 0; blank
    lines skipped.  Raises :class:`PhysicsFileError` naming the line, as
    the program names it."""
    rows, first = [], True
    for number, cells in files.csv_rows(text):
        if not "".join(cells).strip():
            continue
        values = [_real(cell.strip()) for cell in cells]
        if first and None in values:
            first = False
            continue  # the header line
        first = False
        shown = ",".join(cells)
        if len(values) != 2 or None in values:
            raise PhysicsFileError(f"{name}: line {number}: expected two numbers, time,c_in, "
                                   f"found \"{shown}\"")
        _check_row(name, number, rows, *values, *(cell.strip() for cell in cells))
        rows.append((values[0], values[1]))
    if not rows:
        raise PhysicsFileError(f"{name}: expected at least one row time,c_in, found none")
    return tuple(rows)


def _check_row(name, number, rows, time, c_in, time_text, c_in_text):
    """The checks of one inlet row ``(time, c_in)`` after ``rows``."""
    where = f"{name}: line {number}: " if number is not None else f"{name}: row {len(rows) + 1}: "
    if not (math.isfinite(time) and time >= 0):
        raise PhysicsFileError(f"{where}time: expected a value of at least 0, found {time_text}")
    if rows and not time > rows[-1][0]:
        raise PhysicsFileError(f"{where}time: expected a time after the row before's, found {time_text}")
    if not (math.isfinite(c_in) and c_in >= 0):
        raise PhysicsFileError(f"{where}c_in: expected a value of at least 0, found {c_in_text}")


def inlet_text(rows) -> str:
    """The inlet table of ``rows`` as the toolkit writes it: a header line,
    then ``time,c_in`` with reals that read back to the same numbers."""
    return "time,c_in\n" + "".join(f"{t!r},{c!r}\n" for t, c in rows)


@dataclasses.dataclass(frozen=True)
class Physics:
    """Every value of PHYSICS.INP; a field not given keeps the program's
    default.  ``inlet`` is None, the path of an inlet table, or its rows
    ``[(time, c_in), ...]`` (kept as a tuple); ``washout_at`` None means no
    washout.  The values are checked as the program checks them (see the
    module notes): a bad one raises :class:`ValueError` naming the key."""

    partition_memb: float = 1.0
    partition_gel: float = 1.0
    gel_back: str = "closed"
    rate_gel: float = 0.0
    inlet: object = None
    washout_at: float | None = None
    c0_gel: float = 0.0
    lower_face: str = "symmetry"

    def __post_init__(self):
        for key in KEYS:
            value = getattr(self, key)
            if key == "inlet" or (key == "washout_at" and value is None):
                continue
            fault = _value_fault(key, value)
            if fault:
                raise ValueError(f"Physics.{fault}")
            if key in REAL_LIMITS:
                object.__setattr__(self, key, float(value))
        if isinstance(self.inlet, (str, Path)):
            object.__setattr__(self, "inlet", Path(self.inlet))
        elif self.inlet is not None:
            rows = []
            for row in self.inlet:
                time, c_in = (float(v) for v in row)
                _check_row("Physics.inlet", None, rows, time, c_in, repr(time), repr(c_in))
                rows.append((time, c_in))
            if not rows:
                raise ValueError("Physics.inlet: expected at least one row (time, c_in), found none")
            object.__setattr__(self, "inlet", tuple(rows))
        if self.inlet is not None and self.washout_at is not None:
            raise ValueError("Physics.washout_at: expected no wash-out time together with inlet, found "
                             f"\"{self.washout_at!r}\"")

    # -- values ----------------------------------------------------------------
    @property
    def is_default(self) -> bool:
        """Every value the program's default (the run is then as without the file)."""
        return self == Physics()

    def replace(self, **changes) -> "Physics":
        """A copy with the given keys changed (same checks)."""
        return dataclasses.replace(self, **changes)

    def as_dict(self) -> dict:
        """The keys and their values, in file order."""
        return {key: getattr(self, key) for key in KEYS}

    def inlet_rows(self) -> tuple | None:
        """The inlet's ``(time, c_in)`` rows (its file read when given as a path)."""
        if isinstance(self.inlet, Path):
            return inlet_rows(files.read_text(self.inlet, "inlet table"), str(self.inlet))
        return self.inlet

    # -- the file ----------------------------------------------------------------
    def text(self) -> str:
        """The PHYSICS.INP text: a comment header, then the keys whose value
        is not the default, in file order."""
        lines = ["# PHYSICS.INP: the physics of the run beside PROB.INP; a key not given keeps "
                 "its default", "# (written by the questrand toolkit)"]
        for key, value in self.as_dict().items():
            if value is None or value == default_value(key):
                continue
            shown = INLET_FILE if key == "inlet" else (repr(value) if isinstance(value, float) else value)
            lines.append(f"{key} = {shown}")
        return "\n".join(lines) + "\n"

    def files(self) -> dict:
        """The files of this physics, name -> bytes: PHYSICS.INP and, with
        an inlet, the inlet table :data:`INLET_FILE` made from its rows."""
        out = {PHYSICS_FILE: self.text().encode("utf-8")}
        if self.inlet is not None:
            out[INLET_FILE] = inlet_text(self.inlet_rows()).encode("utf-8")
        return out

    def write(self, directory) -> Path:
        """Write PHYSICS.INP (and the inlet table) in ``directory``, each
        file whole or not at all (:func:`questrand.files.write_bytes`);
        returns the path of PHYSICS.INP."""
        directory = Path(directory)
        for name, data in self.files().items():
            files.write_bytes(directory / name, data)
        return directory / PHYSICS_FILE

    @classmethod
    def read(cls, path) -> "Physics":
        """Read a PHYSICS.INP (``path`` may be its directory); the inlet is
        the path of its table, taken from the file's directory.  Raises
        :class:`PhysicsFileError` with the line the program would report."""
        path = Path(path)
        if path.is_dir():
            path = path / PHYSICS_FILE
        try:
            text = files.read_text(path, "physics input")
        except files.InputFileError as exc:
            raise PhysicsFileError(str(exc)) from None
        return cls.parse(text, directory=path.parent)

    @classmethod
    def parse(cls, text: str, *, directory=None, inputs=None, name: str = PHYSICS_FILE) -> "Physics":
        """The physics of a PHYSICS.INP text (see :meth:`read`).  The inlet
        file is taken from ``inputs`` (name -> bytes, as :meth:`files`
        gives) when it is there, its rows then kept, else from ``directory``."""
        values, first_line = {}, {}
        for number, line in files.lines(text):
            body = line.split("#", 1)[0].strip()
            if not body:
                continue
            key, equals, value = (part.strip() for part in body.partition("="))
            if not equals:
                raise PhysicsFileError(f"{name}: line {number}: expected key = value, found \"{body}\"")
            if key not in KEYS:
                raise PhysicsFileError(f"{name}: line {number}: unknown key \"{key}\", expected one of "
                                       f"{', '.join(KEYS)}")
            if key in first_line:
                raise PhysicsFileError(f"{name}: line {number}: {key}: given twice (first on line "
                                       f"{first_line[key]})")
            fault = None if key == "inlet" else _value_fault(key, value)
            if key == "inlet" and not value:
                fault = "inlet: expected a file name, found nothing"
            if fault:
                raise PhysicsFileError(f"{name}: line {number}: {fault}")
            other = {"inlet": "washout_at", "washout_at": "inlet"}.get(key)
            if other in first_line:
                what = {"inlet": "inlet record", "washout_at": "wash-out time"}[key]
                raise PhysicsFileError(f"{name}: line {number}: {key}: expected no {what} together with "
                                       f"{other} (line {first_line[other]}), found \"{value}\"")
            first_line[key] = number
            values[key] = value if key in CHOICES else _real(value) if key != "inlet" else value
        if "inlet" in values:
            given = values["inlet"]
            if inputs is not None and given in inputs:
                values["inlet"] = inlet_rows(inputs[given].decode("utf-8"), given)
            else:
                path = Path(directory or ".") / given
                try:
                    table = path.read_bytes().decode("utf-8-sig", errors="replace")
                except OSError as exc:
                    raise PhysicsFileError(f"{given}: cannot open the inlet record (time, c_in): "
                                           f"{exc.strerror}") from None
                inlet_rows(table, given)  # checked as the program checks it, named as in PHYSICS.INP
                values["inlet"] = path
        return cls(**values)


#: The keys of PHYSICS.INP, in file order.
KEYS = tuple(f.name for f in dataclasses.fields(Physics))
#: The keys whose value is a number: a fit's, a design's parameters, a sweep's columns.
REAL_KEYS = tuple(key for key in KEYS if key in REAL_LIMITS)


def default_value(key: str):
    """The value ``key`` has when PHYSICS.INP does not give it."""
    return Physics.__dataclass_fields__[key].default


def remove_files(directory) -> None:
    """Remove a PHYSICS.INP and the toolkit's inlet table from ``directory``
    (a run directory of the toolkit whose problem has no physics)."""
    for name in (PHYSICS_FILE, INLET_FILE):
        with contextlib.suppress(FileNotFoundError):
            (Path(directory) / name).unlink()
