"""Quantities with units, as an experimenter writes them: "0.5 mL/min",
"10 mm", "Time [min]", "Outlet conc. [mg/L]".

Why a table of our own: the toolkit uses Debian's /usr/bin/python3 and
nothing from pip, and Debian's python3-pint is not installed there; the
quantities an instrument's file carries are few (times, lengths, volume
flows, mass and molar concentrations), so a small table of symbols with
their SI factors and dimensions does all the toolkit needs.

A unit is a product of symbols, each with an optional integer power
(``m3``, ``m^3``, ``s-1``), separated by ``*``, ``·`` or a blank, with at
most one ``/``: everything after it is divided (``mL/min``, ``mol/m3``,
``kg/(m·s)`` is not read: write ``kg/m/s``).  A value in the unit ``U`` is
``value * factor(U)`` in SI units (m, kg, s, mol); two units convert into
each other only when their dimensions are equal, so a molar concentration
never becomes a mass concentration without a molar mass.
"""

from __future__ import annotations

import math
import re

from .errors import QuestrandError


class UnitError(QuestrandError, ValueError):
    """A unit the table does not know, or a conversion between dimensions."""


# dimension exponents: (length, mass, time, amount)
_L, _M, _T, _N = (1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1)
_LITRE = ((3, 0, 0, 0), 1e-3)

#: symbol -> (SI factor, dimension); "u" and "µ" both mean micro.
_SYMBOLS = {
    "m": (1.0, _L), "cm": (1e-2, _L), "mm": (1e-3, _L), "um": (1e-6, _L), "nm": (1e-9, _L),
    "kg": (1.0, _M), "g": (1e-3, _M), "mg": (1e-6, _M), "ug": (1e-9, _M), "ng": (1e-12, _M),
    "pg": (1e-15, _M),
    "s": (1.0, _T), "ms": (1e-3, _T), "min": (60.0, _T), "h": (3600.0, _T), "d": (86400.0, _T),
    "mol": (1.0, _N), "mmol": (1e-3, _N), "umol": (1e-6, _N), "nmol": (1e-9, _N), "pmol": (1e-12, _N),
    "L": (1e-3, _LITRE[0]), "l": (1e-3, _LITRE[0]), "mL": (1e-6, _LITRE[0]),
    "uL": (1e-9, _LITRE[0]), "nL": (1e-12, _LITRE[0]),
    "M": (1e3, (-3, 0, 0, 1)), "mM": (1.0, (-3, 0, 0, 1)), "uM": (1e-3, (-3, 0, 0, 1)),
}
_SPELLINGS = {"sec": "s", "hr": "h", "hour": "h", "hours": "h",
              "minutes": "min", "mins": "min", "ml": "mL", "ul": "uL"}

TIME = _T
LENGTH = _L
VELOCITY = (1, 0, -1, 0)
VOLUME_FLOW = (3, 0, -1, 0)
MASS_CONCENTRATION = (-3, 1, 0, 0)
MOLAR_CONCENTRATION = (-3, 0, 0, 1)
#: the unit "%": a concentration as a percentage of the inlet concentration c_in
PERCENT_OF_C_IN = "%"


def _symbol(token: str):
    """(factor, dimension) of one symbol with its power, e.g. ``m3``, ``s-1``."""
    match = re.fullmatch(r"([A-Za-zµμ]+)\^?(-?\d+)?", token)
    if not match:
        raise UnitError(f"unit {token!r}: expected a symbol such as s, min, mm, mL, mg, mol "
                        "with an optional power (m3)")
    name, power = match.group(1), int(match.group(2) or 1)
    name = name.replace("µ", "u").replace("μ", "u")
    name = _SPELLINGS.get(name, name)
    if name not in _SYMBOLS:
        raise UnitError(f"unit {match.group(1)!r}: not one the toolkit knows "
                        f"(known: {', '.join(sorted(_SYMBOLS, key=str.lower))})")
    factor, dimension = _SYMBOLS[name]
    return factor ** power, tuple(power * d for d in dimension)


