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
import json
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
RUNNAME_DEFAULT = "RESULT."
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

    def faults(self) -> list:
        """The values the program would refuse, as :class:`Fault` objects in
        the order the program meets them (it reports the first), with the
        lines of the file :meth:`text` writes.  Made from the program's own
        description of its input (:data:`INPUT`); the checks that need files
        (the restart file) are the program's alone (``questrand --check``)."""
        return _faults(lambda name: getattr(self, name), _LINE.__getitem__)

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
    def parse(cls, text, name: str = PROBLEM_FILE, check: bool = False) -> "Problem":
        """Parse a PROB.INP given as its bytes or its text (see :meth:`read`).

        The program reads bytes, and so does this: columns count bytes, and
        the run name is the first 12 bytes of its line, read as UTF-8 text
        (see :func:`run_name_fault`).  With ``check``, the values are also
        checked as the program checks them (:meth:`faults`, on the lines of
        this text), and the first fault the program would meet, a value that
        cannot be read or one it refuses, raises :class:`ProblemFileError`."""
        data = text if isinstance(text, bytes) else text.encode("utf-8", "surrogateescape")
        reader = _LineReader(data.decode("latin-1"), name)  # one character per byte
        values, lines, name_fault, done = {}, {}, None, 0
        try:
            for done, entry in enumerate(_LAYOUT):
                kind = entry[0]
                if kind == "skip":
                    reader.skip(len(entry[1]), entry[1][0])
                elif kind == "label":
                    reader.skip(1, entry[1])
                elif kind == "text":
                    raw = reader.text(RUNNAME_WIDTH, _DESCRIPTION[entry[1]]).encode("latin-1")
                    lines[entry[1]] = reader.line_no
                    fault = run_name_fault(raw)
                    if fault:  # the program checks the run name after the last line
                        name_fault = (f"{name}: line {reader.line_no}: {_DESCRIPTION[entry[1]]}: "
                                      f"expected {fault}, found \"{_shown(raw.rstrip(b' '))}\"")
                        values[entry[1]] = RUNNAME_DEFAULT
                    else:
                        values[entry[1]] = raw.rstrip(b" ").decode("utf-8")
                else:
                    values.update(reader.values(entry[1]))
                    lines.update((n, reader.line_no) for n in entry[1])
        except ProblemFileError:
            if check:  # a fault the program meets before the value it cannot read
                cls._raise_first(values, lines, name, reads_done=done)
            raise
        if check:
            cls._raise_first(values, lines, name, reads_done=None if name_fault is None else len(_LAYOUT))
        if name_fault:
            raise ProblemFileError(name_fault)
        try:
            return cls(**values)
        except TypeError as exc:
            raise ProblemFileError(f"{name}: {exc}") from None

    @classmethod
    def _raise_first(cls, values, lines, name, reads_done):
        """Raise the first fault of the values read so far, if any."""
        defaults = {f.name: f.default for f in dataclasses.fields(cls)}
        faults = _faults(lambda n: values.get(n, defaults[n]), lambda n: lines.get(n, _LINE[n]),
                         reads_done=reads_done, first=True)
        if faults:
            raise ProblemFileError(faults[0].message(name))

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
#: The program's description of its input (``questrand --describe-input``,
#: kept beside this module as input.json): every read in order and every
#: value with its name, line, type, unit, limits and description.  The layout
#: and the checks below are built from it.
INPUT = json.loads(Path(__file__).with_name("input.json").read_text(encoding="utf-8"))
_VALUES = {value["name"]: value for value in INPUT["values"]}
_TYPE_NAMES = {"real": "float", "integer": "int", "logical": "bool", "text": "str"}


def _layout(description):
    """The reads of the program, in order:
      ("skip", [lines...])   lines consumed whatever they hold (written as given)
      ("label", line)        one line consumed whatever it holds
      ("values", [names])    a list read of these fields
      ("text", name)         the run name, first 12 bytes of its line"""
    layout = []
    for read in description["reads"]:
        if read["kind"] == "skip":
            layout.append(("skip", list(read["lines"])))
        elif read["kind"] == "label":
            layout.append(("label", read["lines"][0]))
        elif read["kind"] == "list":
            layout.append(("values", list(read["values"])))
        else:
            layout.append(("text", read["values"][0]))
    return layout


