"""The problem input PROB.INP as a Python object.

A :class:`Problem` holds every value of PROB.INP under the program's own
names.  :meth:`Problem.read` follows the program's reading rules exactly, and
:meth:`Problem.write` writes a commented 64-line file that the program reads
back to the same values.

Reading rules (those of the program):

* the file is a fixed sequence of reads; each read starts on the next line
  not yet consumed;
* a *skip* read consumes a fixed number of lines, whatever they hold;
* an *empty* read consumes exactly one line (a label);
* a *list* read takes its values separated by blanks, tabs, commas or
  semicolons, continues onto further lines until every value is read and
  then ignores the rest of its last line (room for a comment).  ``r*value``
  repeats a value r times; a comma after a comma (or at the start), ``r*``
  alone and a slash leave values unchanged (they keep the program's
  defaults);
* the run name is the first 12 bytes of its line, leading blanks kept: UTF-8
  text that the rule in ``run_name_rule.txt`` (the program's own) accepts.
  The file is read as bytes, as the program reads it.
"""

from __future__ import annotations

import dataclasses
import math
import numbers
import re
from fractions import Fraction
from pathlib import Path

import numpy as np

from . import files
from .errors import ProblemFileError

PROBLEM_FILE = "PROB.INP"
RUNNAME_WIDTH = 12
_INT32 = (-(2**31), 2**31 - 1)


