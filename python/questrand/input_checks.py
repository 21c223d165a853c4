"""The program's description of its input and its checks of the values.

The description (``questrand --describe-input``, kept beside this module as
input.json) gives every read of PROB.INP in order and every value with its
name, line, type, unit, limits and description.  The checks made from it
find the values the program refuses, in the order it meets them; the
run-name rule (run_name_rule.txt) is the program's own.
"""

from __future__ import annotations

import dataclasses
import json
import math
import numbers
import re
from pathlib import Path

import numpy as np

from .input_format import _INT32, PROBLEM_FILE, RUNNAME_WIDTH, _float32


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