_LAYOUT = _layout(INPUT)
#: What each value is, for messages (the program's words).
_DESCRIPTION = {name: value["what"] for name, value in _VALUES.items()}
#: The line of each value in the commented 64-line file.
_LINE = {name: value["line"] for name, value in _VALUES.items()}


# -- the program's checks -----------------------------------------------------
@dataclasses.dataclass(frozen=True)
class Fault:
    """A value the program refuses: the line it names, the problem values
    involved and the text of its message after ``FILE: line N: ``."""

    line: int
    names: tuple
    text: str

    def message(self, file: str = PROBLEM_FILE) -> str:
        """The program's one error line for this fault."""
        return f"{file}: line {self.line}: {self.text}"


def _show(value: float) -> str:
    """A real as the program's messages show it (9 significant digits)."""
    return format(_float32(value), ".9g")


def _limit_fault(value, get):
    """The fault text of one value's limit (INPUT), or None."""
    limit = value["limit"]
    kind, name = limit["kind"], value["name"]
    what = limit.get("checked_as", value["what"])
    x = get(name)
    if kind == "positive" and not np.float32(x) > 0:
        return f"{what}: expected {limit['expected']}, found {_show(x)}"
    if kind == "not_negative" and not np.float32(x) >= 0:
        return f"{what}: expected {limit['expected']}, found {_show(x)}"
    if kind == "range":
        high = limit["high"]
        if isinstance(high, str):
            high = get("ni") if high == "ni" else get("n_flow") + get("n_memb") + get("n_gel") + 2
        if not limit["low"] <= x <= high:
            return f"{what}: expected an integer in {limit['low']}..{high}, found {x}"
    if kind == "at_least" and x < limit["low"]:
        return f"{what}: expected {limit['expected']}, found {x}"
    return None


def _involved(value):
    """The values a limit depends on: the value, then a named bound's."""
    high = value["limit"].get("high")
    if high == "ni":
        return (value["name"], "ni")
    if high == "nj":
        return (value["name"], "n_flow", "n_memb", "n_gel")
    return (value["name"],)


def _grid_fault(get, line_of):
    """The faults of the grid rules (grid_rows, distinct_nodes), or None."""
    nj = get("n_flow") + get("n_memb") + get("n_gel") + 2
    if nj > INPUT["max_grid"]:
        return Fault(line_of("n_flow"), ("n_flow", "n_memb", "n_gel"),
                     "number of grid rows (cell rows of channel, membrane and gel plus 2): "
                     f"expected at most {INPUT['max_grid']}, found {nj}")
    f32 = np.float32
    with np.errstate(all="ignore"):
        ni = get("ni")
        x = _centres(f32(0.0), f32(get("chlength")), ni - 2)
        x = [-x[0], *x, f32(2.0) * f32(get("chlength")) - x[-1]]
        h, m, g = f32(get("halfgap")), f32(get("th_memb")), f32(get("th_gel"))
        y = [*_centres(f32(0.0), h, get("n_flow")), *_centres(h, m, get("n_memb")),
             *_centres(h + m, g, get("n_gel"))]
        y = [-y[0], *y, f32(2.0) * (h + m + g) - y[-1]]
    for i in range(1, len(x)):
        if not (math.isfinite(x[i]) and x[i] > x[i - 1]):
            return Fault(line_of("chlength"), ("chlength", "ni"),
                         "channel length: expected a length that gives distinct, finite grid columns "
                         f"for {ni} columns, found {_show(get('chlength'))}")
    for j in range(1, len(y)):
        if not (math.isfinite(y[j]) and y[j] > y[j - 1]):
            return Fault(line_of("chlength"), ("halfgap", "th_memb", "th_gel", "n_flow", "n_memb", "n_gel"),
                         "half-gap, membrane and gel thicknesses: expected thicknesses that give distinct, "
                         f"finite grid rows (row {j + 1} meets row {j}), found {_show(h)}, {_show(m)}, {_show(g)}")
    return None