@dataclasses.dataclass(init=False, eq=True, repr=True)
class Problem:
    """Every value of PROB.INP, by the program's names.

    Construct with keywords only, e.g. ``Problem(chlength=0.02, ni=22, ...)``;
    a field not given keeps the value the program itself starts from (the
    value a null entry in PROB.INP leaves).  Unknown names and values of the
    wrong type raise :class:`TypeError` naming the field.  Reals are Python
    floats (the program keeps them in single precision), counts ints,
    switches bools and ``runname`` a text of at most 12 bytes in UTF-8 that
    the program accepts as a run name (:func:`run_name_fault`).
    """

    # geometry
    chlength: float = 0.0
    halfgap: float = 0.0
    th_memb: float = 0.0
    th_gel: float = 0.0
    # inlet
    u_in: float = 0.0
    parabolic: bool = False
    spare: float = 0.0
    c_in: float = 0.0
    # fluid and species
    density: float = 0.0
    viscosity: float = 0.0
    diff_flow: float = 0.0
    diff_memb: float = 0.0
    diff_gel: float = 0.0
    # grid
    ni: int = 3
    n_flow: int = 0
    n_memb: int = 0
    n_gel: int = 0
    # time stepping
    steady: bool = True
    nsteps: int = 1
    dt: float = 1.0
    # equations: solve_u switches the flow (u, v, pressure), solve_c the concentration
    solve_u: bool = False
    solve_c: bool = False
    # iteration control
    maxit: int = 1
    convtol: float = 1.0e-6
    # under-relaxation
    relax_u: float = 1.0
    relax_p: float = 1.0
    relax_c: float = 1.0
    # linear solvers (1 line-by-line, 2 whole-field)
    solver_u: int = 1
    solver_p: int = 1
    solver_c: int = 1
    # output
    imon: int = 2
    jmon: int = 2
    prt_step: int = 1
    runname: str = "RESULT."
    restart_out: bool = False
    restart_in: bool = False

    def __init__(self, **values):
        known = {f.name: f for f in dataclasses.fields(self)}
        for name in values:
            if name not in known:
                raise TypeError(f"Problem: unknown field {name!r} (known fields: {', '.join(known)})")
        for name, field in known.items():
            value = values.get(name, field.default)
            object.__setattr__(self, name, _checked(name, field.type, value))

    def __setattr__(self, name, value):
        known = {f.name: f.type for f in dataclasses.fields(self)}
        if name not in known:
            raise TypeError(f"Problem: unknown field {name!r}")
        object.__setattr__(self, name, _checked(name, known[name], value))

    # -- derived quantities ------------------------------------------------
    @property
    def nj(self) -> int:
        """Number of grid rows: the three layers plus two mirror rows."""
        return self.n_flow + self.n_memb + self.n_gel + 2

    def replace(self, **changes) -> "Problem":
        """A copy with the given fields changed (same checks as the constructor)."""
        return Problem(**{**self.as_dict(), **changes})

    def as_dict(self) -> dict:
        """The fields as a plain dict, in file order."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}

    # -- file input/output -------------------------------------------------
    @classmethod
    def read(cls, path) -> "Problem":
        """Parse a PROB.INP file with the program's reading rules.

        Raises :class:`ProblemFileError` naming the file, the line and the
        value that is missing or cannot be read.
        """
        path = Path(path)
        if path.is_dir():
            path = path / PROBLEM_FILE
        try:
            data = path.read_bytes()
        except OSError as exc:
            raise ProblemFileError(f"{path}: cannot read the problem input: {exc.strerror}") from None
        return cls.parse(data, name=str(path))

    @classmethod
    def parse(cls, text, name: str = PROBLEM_FILE) -> "Problem":
        """Parse a PROB.INP given as its bytes or its text (see :meth:`read`).

        The program reads bytes, and so does this: columns count bytes, and
        the run name is the first 12 bytes of its line, read as UTF-8 text
        (see :func:`run_name_fault`)."""
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
        reader = _LineReader(data.decode("latin-1"), name)  # one character per byte
        values = {}
        for entry in _LAYOUT:
            kind = entry[0]
            if kind == "skip":
                reader.skip(len(entry[1]), entry[1][0])
            elif kind == "label":
                reader.skip(1, entry[1])
            elif kind == "text":
                raw = reader.text(RUNNAME_WIDTH, _DESCRIPTION[entry[1]]).encode("latin-1")
                fault = run_name_fault(raw)
                if fault:
                    raise ProblemFileError(f"{name}: line {reader.line_no}: {_DESCRIPTION[entry[1]]}: "
                                           f"expected {fault}, found \"{_shown(raw.rstrip(b' '))}\"")
                values[entry[1]] = raw.rstrip(b" ").decode("utf-8")
            else:
                values.update(reader.values(entry[1]))
        try:
            return cls(**values)
        except TypeError as exc:
            raise ProblemFileError(f"{name}: {exc}") from None

    def data(self) -> bytes:
        """The PROB.INP file of this problem as bytes (UTF-8)."""
        return self.text().encode("utf-8")

    def text(self) -> str:
        """The commented 64-line PROB.INP text of this problem."""
        lines = []
        for entry in _LAYOUT:
            kind = entry[0]
            if kind == "skip":
                lines.extend(entry[1])
            elif kind == "label":
                lines.append(entry[1])
            elif kind == "text":
                lines.append(getattr(self, entry[1]))
            else:
                shown = "  ".join(_format_value(getattr(self, name)) for name in entry[1])
                lines.append(f"{shown:<40s}  {' '.join(entry[1])}")
        return "\n".join(lines) + "\n"

    def write(self, path) -> Path:
        """Write the problem as a commented 64-line PROB.INP.

        ``path`` may be a directory (the file is then ``PROB.INP`` in it).
        Returns the path written.
        """
        path = Path(path)
        if path.is_dir():
            path = path / PROBLEM_FILE
        return files.write_bytes(path, self.data())


# -- the file layout -------------------------------------------------------
# Each entry is one read of the program, in order:
#   ("skip", [lines...])   lines consumed whatever they hold (written as given)
#   ("label", line)        one line consumed whatever it holds
#   ("values", [names])    a list read of these fields
#   ("text", name)         the run name, first 12 bytes of its line
_LAYOUT = [
    ("skip", ["QUESTRAND DIFFUSION INSTRUMENT - PROBLEM INPUT",
              "written by the questrand Python toolkit",
              "-----------------------------------------"]),
    ("skip", ["GEOMETRY", "channel length, half-gap, membrane thickness, gel thickness"]),
    ("values", ["chlength", "halfgap", "th_memb", "th_gel"]),
    ("label", "inlet velocity (centreline value when parabolic)"),
    ("values", ["u_in"]),
    ("label", "parabolic start profile (T/F)"),
    ("values", ["parabolic"]),
    ("label", "spare value (not used)"),
    ("values", ["spare"]),
    ("label", "inlet concentration"),
    ("values", ["c_in"]),
    ("skip", ["FLUID AND SPECIES", "fluid density"]),
    ("values", ["density"]),
    ("label", "fluid viscosity"),
    ("values", ["viscosity"]),
    ("label", "diffusivity in channel, membrane, gel"),
    ("values", ["diff_flow", "diff_memb", "diff_gel"]),
    ("skip", ["GRID", "number of grid columns"]),
    ("values", ["ni"]),
    ("label", "cell rows across channel, membrane, gel"),
    ("values", ["n_flow", "n_memb", "n_gel"]),
    ("skip", ["TIME STEPPING", "steady state (T/F)"]),
    ("values", ["steady"]),
    ("label", "number of the last time step"),
    ("values", ["nsteps"]),
    ("label", "time-step size"),
    ("values", ["dt"]),
    ("skip", ["EQUATIONS", "solve the flow: u, v and pressure (T/F)"]),
    ("values", ["solve_u"]),
    ("label", "solve the concentration (T/F)"),
    ("values", ["solve_c"]),
    ("skip", ["ITERATION CONTROL", "maximum outer iterations per time step"]),
    ("values", ["maxit"]),
    ("label", "convergence tolerance"),
    ("values", ["convtol"]),
    ("skip", ["UNDER-RELAXATION", "u, pressure correction"]),
    ("values", ["relax_u", "relax_p"]),
    ("label", "concentration"),
    ("values", ["relax_c"]),
    ("skip", ["LINEAR SOLVERS (1 line-by-line, 2 whole-field)", "u, pressure correction"]),
    ("values", ["solver_u", "solver_p"]),
    ("label", "concentration"),
    ("values", ["solver_c"]),
    ("skip", ["OUTPUT", "monitoring column and row"]),
    ("values", ["imon", "jmon"]),
    ("label", "field-table interval in time steps"),
    ("values", ["prt_step"]),
    ("label", "run name (columns 1-12)"),
    ("text", "runname"),
    ("label", "write the restart file at the end (T/F)"),
    ("values", ["restart_out"]),
    ("label", "read the restart file at the start (T/F)"),
    ("values", ["restart_in"]),
]

# What each value is, for messages.
_DESCRIPTION = {
    "chlength": "channel length", "halfgap": "half-gap", "th_memb": "membrane thickness",
    "th_gel": "gel thickness", "u_in": "inlet velocity", "parabolic": "parabolic-profile switch",
    "spare": "spare value", "c_in": "inlet concentration", "density": "fluid density",
    "viscosity": "fluid viscosity", "diff_flow": "diffusivity in the channel",
    "diff_memb": "diffusivity in the membrane", "diff_gel": "diffusivity in the gel",
    "ni": "number of grid columns", "n_flow": "cell rows across the channel",
    "n_memb": "cell rows across the membrane", "n_gel": "cell rows across the gel",
    "steady": "steady-state switch", "nsteps": "number of the last time step",
    "dt": "time-step size", "solve_u": "flow switch", "solve_c": "concentration switch",
    "maxit": "maximum outer iterations per time step", "convtol": "convergence tolerance",
    "relax_u": "under-relaxation of u", "relax_p": "under-relaxation of the pressure correction",
    "relax_c": "under-relaxation of c", "solver_u": "linear-solver choice of u",
    "solver_p": "linear-solver choice of the pressure correction",
    "solver_c": "linear-solver choice of c", "imon": "monitoring column", "jmon": "monitoring row",
    "prt_step": "field-table interval in time steps", "runname": "run name",
    "restart_out": "restart-write switch", "restart_in": "restart-read switch",
}


# -- value checks and formatting ------------------------------------------
def _checked(name, kind, value):
    """The value converted to the field's type, or TypeError naming the field."""
    kind = {"float": float, "int": int, "bool": bool, "str": str}.get(kind, kind)
    if kind is bool:
        if isinstance(value, (bool, np.bool_)):
            return bool(value)
        expected = "a bool (True or False)"
    elif kind is int:
        if isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_)):
            value = int(value)
            if not _INT32[0] <= value <= _INT32[1]:
                raise TypeError(f"Problem.{name}: expected a 32-bit integer, got {value}")
            return value
        expected = "an integer"
    elif kind is float:
        if isinstance(value, numbers.Real) and not isinstance(value, (bool, np.bool_)):
            value = float(value)
            if not math.isfinite(value) or math.isinf(_float32(value)):
                raise TypeError(f"Problem.{name}: expected a finite single-precision real, got {value!r}")
            return value
        expected = "a real number"
    else:
        if isinstance(value, str):
            try:
                raw = value.encode("utf-8")
            except UnicodeError:
                raw = None
            if raw is None or len(raw) > RUNNAME_WIDTH:
                raise TypeError(f"Problem.{name}: expected at most {RUNNAME_WIDTH} bytes of UTF-8 text, "
                                f"got {value!r}")
            fault = run_name_fault(raw)
            if fault:
                raise TypeError(f"Problem.{name}: expected {fault}, got {value!r}")
            return value
        expected = "a text"
    raise TypeError(f"Problem.{name}: expected {expected}, got {value!r} ({type(value).__name__})")


