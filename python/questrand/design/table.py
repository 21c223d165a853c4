"""Candidate experiments: the rows of DESIGNS.csv (and ``--grid``).

DESIGNS.csv has a header line and one candidate experiment per row:

- ``id``: the design's name (letters, digits and ``. _ = + , -``);
- ``observable``: what is measured, any column a fit can use (a monitor
  probe such as ``C(GelMid)``, an uptake column such as ``c_gel_mean`` or
  ``m_gel``, or a physical point value ``c_memb_mid``, ``c_gel_mid``,
  ``c_gel_top``);
- ``t_start``, ``t_end``, ``n_samples``: the sampling times, ``n_samples``
  equally spaced from ``t_start`` to ``t_end`` (both included), in seconds
  or in the unit the header gives them, ``t_start [min]``;
- ``sigma``: the standard deviation of one sample (absolute); an optional
  ``sigma_rel`` adds a part proportional to the value,
  sigma_i = sqrt(sigma^2 + (sigma_rel y_i)^2);
- then any problem values by name (``u_in``, ``th_gel``, ``dt`` ...); an
  empty cell keeps the base problem's value.

The run of a design lasts just to ``t_end``: its number of steps is
ceil(t_end / dt).  Blank lines and lines starting with ``#`` are skipped.
``--grid NAME=v1,v2`` repeats every row for every combination of the
listed values (the id gets ``__NAME=value`` appended), as in the sweep.
"""

from __future__ import annotations

import dataclasses
import itertools
import math
from pathlib import Path

import numpy as np

from .. import files, tables, units
from ..errors import QuestrandError
from ..fit import OBSERVABLES
from ..profile import PROFILE_OBSERVABLE
from ..problem import Problem
from ..sweep import ID_PATTERN, _FIELD_TYPES, grid_assignments, parse_value

REQUIRED = ("id", "observable", "t_start", "t_end", "n_samples", "sigma")
OPTIONAL = ("sigma_rel",)


class DesignError(QuestrandError, ValueError):
    """A design table or design that cannot be used; the message says why."""


@dataclasses.dataclass
class Design:
    """One candidate experiment."""

    id: str
    observable: str
    t_start: float
    t_end: float
    n_samples: int
    sigma: float
    values: dict                  # problem values it changes
    sigma_rel: float = 0.0
    where: str = ""               # the row it comes from, for messages

    @property
    def times(self) -> np.ndarray:
        return np.linspace(self.t_start, self.t_end, self.n_samples)

    def sigmas(self, curve) -> np.ndarray:
        """The standard deviation of each sample given the curve's values."""
        curve = np.asarray(curve, dtype=float)
        return np.sqrt(self.sigma ** 2 + (self.sigma_rel * curve) ** 2)

    def problem(self, base: Problem) -> Problem:
        """The base problem with this design's values, run to ``t_end``."""
        try:
            problem = base.replace(**self.values)
        except TypeError as exc:
            raise DesignError(f"{self.where}: {exc}") from None
        if not problem.steady and problem.dt > 0:
            steps = max(1, math.ceil(self.t_end / float(np.float32(problem.dt)) - 1e-6))
            problem = problem.replace(nsteps=steps, prt_step=steps)
        for fault in problem.faults():
            column = next((n for n in fault.names if n in self.values), fault.names[0] if fault.names else "?")
            raise DesignError(f"{self.where}, column {column}: {fault.message()}")
        return problem


def _number(cell: str, where: str, column: str, *, integer=False, low=0.0, strict=False):
    text = cell.strip()
    try:
        value = int(text) if integer else float(text)
    except ValueError:
        value = None
    if value is None or not math.isfinite(value) or (value <= low if strict else value < low):
        kind = "an integer" if integer else "a number"
        bound = f"greater than {low:g}" if strict else f"at least {low:g}"
        raise DesignError(f"{where}, column {column}: expected {kind} {bound}, found {text!r}")
    return value