def parse_unit(text: str):
    """(SI factor, dimension) of a unit text such as ``mL/min``; ``1`` or
    empty: a pure number.  Raises :class:`UnitError`."""
    text = text.strip()
    if text in ("", "1", "-"):
        return 1.0, (0, 0, 0, 0)
    parts = text.split("/")
    if len(parts) > 3 or any(not p.strip() for p in parts):
        raise UnitError(f"unit {text!r}: expected symbols with at most two '/', e.g. mL/min")
    factor, dimension = 1.0, [0, 0, 0, 0]
    for k, part in enumerate(parts):
        sign = 1 if k == 0 else -1
        for token in re.split(r"[*·\s]+", part.strip()):
            f, d = _symbol(token)
            factor *= f ** sign
            dimension = [a + sign * b for a, b in zip(dimension, d)]
    return factor, tuple(dimension)


def to_si(value: float, unit: str, dimension=None, what: str = "value") -> float:
    """``value`` in ``unit`` as SI (m, kg, s, mol); ``dimension`` (e.g.
    :data:`TIME`) checked when given."""
    factor, found = parse_unit(unit)
    if dimension is not None and found != tuple(dimension):
        raise UnitError(f"{what}: unit {unit!r} is not a {_DIMENSION_NAMES.get(tuple(dimension), dimension)}")
    return value * factor


def convert(value, unit_from: str, unit_to: str):
    """``value`` (a number or a numpy array) in ``unit_from`` expressed in
    ``unit_to``; the dimensions must be equal."""
    f_from, d_from = parse_unit(unit_from)
    f_to, d_to = parse_unit(unit_to)
    if d_from != d_to:
        raise UnitError(f"cannot convert {unit_from} to {unit_to}: not the same kind of quantity")
    return value * (f_from / f_to)


def parse_quantity(text, dimension=None, what: str = "value") -> float:
    """The SI value of ``text``, a number with a unit (``"0.5 mL/min"``,
    ``"10mm"``); a plain number is taken as SI already.  ``dimension``
    checked when given."""
    if isinstance(text, (int, float)):
        return float(text)
    match = re.fullmatch(r"\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)\s*(.*?)\s*", str(text))
    if not match:
        raise UnitError(f"{what}: expected a number with a unit, e.g. 0.5 mL/min, found {text!r}")
    number, unit = float(match.group(1)), match.group(2)
    if not math.isfinite(number):
        raise UnitError(f"{what}: expected a finite number, found {text!r}")
    if not unit:
        return number
    return to_si(number, unit, dimension, what)


_DIMENSION_NAMES = {TIME: "time", LENGTH: "length", VELOCITY: "velocity",
                    VOLUME_FLOW: "volume flow", MASS_CONCENTRATION: "mass concentration",
                    MOLAR_CONCENTRATION: "molar concentration"}


def split_header(cell: str):
    """A column header ``Name [unit]`` as ``(name, unit)``; ``(name, None)``
    when it has no bracketed unit."""
    match = re.fullmatch(r"\s*(.*?)\s*\[\s*([^\]]*?)\s*\]\s*", cell)
    if not match:
        return cell.strip(), None
    return match.group(1), match.group(2)


def is_concentration(unit: str) -> bool:
    """True for a mass or molar concentration unit (mg/L, mol/m3, ...)."""
    return unit == PERCENT_OF_C_IN or parse_unit(unit)[1] in (MASS_CONCENTRATION, MOLAR_CONCENTRATION)