# -- run names ---------------------------------------------------------------
def _run_name_rule():
    """The pattern of run_name_rule.txt, the rule the program is built with."""
    path = Path(__file__).with_name("run_name_rule.txt")
    lines = [line for line in path.read_text(encoding="ascii").splitlines()
             if line and not line.startswith("#")]
    return re.compile(lines[0].encode("ascii"))


RUN_NAME_RULE = _run_name_rule()


def stem_bytes(runname: bytes) -> bytes:
    """The stem of the save-file names: the run name (bytes, blank-filled to
    12) up to its first point, or its first 8 bytes when the point is
    missing, first or beyond column 9."""
    name = runname.ljust(RUNNAME_WIDTH)
    k = name.find(b".")
    return name[:k] if 1 <= k <= 8 else name[:8]


def run_name_fault(raw: bytes) -> str | None:
    """What the program expects of the run name ``raw`` (the bytes of its
    field) when it refuses it, else None: the name without its trailing
    blanks is not blank, and it and its stem match :data:`RUN_NAME_RULE`."""
    listing = raw.rstrip(b" ")
    if not listing:
        return "a name in columns 1-12 (it names the listing file)"
    if not (RUN_NAME_RULE.fullmatch(listing) and RUN_NAME_RULE.fullmatch(stem_bytes(raw))):
        return ("a file name of printable UTF-8 characters, none cut in two by column 12 or by the "
                "stem of the save files, without '/', not . or ..")
    return None


