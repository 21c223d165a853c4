"""The fixed layout of PROB.INP as the program reads it: lines read in
sequence, list reads of values (reals, integers, logical values) by the
program's rules, reals rounded as the program rounds them to single
precision, and values written back so that the program reads the same
numbers.  See :mod:`questrand.problem` for the reading rules."""

from __future__ import annotations

import math
import re
from fractions import Fraction

import numpy as np

from .errors import ProblemFileError

PROBLEM_FILE = "PROB.INP"
RUNNAME_WIDTH = 12
_INT32 = (-(2**31), 2**31 - 1)


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
    """Sequential reads over the lines of a problem input; ``what`` says
    what each value is, for messages."""

    def __init__(self, text: str, name: str, what: dict):
        self.name = name
        self.what = what
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

    def values(self, names, fields):
        """One list read of the fields ``names`` (``fields``: the dataclass
        fields by name): a dict of the fields given a value."""
        kinds = [fields[n].type for n in names]
        kinds = [{"float": float, "int": int, "bool": bool}.get(k, k) for k in kinds]
        got = {}

        def fail(k, token):
            raise ProblemFileError(f"{self.name}: line {self.line_no}: {self.what[names[k]]} "
                                   f"({names[k]}): expected {_EXPECTED[kinds[k]]}, found \"{token}\"")

        line = self._next(self.what[names[0]], _EXPECTED[kinds[0]])
        pos, k, after_comma = 0, 0, True
        while k < len(names):
            while pos < len(line) and line[pos] in _BLANKS:
                pos += 1
            if pos == len(line):
                line, pos = self._next(self.what[names[k]], _EXPECTED[kinds[k]]), 0
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
