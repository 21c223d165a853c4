"""The fitted reals of a problem: their names, start values and bounds."""

from __future__ import annotations

import dataclasses
import re

import numpy as np

from ..input_checks import INPUT
from ..physics import REAL_KEYS as PHYSICS_REALS
from ..physics import UNITS as PHYSICS_UNITS
from ..problem import Problem
from .data import DEFAULT_DECADES, FitError


#: The volume flow through the cell (m3/s), a parameter that sets u_in
#: through the cell's width.
FLOW_RATE = "flow_rate"
#: The diffusivities of a problem: the channel's, the membrane's, the gel's.
DIFFUSIVITIES = ("diff_flow", "diff_memb", "diff_gel")
#: The default upper bound of a fitted diff_flow (m2/s): above the
#: diffusivity of every solute in water (the fastest, the proton, diffuses
#: at 9.3e-9 m2/s at 25 degC; small molecules at 0.5e-9 to 2.5e-9 m2/s).
WATER_DIFFUSIVITY_LIMIT = 1e-8
#: The unit of each value of the problem (input.json), and of the physics' reals.
UNITS = {**{value["name"]: value["unit"] for value in INPUT["values"]}, **PHYSICS_UNITS, FLOW_RATE: "m3/s"}
#: The physical range of the partition coefficients K (membrane or gel
#: over liquid at equilibrium): the default bounds of a fitted K.
PARTITION_RANGE = (1e-3, 1e4)
#: The largest first-order uptake rate in the gel (1/s) a fit takes by
#: default: a half-life of 0.7 s, faster than any run resolves with its steps.
RATE_LIMIT = 1.0


@dataclasses.dataclass
class Parameter:
    """A fitted real of the problem: its name, start value and bounds, and
    where each bound comes from (``low_source``, ``high_source``: "--bounds",
    "four decades from the start", "the channel's diffusivity" ...)."""

    name: str
    start: float
    low: float
    high: float
    low_source: str = ""
    high_source: str = ""
    #: flow_rate only: the cell's width (m) that turns it into the inlet
    #: velocity u_in (:func:`questrand.units.centreline_velocity`)
    width: float | None = None

    def changes(self, value: float) -> dict:
        """The problem's values this parameter sets at ``value``: itself
        (in single precision, as the program reads it), or for flow_rate
        the u_in it implies through the width."""
        if self.name == FLOW_RATE:
            return {"flow_rate": float(value), "width": self.width}
        return {self.name: float(np.float32(value))}

    def bound_text(self, side: str) -> str:
        """'upper bound 1e-9 m2/s (the channel's diffusivity)' (``side``
        "lower" or "upper")."""
        value, source = (self.low, self.low_source) if side == "lower" else (self.high, self.high_source)
        unit = UNITS.get(self.name, "")
        text = f"{side} bound {short_number(value)}{' ' + unit if unit else ''}"
        return f"{text} ({source})" if source else text


def short_number(value: float) -> str:
    """``value`` as %g writes it, the exponent without its leading zeros (1e-9)."""
    return re.sub(r"e([+-])0*(\d)", r"e\1\2", f"{value:g}").replace("e+", "e")


def real_fields() -> tuple:
    """The names of the problem's real values: those of PROB.INP, then the
    reals of its physics (PHYSICS.INP)."""
    return tuple(f.name for f in dataclasses.fields(Problem) if f.type in ("float", float)) + PHYSICS_REALS


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