def _shown(raw: bytes) -> str:
    """Bytes as text, what is not printable ASCII as \\xHH (as the program shows them)."""
    return "".join(chr(b) if 0x20 <= b < 0x7F else f"\\x{b:02X}" for b in raw)


def _float32(value: float) -> float:
    with np.errstate(over="ignore"):
        return float(np.float32(value))


def _format_value(value) -> str:
    """A value as the program reads it back to the same single-precision number."""
    if isinstance(value, bool):
        return "T" if value else "F"
    return repr(value)


# -- the reader ------------------------------------------------------------
_BLANKS = " \t\r"
_VALUE_ENDS = _BLANKS + ",;/"
_REAL = re.compile(r"([+-]?)(\d*)(?:\.(\d*))?(?:(?:[EeDdQq]([+-]?)|([+-]))(\d+))?")
_INTEGER = re.compile(r"[+-]?\d+")
_EXPECTED = {float: "a real number", int: "an integer", bool: "a logical value T or F"}


class _LineReader:
    """Sequential reads over the lines of a problem input."""

    def __init__(self, text: str, name: str):
        self.name = name
        self.lines = text.split("\n")
        if self.lines and self.lines[-1] == "":
            self.lines.pop()  # a final line end does not start a line
        self.line_no = 0

    def _next(self, what: str, expected: str) -> str:
        if self.line_no >= len(self.lines):
            raise ProblemFileError(f"{self.name}: line {max(self.line_no, 1)}: {what}: "
                                   f"end of file reached, expected {expected}")
        line = self.lines[self.line_no]
        self.line_no += 1
        return line[:-1] if line.endswith("\r") else line

    def skip(self, count: int, what: str) -> None:
        for k in range(count):
            self._next(what, "a line of free text" if count == 1 else f"{count - k} more lines")

    def text(self, width: int, what: str) -> str:
        return self._next(what, "a line of text")[:width].ljust(width)

    def values(self, names):
        """One list read: a dict of the fields given a value."""
        kinds = [Problem.__dataclass_fields__[n].type for n in names]
        kinds = [{"float": float, "int": int, "bool": bool}.get(k, k) for k in kinds]
        got = {}

        def fail(k, token):
            raise ProblemFileError(f"{self.name}: line {self.line_no}: {_DESCRIPTION[names[k]]} "
                                   f"({names[k]}): expected {_EXPECTED[kinds[k]]}, found \"{token}\"")

        line = self._next(_DESCRIPTION[names[0]], _EXPECTED[kinds[0]])
        pos, k, after_comma = 0, 0, True
        while k < len(names):
            while pos < len(line) and line[pos] in _BLANKS:
                pos += 1
            if pos == len(line):
                line, pos = self._next(_DESCRIPTION[names[k]], _EXPECTED[kinds[k]]), 0
                continue
            char = line[pos]
            if char in ",;":
                if after_comma:
                    k += 1  # null value: the field keeps its value
                after_comma, pos = True, pos + 1
                continue
            if char == "/":
                break  # the remaining fields keep their values
            start = pos
            while pos < len(line) and line[pos] not in _VALUE_ENDS:
                pos += 1
            token, after_comma = line[start:pos], False
            count, value = 1, token
            if "*" in token:
                star = token.index("*")
                digits, value = token[:star], token[star + 1:]
                count = min(int(digits), len(names) - k) if digits.isdigit() and digits.isascii() else 0
                if count == 0:
                    fail(k, token)
            for _ in range(count):
                if value:
                    parsed = _parse(kinds[k], value)
                    if parsed is None:
                        fail(k, token)
                    got[names[k]] = parsed
                k += 1
        return got


