"""Refined grids and Richardson extrapolation: how true is a result of one grid.

:func:`refined` makes the problem of a grid ``factor`` times finer in every
direction at once: each layer's rows, the interior columns and the time step
(the number of steps grows by the same factor, so the run ends at the same
time).  The physical problem is unchanged; the monitoring node moves to the
node of the finer grid in the same cell.

:func:`richardson` estimates, from one quantity computed on such a sequence
of grids (refinement ratio r), the observed order of convergence, the
extrapolated value and the discretisation error of each grid, in the manner
of the grid convergence index (GCI):

- three or more grids f1 (coarsest) .. f3 (finest of the last three):
  e21 = f2 - f1, e32 = f3 - f2; when both have the same sign and shrink,
  the observed order is p = ln(e21 / e32) / ln r.  It is used when it lies
  within ``0.5 .. 2 formal + 1``, with the safety factor Fs = 1.25; otherwise
  (too small, too large, or oscillating differences) the formal order of the
  scheme is used with Fs = 3, and the note says why;
- two grids: the formal order and Fs = 3.

The extrapolated value is f_fine + (f_fine - f_prev) / (r^p - 1).  The
estimated error of a grid's value is its difference from the extrapolated
value; the GCI of a grid (the band expected to hold the grid-independent
value, with the safety factor) is Fs |f_k - f_ext|.  The error of the
extrapolated value itself is known only from four or more grids whose last
two triples both show a supported order: 3 times how far the extrapolation
of the finest three grids moved from that of the three before (the larger
safety factor: the terms beyond the leading one, which this neglects, are
not negligible on the grids a fit affords).
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from .errors import QuestrandError
from .problem import Problem

#: The program's limit on grid columns and on grid rows.
MAX_GRID = 350
#: Safety factors of the grid convergence index.
SAFETY_OBSERVED = 1.25
SAFETY_ASSUMED = 3.0
#: The formal order of the program's schemes (space and time together).
FORMAL_ORDER = {"standard": 1.0, "second-order": 2.0}


class GridLimitError(QuestrandError, ValueError):
    """A refined grid beyond the program's limit of grid columns or rows."""


def grid_size(problem: Problem) -> tuple:
    """(grid columns, grid rows) of the problem, mirror nodes included."""
    return problem.ni, problem.n_flow + problem.n_memb + problem.n_gel + 2


