"""A run as one NetCDF file (``questrand netcdf``).

The file holds :meth:`questrand.Run.to_xarray`: the fields over (time, y,
x), the layers along y, the monitor and uptake histories over their own
times, and every value of the problem as a global attribute.  It is written
by xarray with the netCDF4 library (NetCDF-4 format), whole or not at all;
an existing file is replaced only when it is a NetCDF file itself.

Every numeric variable and coordinate carries a ``units`` attribute (CF
conventions, UDUNITS spellings): s, m, m/s, Pa; counts and indices "1".
Concentrations are in the unit of the problem's c_in, whatever that is
(PROB.INP gives c_in as a bare number): their ``units`` is
``"unit of c_in"`` (not a UDUNITS unit; the ``c_in`` global attribute gives
the inlet value), and the layer amounts per unit depth are that unit times
m2 (Σ c·V per metre of depth), the flux across the membrane/gel face per
unit depth that times m2/s.  Given what the problem's c_in stands for
(``--c-in "10 mg/L"``), the concentrations are written in that unit,
c · (10 mg/L) / c_in, and the amounts and the flux in it times m2 and
m2/s ("mg/L m2"); the global attribute ``c_in_quantity`` names it.
"""

from __future__ import annotations

import os
from pathlib import Path

import netCDF4  # noqa: F401  (the engine xarray writes with)
import xarray  # noqa: F401

from . import files
from .errors import QuestrandError
from .grid import stem
from .results import Run
from .units import C_UNIT, UPTAKE_UNITS  # the units of the uptake file's columns

#: The first bytes of a NetCDF file: classic formats, and NetCDF-4 (HDF5).
_SIGNATURES = (b"CDF\x01", b"CDF\x02", b"CDF\x05", b"\x89HDF\r\n\x1a\n")


class NetcdfError(QuestrandError, ValueError):
    """A NetCDF file that cannot be written; the message says why."""


def default_path(run: Run) -> Path:
    """``DIR/<stem>.nc``: the run's directory and the stem of its run name."""
    return run.workdir / f"{stem(run.problem.runname).rstrip(' ') or 'run'}.nc"


def write_netcdf(run: Run, path=None, c_in=None) -> Path:
    """Write ``run.to_xarray()`` to ``path`` (default :func:`default_path`; a
    directory, or a path ending in "/": the default name in it, the
    directory made when missing); returns the path.  Refuses to
    replace a file that is not NetCDF.  ``c_in``: what the problem's c_in
    stands for ("10 mg/L"); the concentrations are then written in its
    unit (:func:`in_concentration_unit`)."""
    scale = unit = None
    if c_in is not None:
        scale, unit = concentration_scale(c_in, run.problem.c_in)
    directory = path is not None and str(path).endswith(("/", os.sep))
    path = Path(path) if path is not None else default_path(run)
    if directory or path.is_dir():
        path = path / default_path(run).name
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.exists():
        with open(path, "rb") as existing:
            head = existing.read(8)
        if not head.startswith(_SIGNATURES):
            raise NetcdfError(f"{path}: exists and is not a NetCDF file; not replaced "
                              "(remove it or choose another file with -o)")
    dataset = with_units(run.to_xarray())
    if c_in is not None:
        dataset = in_concentration_unit(dataset, scale, unit, c_in)
    with files.replacing(path) as partial:
        dataset.to_netcdf(partial, engine="netcdf4")
    return path


def with_units(dataset):
    """``dataset`` with a ``units`` attribute on every numeric variable
    and coordinate that has none: the uptake columns as
    :data:`UPTAKE_UNITS` (the other uptake columns and ``probe_c`` are
    concentrations), counts and indices "1"."""
    for name in list(dataset.variables):
        variable = dataset[name].variable
        if "units" in variable.attrs or variable.dtype.kind not in "iufb":
            continue
        column = name.removeprefix("uptake_")
        if name in ("probe_c",) or (dataset[name].dims == ("uptake_time",) and column.startswith("c_")):
            variable.attrs["units"] = C_UNIT
        elif dataset[name].dims == ("uptake_time",) and column in UPTAKE_UNITS:
            variable.attrs["units"] = UPTAKE_UNITS[column]
        else:
            variable.attrs["units"] = "1"
    return dataset


def concentration_scale(c_in: str, problem_c_in: float):
    """``(scale, unit)``: the problem's c_in stands for the quantity
    ``c_in`` ("10 mg/L", an absolute concentration), so one unit of the
    problem's c is scale = 10 / c_in of ``unit``."""
    from . import units
    from .fit.data import FitError, _quantity_parts

    try:
        number, unit = _quantity_parts(c_in)
    except (FitError, units.UnitError):
        number, unit = None, None
    if unit is None or not units.is_concentration(unit):
        raise NetcdfError(f"--c-in {c_in}: expected a positive concentration with its unit, e.g. 10 mg/L")
    if not problem_c_in > 0:
        raise NetcdfError(f"--c-in {c_in}: the problem's c_in is {problem_c_in:g}; a unit needs c_in > 0")
    return number / problem_c_in, unit


def in_concentration_unit(dataset, scale: float, unit: str, c_in: str):
    """``dataset`` (with :func:`with_units`) with every variable in the unit
    of c_in (a concentration, an amount "... m2", a flux "... m2/s")
    multiplied by ``scale`` and its units spelt with ``unit``."""
    for name in list(dataset.variables):
        variable = dataset[name].variable
        units_attr = variable.attrs.get("units", "")
        if units_attr == C_UNIT or units_attr.startswith(C_UNIT + " "):
            attrs = dict(variable.attrs, units=unit + units_attr[len(C_UNIT):])
            dataset[name] = dataset[name] * scale
            dataset[name].attrs.update(attrs)
    dataset.attrs["c_in_quantity"] = str(c_in).strip()
    return dataset


def add_parser(subparsers):
    """The ``netcdf`` command."""
    parser = subparsers.add_parser("netcdf", help="a finished run as one NetCDF file",
                                   description="Write the fields, layers, histories and problem "
                                               "values of a finished run as one NetCDF file "
                                               "(xarray, netCDF4); print its path.")
    parser.add_argument("dir", help="run directory")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="the NetCDF file, or a directory for it (default: "
                             "DIR/<run-name stem>.nc, e.g. DIR/UPTAKE.nc)")
    parser.add_argument("--c-in", metavar="QUANTITY",
                        help="the inlet concentration the problem's c_in stands for, e.g. \"10 mg/L\": "
                             "the concentrations are written in its unit (default: in units of c_in)")
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    from .results import read_run

    print(write_netcdf(read_run(args.dir), args.output, c_in=args.c_in))
    return 0