def read_designs(path, params=(), grid=None) -> list:
    """The designs of the table ``path`` (see the module notes), each row
    repeated over the ``grid`` (``["NAME=v1,v2", ...]``).  ``params``, the
    parameters to be measured, may not be set by a design.  Raises
    :class:`DesignError` naming the file, line and column."""
    path = Path(path)
    try:
        table = tables.read_table(path, "design table")
    except files.InputFileError as exc:
        raise DesignError(str(exc)) from None
    if not table:
        raise DesignError(f"{path}: empty file; expected a header line with {', '.join(REQUIRED)}")
    lines, records = [(n, None) for n, _ in table], [cells for _, cells in table]
    head_no = lines[0][0]
    split = [units.split_header(cell.strip()) for cell in records[0]]
    header = [name for name, _ in split]
    seconds_per = {"t_start": 1.0, "t_end": 1.0}  # the times' unit, from the header (default s)
    for column, (name, unit) in enumerate(split, 1):
        if unit is None:
            continue
        if name not in seconds_per:
            raise DesignError(f"{path}: line {head_no} (header), column {column}: a unit [{unit}] is read on "
                              f"t_start and t_end only; give {name}'s unit in its cells (0.5 mL/min, 10 mm) "
                              "or none")
        try:
            seconds_per[name] = units.to_si(1.0, unit, units.TIME, name)
        except units.UnitError as exc:
            raise DesignError(f"{path}: line {head_no} (header), column {column}: {exc}") from None
    for name in REQUIRED:
        if name not in header:
            raise DesignError(f"{path}: line {head_no} (header): no column {name!r} "
                              f"(expected {', '.join(REQUIRED)}, then problem values)")
    for column, name in enumerate(header, 1):
        if header.index(name) != column - 1:
            raise DesignError(f"{path}: line {head_no} (header), column {column}: {name!r} appears twice")
        if name in REQUIRED or name in OPTIONAL:
            continue
        if name not in _FIELD_TYPES or name == "runname":
            raise DesignError(f"{path}: line {head_no} (header), column {column}: {name!r} is not a "
                              f"problem value (expected {', '.join(REQUIRED + OPTIONAL)} or one of: "
                              f"{', '.join(n for n in _FIELD_TYPES if n != 'runname')})")
        if name in params:
            raise DesignError(f"{path}: line {head_no} (header), column {column}: {name!r} is a "
                              "parameter to measure; give its nominal value with --at NAME=VALUE")
    grid_names, grid_lists = _grid(grid, header, params)
    designs, seen = [], {}
    for (line_no, _), cells in zip(lines[1:], records[1:]):
        where = f"{path}: line {line_no}"
        if len(cells) != len(header):
            raise DesignError(f"{where}: expected {len(header)} values as in the header, found {len(cells)}")
        row = dict(zip(header, cells))
        design_id = row["id"].strip()
        observable = row["observable"].strip()
        if observable not in OBSERVABLES or observable == PROFILE_OBSERVABLE:
            raise DesignError(f"{where}, column observable: expected one of "
                              f"{', '.join(o for o in OBSERVABLES if o != PROFILE_OBSERVABLE)} (curves in time; "
                              f"the gel's end profile {PROFILE_OBSERVABLE} is fitted, not planned here), "
                              f"found {observable!r}")
        t_start = _number(row["t_start"], where, "t_start") * seconds_per["t_start"]
        t_end = _number(row["t_end"], where, "t_end") * seconds_per["t_end"]
        if t_end < t_start:
            raise DesignError(f"{where}, column t_end: expected a number at least t_start = {t_start:g} s, "
                              f"found {row['t_end'].strip()!r}")
        n = _number(row["n_samples"], where, "n_samples", integer=True, low=1)
        if n > 1 and not t_end > t_start:
            raise DesignError(f"{where}, column t_end: expected a time after t_start = {t_start:g} "
                              f"for {n} samples, found {row['t_end'].strip()!r}")
        sigma = _number(row["sigma"], where, "sigma")
        sigma_rel = _number(row["sigma_rel"], where, "sigma_rel") if row.get("sigma_rel", "").strip() else 0.0
        if not sigma > 0 and not sigma_rel > 0:
            raise DesignError(f"{where}, column sigma: expected a standard deviation greater than 0 "
                              f"(or a sigma_rel), found {row['sigma'].strip()!r}")
        values = {}
        for name, cell in row.items():
            if name in REQUIRED or name in OPTIONAL or not cell.strip():
                continue
            try:
                values[name] = parse_value(name, cell)
            except ValueError as exc:
                raise DesignError(f"{where}, column {name}: {exc}") from None
        for combo in itertools.product(*grid_lists) if grid_names else [()]:
            full_id = "__".join([design_id] + [f"{g}={t}" for g, (t, _) in zip(grid_names, combo)])
            if not ID_PATTERN.fullmatch(full_id):
                raise DesignError(f"{where}, column id: expected an id of letters, digits and "
                                  f". _ = + , - (at most 100), found {full_id!r}")
            if full_id in seen:
                raise DesignError(f"{where}, column id: the id {full_id!r} is already used on {seen[full_id]}")
            seen[full_id] = where.rpartition(": ")[2]
            more = {g: v for g, (_, v) in zip(grid_names, combo)}
            designs.append(Design(full_id, observable, t_start, t_end, n, sigma, {**values, **more},
                                  sigma_rel, where))
    if not designs:
        raise DesignError(f"{path}: no designs (expected at least one row after the header)")
    return designs


def _grid(assignments, header, params):
    """The ``--grid`` assignments (as the sweep reads them); a name may not
    also be a column of the table or a parameter to measure."""
    return grid_assignments(assignments, "--grid", taken=(*header, *params), error=DesignError)


def parse_at(texts, names) -> dict:
    """``["NAME=VALUE", ...]`` -> ``{NAME: value}`` for parameters in ``names``."""
    out = {}
    for text in texts or ():
        name, eq, value = text.partition("=")
        name = name.strip()
        try:
            number = float(value)
        except ValueError:
            number = math.nan
        if not eq or name not in names or not number > 0 or not math.isfinite(number):
            raise DesignError(f"--at {text}: expected NAME=VALUE with NAME one of the parameters "
                              f"({', '.join(names)}) and a positive value")
        out[name] = number
    return out