def refined(problem: Problem, factor: int) -> Problem:
    """The problem on a grid ``factor`` times finer in rows, columns and time
    step; raises :class:`GridLimitError` beyond the program's 350 nodes."""
    factor = int(factor)
    if factor == 1:
        return problem
    ni = (problem.ni - 2) * factor + 2
    rows = [n * factor for n in (problem.n_flow, problem.n_memb, problem.n_gel)]
    nj = sum(rows) + 2
    if ni > MAX_GRID or nj > MAX_GRID:
        raise GridLimitError(f"a grid {factor} times finer needs {ni} columns and {nj} rows; "
                             f"the program allows {MAX_GRID} of each")
    changes = dict(ni=ni, n_flow=rows[0], n_memb=rows[1], n_gel=rows[2],
                   imon=min((problem.imon - 2) * factor + 2 + factor // 2, ni - 1),
                   jmon=min((problem.jmon - 2) * factor + 2 + factor // 2, nj - 1))
    if not problem.steady:
        changes.update(dt=float(np.float32(problem.dt / factor)), nsteps=problem.nsteps * factor,
                       prt_step=problem.prt_step * factor)
    return problem.replace(**changes)


def refinements(problem: Problem, levels: int, ratio: int = 2) -> list:
    """The factors 1, ratio, ratio^2 ... (``levels`` of them) that stay within
    the grid limit."""
    factors = []
    for k in range(levels):
        factor = ratio ** k
        try:
            refined(problem, factor)
        except GridLimitError:
            break
        factors.append(factor)
    return factors


@dataclasses.dataclass
class Extrapolation:
    """What a sequence of grids says of one quantity (see the module notes).

    ``values`` run from the coarsest grid to the finest; ``errors`` and
    ``gci`` are per grid, ``gci`` relative to the extrapolated value."""

    values: list
    ratio: float
    formal_order: float
    observed_order: float | None
    order: float
    safety: float
    extrapolated: float
    errors: list
    gci: list
    extrapolation_error: float | None
    note: str = ""

    @property
    def error(self) -> float:
        """The estimated error of the coarsest (given) grid's value."""
        return self.errors[0]

    def as_json(self) -> dict:
        def num(v):
            return None if v is None or not math.isfinite(v) else float(v)
        return {"values": [num(v) for v in self.values], "observed_order": num(self.observed_order),
                "order": num(self.order), "safety_factor": self.safety,
                "extrapolated": num(self.extrapolated), "errors": [num(v) for v in self.errors],
                "gci": [num(v) for v in self.gci],
                "extrapolation_error": num(self.extrapolation_error), "note": self.note}


def _extrapolate(coarse: float, fine: float, ratio: float, order: float) -> float:
    return fine + (fine - coarse) / (ratio ** order - 1.0)


def _order(f1: float, f2: float, f3: float, ratio: float, formal_order: float):
    """(observed order or None, order to use, safety factor, note) of three
    values, coarsest first."""
    e21, e32 = f2 - f1, f3 - f2
    if e21 == 0.0 and e32 == 0.0:
        return math.inf, formal_order, SAFETY_OBSERVED, "the same on every grid"
    if e21 * e32 > 0.0 and abs(e32) < abs(e21):
        observed = math.log(e21 / e32) / math.log(ratio)
        if 0.5 <= observed <= 2.0 * formal_order + 1.0:
            return observed, observed, SAFETY_OBSERVED, ""
        return observed, formal_order, SAFETY_ASSUMED, (
            f"observed order {observed:.2f} outside 0.5..{2 * formal_order + 1:g}: "
            f"formal order {formal_order:g} assumed")
    if e21 * e32 < 0.0:
        return None, formal_order, SAFETY_ASSUMED, f"oscillating differences: formal order {formal_order:g} assumed"
    return None, formal_order, SAFETY_ASSUMED, f"differences not shrinking: formal order {formal_order:g} assumed"


def richardson(values, ratio: float = 2.0, formal_order: float = 1.0) -> Extrapolation:
    """Observed order, extrapolated value and errors of ``values`` (coarsest
    grid first, at least two, each grid ``ratio`` times finer than the one
    before)."""
    values = [float(v) for v in values]
    if len(values) < 2:
        raise ValueError("Richardson extrapolation needs at least two grids")
    if len(values) >= 3:
        observed, order, safety, note = _order(*values[-3:], ratio, formal_order)
    else:
        observed, order, safety = None, formal_order, SAFETY_ASSUMED
        note = f"two grids: formal order {formal_order:g} assumed"
    extrapolation_error = None
    if observed == math.inf:
        extrapolated, extrapolation_error = values[-1], 0.0
    else:
        extrapolated = _extrapolate(values[-2], values[-1], ratio, order)
        if len(values) >= 4:
            # how far the extrapolation moved from that of the three grids before
            _, previous_order, previous_safety, _ = _order(*values[-4:-1], ratio, formal_order)
            previous = _extrapolate(values[-3], values[-2], ratio, previous_order)
            if safety == previous_safety == SAFETY_OBSERVED:
                extrapolation_error = SAFETY_ASSUMED * abs(extrapolated - previous)
    errors = [abs(v - extrapolated) for v in values]
    scale = abs(extrapolated) or max(abs(v) for v in values) or 1.0
    gci = [safety * e / scale for e in errors]
    return Extrapolation(values=values, ratio=ratio, formal_order=formal_order,
                         observed_order=observed, order=order, safety=safety,
                         extrapolated=extrapolated, errors=errors, gci=gci,
                         extrapolation_error=extrapolation_error, note=note)