def _parse(kind, token):
    """The token read as `kind` by the program's rules, or None."""
    if kind is bool:
        body = token[1:] if token.startswith(".") else token
        return {"T": True, "F": False}.get(body[:1].upper())
    if kind is int:
        if not _INTEGER.fullmatch(token):
            return None
        value = int(token)
        return value if _INT32[0] <= value <= _INT32[1] else None
    match = _REAL.fullmatch(token)
    if not match:
        return None
    sign, whole, frac, exp_sign_letter, exp_sign_alone, exponent = match.groups()
    if not whole and not frac:
        return None
    exp_sign = exp_sign_letter if exp_sign_letter is not None else exp_sign_alone
    text = f"{sign}{whole or '0'}.{frac or '0'}e{exp_sign or ''}{exponent or '0'}"
    return _single_precision(text)


def _single_precision(text: str):
    """The double of a decimal text, such that it rounds to the same single
    the program gets from the text directly; None beyond the single range.

    Rounding the text to double first can only mislead when the double lies
    exactly half-way between two singles: then the exact decimal decides.
    """
    value = float(text)
    single = _float32(value)
    if math.isinf(single):
        return None
    if single != value and value != 0.0:
        below = float(np.nextafter(np.float32(single), np.float32(0.0 if single > 0 else -np.inf)))
        other = below if abs(below) < abs(value) < abs(single) else \
            float(np.nextafter(np.float32(single), np.float32(np.inf if single > 0 else 0.0)))
        if (single + other) / 2 == value:  # exactly half-way in double
            exact = Fraction(text)
            if exact != Fraction(value):
                return single if abs(exact - Fraction(single)) < abs(exact - Fraction(other)) else other
    return value
