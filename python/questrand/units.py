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
    "s": (1.0, _T), "ms": (1e-3, _T), "min": (60.0, _T), "h": (3600.0, _T), "d": (86400.0, _T),
    "mol": (1.0, _N), "mmol": (1e-3, _N), "umol": (1e-6, _N), "nmol": (1e-9, _N),
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