# -- the instrument's flow as the model's inlet velocity -------------------------
def centreline_velocity(flow_rate: float, width: float, halfgap: float, parabolic: bool = True) -> float:
    """The inlet velocity ``u_in`` (m/s) of a volume flow ``flow_rate``
    (m3/s) through a channel ``width`` (m) wide whose full gap is
    2 ``halfgap`` (the model holds the half above the symmetry plane).

    Plane Poiseuille flow between walls at y = ±h:
        u(y) = u_max (1 - y²/h²),
        Q = W ∫_{-h}^{h} u dy = W · 2h · (2/3) u_max,
    so the mean velocity is Q/(W·2h) and the centreline value
        u_max = 1.5 · Q/(W·2h).
    With a flat (plug) inlet profile u_in is the mean, Q/(W·2h).  The
    width's side walls are neglected (W ≫ 2h)."""
    if not (flow_rate > 0 and width > 0 and halfgap > 0):
        raise UnitError(f"flow_rate, width and halfgap must be positive (found {flow_rate:g} m3/s, "
                        f"{width:g} m, {halfgap:g} m)")
    mean = flow_rate / (width * 2.0 * halfgap)
    return 1.5 * mean if parabolic else mean


# -- a value named with its unit, for legends ---------------------------------------
#: the unit a legend shows an instrument quantity in (the toolkit keeps SI)
SHOWN_UNITS = {"flow_rate": "mL/min", "width": "mm"}


def value_label(name: str, value) -> str:
    """``name = value unit`` for a legend: a PROB.INP real with the unit
    the program's input description gives it (``u_in = 0.002 m/s``), an
    instrument quantity in the unit people give it (``flow_rate = 0.5
    mL/min``); other values as they are."""
    from .input_checks import INPUT

    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return f"{name} = {value}"
    if name in SHOWN_UNITS:
        return f"{name} = {convert(value, _SI_OF[name], SHOWN_UNITS[name]):.4g} {SHOWN_UNITS[name]}"
    unit = next((entry.get("unit") for entry in INPUT["values"] if entry["name"] == name), None)
    shown = f"{value:.4g}" if isinstance(value, float) else str(value)
    return f"{name} = {shown}" + (f" {unit}" if unit and unit not in ("-", "1", "any", "concentration") else "")


_SI_OF = {"flow_rate": "m3/s", "width": "m"}


# -- the units of the program's outputs, for files and axis labels ------------------
#: The program's concentrations are in the unit of the inlet concentration
#: c_in (any unit), its lengths in m and its times in s.
C_UNIT = "unit of c_in"
#: units of the uptake file's amounts and flux (per metre of depth:
#: sum of c·V / depth, and that per second) and of its balance (a ratio);
#: its other columns (c_...) are concentrations.
UPTAKE_UNITS = {"m_flow": f"{C_UNIT} m2", "m_memb": f"{C_UNIT} m2", "m_gel": f"{C_UNIT} m2",
                "m_sink": f"{C_UNIT} m2", "m_reacted": f"{C_UNIT} m2",
                "flux_memb_gel": f"{C_UNIT} m2/s", "balance": "1"}


def output_unit(name: str) -> str | None:
    """The unit of one of the program's outputs: ``time`` in s, an uptake
    amount or flux (:data:`UPTAKE_UNITS`), a concentration (a probe
    ``C(...)``, an uptake column ``c_...``) in :data:`C_UNIT`; None for a
    name the program does not write."""
    if name == "time":
        return "s"
    if name in UPTAKE_UNITS:
        return UPTAKE_UNITS[name]
    return C_UNIT if name.startswith(("C(", "c_")) else None


def axis_label(quantity: str, unit: str | None) -> str:
    """``quantity [unit]``, the label of a figure's axis (``1`` for a
    quantity of dimension one); the quantity alone when the unit is not known."""
    return f"{quantity} [{unit}]" if unit else quantity


# -- amounts per metre of depth as amounts in the whole cell ---------------------------
#: The program's amounts per metre of depth (the uptake file's m_...): what
#: the cell holds is that times its width.
AMOUNTS_PER_DEPTH = ("m_flow", "m_memb", "m_gel", "m_sink", "m_reacted")
#: the units an amount in the cell is shown in, largest first: a mass, an
#: amount of substance, or (c_in standing for nothing absolute) c_in times a volume
_AMOUNT_STEPS = {MASS_CONCENTRATION: ("kg", "g", "mg", "ug", "ng", "pg"),
                 MOLAR_CONCENTRATION: ("mol", "mmol", "umol", "nmol", "pmol"),
                 None: ("m3", "L", "mL", "uL", "nL")}


