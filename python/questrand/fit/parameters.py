"""The fitted reals of a problem: their names, start values and bounds."""

from __future__ import annotations

import dataclasses

from ..problem import Problem
from .data import DEFAULT_DECADES, FitError


@dataclasses.dataclass
class Parameter:
    """A fitted real of the problem: its name, start value and bounds."""

    name: str
    start: float
    low: float
    high: float


def real_fields() -> tuple:
    """The names of the problem's real values."""
    return tuple(f.name for f in dataclasses.fields(Problem) if f.type in ("float", float))


def parse_bounds(texts) -> dict:
    """``["NAME=LO:HI", ...]`` -> ``{NAME: (LO or None, HI or None)}``."""
    bounds = {}
    for text in texts or ():
        name, eq, rng = text.partition("=")
        lo, colon, hi = rng.partition(":")
        name = name.strip()
        try:
            if not (name and eq and colon):
                raise ValueError
            pair = tuple(float(v) if v.strip() else None for v in (lo, hi))
        except ValueError:
            raise FitError(f"--bounds {text}: expected NAME=LO:HI, e.g. diff_gel=1e-11:1e-8") from None
        bounds[name] = pair
    return bounds


def make_parameters(problem: Problem, names, bounds=None) -> list:
    """The :class:`Parameter` list for ``names``, starting at the problem's
    values, within ``bounds`` (``{NAME: (LO, HI)}``, None for a default
    side: four decades from the start)."""
    bounds = dict(bounds or {})
    reals = real_fields()
    if not names:
        raise FitError("no parameter to fit: give at least one --param NAME")
    params = []
    for name in names:
        if name not in reals:
            raise FitError(f"--param {name}: not a real of the problem (reals: {', '.join(reals)})")
        if any(p.name == name for p in params):
            raise FitError(f"--param {name}: given twice")
        start = getattr(problem, name)
        if not start > 0:
            raise FitError(f"--param {name}: the start value {start:g} of the problem must be positive "
                           "(the fit works on the logarithm)")
        lo, hi = bounds.pop(name, (None, None))
        lo = start / 10.0 ** DEFAULT_DECADES if lo is None else lo
        hi = start * 10.0 ** DEFAULT_DECADES if hi is None else hi
        if not 0 < lo < start < hi:
            raise FitError(f"--bounds {name}={lo:g}:{hi:g}: expected 0 < LO < start value {start:g} < HI")
        params.append(Parameter(name, start, lo, hi))
    if bounds:
        raise FitError(f"--bounds {', '.join(bounds)}: not a fitted parameter (give it with --param)")
    return params