def make_parameters(problem: Problem, names, bounds=None, width=None) -> list:
    """The :class:`Parameter` list for ``names``, starting at the problem's
    values, within ``bounds`` (``{NAME: (LO, HI)}``, None for a default side).

    The default bounds are four decades from the start either way, and for a
    diffusivity also physical: D > 0 (the fit works on ln D) and

        D_memb, D_gel <= D_flow          (no species diffuses faster in a
                                          solid than in the channel's fluid)
        D_flow        <= 1e-8 m2/s       (:data:`WATER_DIFFUSIVITY_LIMIT`)

    the tighter of the two applying.  When diff_flow is fitted too, the
    others are bounded by diff_flow's own upper bound (a box, as the search
    needs).  The 1e-8 m2/s limit assumes SI units: a diff_flow that starts
    above it (a problem in other units) keeps the four decades.

    The physics' reals (PHYSICS.INP; a problem without physics starts from
    their defaults): a partition coefficient K within
    :data:`PARTITION_RANGE` [1e-3, 1e4]; the gel's uptake rate within
    [0, :data:`RATE_LIMIT`] 1/s, whose lower end 0 the fit on ln k cannot
    reach, so its default lower bound is four decades below the start (a
    fit of rate_gel starts from a rate_gel > 0); the others four decades.
    A bound given in ``bounds`` replaces the default one.

    ``flow_rate`` (m3/s) is fitted in place of u_in through the cell's
    ``width`` (m): it starts from the flow the problem's u_in implies,
    Q = u_in / centreline_velocity(1, width, halfgap, parabolic), within
    four decades.
    """
    bounds = dict(bounds or {})
    reals = real_fields()
    if not names:
        raise FitError("no parameter to fit: give at least one --param NAME")
    if FLOW_RATE in names:
        if not (width is not None and width > 0):
            raise FitError("--param flow_rate: needs the cell's width to set u_in; give --width, "
                           "e.g. --width \"10 mm\"")
        if "u_in" in names:
            raise FitError("--param flow_rate and --param u_in: the flow rate sets u_in; fit one of them")
    for name in names:
        if name == FLOW_RATE and list(names).count(name) == 1:
            continue
        if name not in reals:
            raise FitError(f"--param {name}: not a real of the problem (reals: {', '.join(reals)})")
        if list(names).count(name) > 1:
            raise FitError(f"--param {name}: given twice")
    decades = f"{DEFAULT_DECADES} decades from the start"
    params = {}
    # diff_flow first: its upper bound is the default one of the other diffusivities
    for name in sorted(names, key=lambda n: n != "diff_flow"):
        if name == FLOW_RATE:
            from .. import units
            start = problem.u_in / units.centreline_velocity(1.0, width, problem.halfgap, problem.parabolic)
        else:
            start = getattr(problem, name)
        if start is None:  # washout_at not given: no washout
            raise FitError(f"--param {name}: the problem gives no {name} to start from (set it in "
                           "PHYSICS.INP)")
        if not start > 0:
            raise FitError(f"--param {name}: the start value {start:g} of the problem must be positive "
                           "(the fit works on the logarithm)")
        lo, hi = bounds.pop(name, (None, None))
        low, low_source = (start / 10.0 ** DEFAULT_DECADES, decades) if lo is None else (lo, "given")
        high, high_source = (start * 10.0 ** DEFAULT_DECADES, decades) if hi is None else (hi, "given")
        if name in PHYSICS_REALS:
            low, low_source, high, high_source = _physics_bounds(name, (low, low_source), (high, high_source),
                                                                 lo is None, hi is None)
        if hi is None and name in DIFFUSIVITIES:
            ceiling = _diffusivity_ceiling(problem, name, start, params)
            if ceiling is not None and ceiling[0] < high:
                high, high_source = ceiling
                if not start < high:
                    raise FitError(f"--param {name}: the start value {start:g} is not below its default "
                                   f"upper bound {short_number(high)} m2/s ({high_source}); start "
                                   f"lower, or give --bounds {name}=LO:HI")
        if not 0 < low < start < high:
            raise FitError(f"--bounds {name}={low:g}:{high:g}: expected 0 < LO < start value {start:g} < HI")
        params[name] = Parameter(name, start, low, high, low_source, high_source,
                                 width if name == FLOW_RATE else None)
    if bounds:
        raise FitError(f"--bounds {', '.join(bounds)}: not a fitted parameter (give it with --param)")
    return [params[name] for name in names]


def _physics_bounds(name: str, low, high, default_low: bool, default_high: bool):
    """The default bounds of a physics real (see :func:`make_parameters`):
    ``(low, source, high, source)`` from the four decades ``low``, ``high``
    (each ``(value, source)``), the sides not given (``default_*``) made
    physical."""
    (low, low_source), (high, high_source) = low, high
    if name.startswith("partition_"):
        if default_low:
            low, low_source = PARTITION_RANGE[0], "the range of a partition coefficient"
        if default_high:
            high, high_source = PARTITION_RANGE[1], "the range of a partition coefficient"
    elif name == "rate_gel" and default_high and RATE_LIMIT < high:
        high, high_source = RATE_LIMIT, "the fastest uptake rate taken by default"
    return low, low_source, high, high_source


def _diffusivity_ceiling(problem: Problem, name: str, start: float, fitted: dict):
    """The physical upper bound of the diffusivity ``name`` and its source,
    or None (see :func:`make_parameters`)."""
    if name == "diff_flow":
        if start >= WATER_DIFFUSIVITY_LIMIT:  # not SI units: no physical limit known
            return None
        return WATER_DIFFUSIVITY_LIMIT, "no solute diffuses faster in water"
    if "diff_flow" in fitted:
        return fitted["diff_flow"].high, "the upper bound of the fitted diff_flow"
    if problem.diff_flow > 0:
        return problem.diff_flow, "the channel's diffusivity"
    return None