def parse_c_in(text: str):
    """What the problem's c_in stands for, ``"10 mg/L"``: ``(SI value,
    dimension)`` of a positive mass or molar concentration."""
    match = re.fullmatch(r"\s*([-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?)\s*(.*?)\s*", str(text))
    number = float(match.group(1)) if match else math.nan
    if not (match and match.group(2) and math.isfinite(number) and number > 0):
        raise UnitError(f"--c-in {text}: expected a positive concentration with its unit, e.g. 10 mg/L")
    factor, dimension = parse_unit(match.group(2))
    if dimension not in (MASS_CONCENTRATION, MOLAR_CONCENTRATION):
        raise UnitError(f"--c-in {text}: {match.group(2)} is not a mass or molar concentration (mg/L, mol/m3)")
    return number * factor, dimension


class CellAmount:
    """The amount in the whole cell of an amount per metre of depth.

    The program's m = Σ c·V / depth (unit of c_in · m²: the model is a
    section one metre deep) of the modelled domain, which is by default the
    half of the cell above its symmetry plane (a membrane and a gel on both
    walls: ``copies`` = 2, :func:`domain_copies`) or, with a plain wall
    opposite the membrane (``lower_face = wall``), the whole cell
    (``copies`` = 1); the cell of width W holds

        M = copies · m · W              (unit of c_in · m³),

    and where c_in stands for an absolute concentration C_in (``c_in`` =
    "10 mg/L", 0.01 kg/m³) one unit of the program's c is C_in / c_in of
    the problem, so

        M = copies · m · W · C_in / c_in      (kg, or mol for a molar C_in).

    Without C_in the amount stays in units of c_in times a volume (c_in · L:
    copies · m · W · 1000).  The unit shown is the one in which ``largest`` (the
    largest |m| to be shown) lies in [1, 1000): ug or ng for mg/L and a
    cell of millimetres.  ``scale`` turns m into M in that unit."""

    def __init__(self, width: float, largest: float, c_in=None, problem_c_in: float = 1.0, copies: int = 2):
        if not width > 0:
            raise UnitError(f"width {width:g} m: expected a positive cell width, e.g. 10 mm")
        self.width, self.copies = float(width), int(copies)
        if c_in is None:
            per_si, dimension = 1.0, None
        else:
            c_in_si, dimension = parse_c_in(c_in)
            per_si = c_in_si / problem_c_in
        steps = _AMOUNT_STEPS[dimension]
        si_symbol = "kg" if dimension == MASS_CONCENTRATION else ("mol" if dimension else "m3")
        largest_si = abs(largest) * self.copies * self.width * per_si
        unit = steps[-1]
        for symbol in steps:
            if largest_si / convert(1.0, symbol, si_symbol) >= 1.0:
                unit = symbol
                break
        self.scale = self.copies * self.width * per_si / convert(1.0, unit, si_symbol)
        self.unit = unit if dimension else f"{C_UNIT} {unit}"

    def __call__(self, per_depth):
        """M in :attr:`unit` of ``per_depth`` (a number or an array)."""
        return per_depth * self.scale

    def label(self) -> str:
        """How the amount is named beside its value: in the whole cell, of its width."""
        walls = "both walls" if self.copies == 2 else "one wall"
        return f"in the cell ({self.width * 1e3:.4g} mm wide, {walls})"


def domain_copies(problem) -> int:
    """How many copies of the modelled domain make the cell: 2 where it is
    the half above a symmetry plane (the default), 1 where y = 0 is a
    plain wall (the physics' ``lower_face = wall``)."""
    physics = getattr(problem, "physics", None)
    return 1 if physics is not None and getattr(physics, "lower_face", "symmetry") == "wall" else 2