def _centres(start, span, n):
    """Centres of n equal cells on [start, start + span] as the program sums
    them (single precision)."""
    delta = np.float32(span / np.float32(n))
    out = [start + np.float32(0.5) * delta]
    for _ in range(n - 1):
        out.append(out[-1] + delta)
    return out


def _run_name_fault(get):
    """The faults of the run-name rules the constructor does not make
    (run_name_restart, run_name_distinct), as text, or None."""
    runname = get("runname")
    raw = runname.encode("utf-8").ljust(RUNNAME_WIDTH)
    shown = '"' + raw.decode("utf-8", "surrogateescape") + '"'
    listing = raw.rstrip(b" ")
    if (get("restart_in") or get("restart_out")) and b"." not in raw and len(listing) == RUNNAME_WIDTH:
        return ("run name: expected a name with a point or shorter than 12 characters when a restart file "
                "is read or written (the restart name would equal the run name, so the restart file and "
                f"the listing would overwrite each other), found {shown}")
    stem = stem_bytes(raw)
    k = raw.find(b".")
    restart = ((raw[:k] if k >= 0 else listing) + b".sav")[:RUNNAME_WIDTH].rstrip(b" ")
    outputs = [
        (get("restart_out"), restart, "the restart file written at the end"),
        (get("restart_out"), restart + b".part", "the temporary file of the restart write"),
        (get("restart_in"), restart, "the restart file read at the start"),
        (get("solve_u"), stem + b".VEL", "the velocity save file"),
        (get("solve_u"), stem + b".PRS", "the pressure save file"),
        (False, stem + b".TMP", "the temperature save file"),
        (get("solve_c"), stem + b".CON", "the concentration save file"),
        (get("solve_c"), stem + b".CPR", "the end-of-run profile file along x"),
        (get("solve_c"), stem + b".VPR", "the end-of-run profile file along y"),
        (True, b"monitor.dat", "the monitor file"),
        (True, stem.rstrip(b" ") + b".UPT", "the uptake file"),
        (True, PROBLEM_FILE.encode(), "the problem input"),
    ]
    for on, name, role in outputs:
        if on and name == listing:
            return ("run name: expected a name different from the run's other files (the listing would be "
                    f"overwritten by {role}), found {shown}")
    return None


def _faults(get, line_of, reads_done=None, first=False):
    """The program's checks of its input, in its order: each value's limit as
    soon as the value and the switch it depends on are read, the grid rules
    after the cell rows, the run-name rules at the end.  ``get(name)`` gives a
    value, ``line_of(name)`` its line; only the first ``reads_done`` reads are
    taken as made (all when None)."""
    faults, checked, read = [], set(), set()
    reads = INPUT["reads"] if reads_done is None else INPUT["reads"][:reads_done]
    for entry in reads:
        read.update(entry.get("values", ()) if entry["kind"] in ("list", "text") else ())
        for value in INPUT["values"]:
            name, when = value["name"], value["limit"].get("when")
            if name in checked or name not in read:
                continue
            if when:
                (switch, wanted), = when.items()
                if switch not in read:
                    continue
                checked.add(name)
                if get(switch) != wanted:
                    continue
            checked.add(name)
            text = _limit_fault(value, get)
            if text:
                faults.append(Fault(line_of(name), _involved(value), text))
                if first:
                    return faults
        if entry["kind"] == "list" and entry["values"][-1] == "n_gel":
            if any(f.line in (line_of("ni"), line_of("n_flow")) for f in faults):
                continue  # the grid cannot be built
            fault = _grid_fault(get, line_of)
            if fault:
                faults.append(fault)
                if first:
                    return faults
    if reads_done is None:
        text = _run_name_fault(get)
        if text:
            faults.append(Fault(line_of("runname"), ("runname",), text))
    return faults


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
