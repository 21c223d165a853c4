"""ParaView files of a run: one VTK file per field time and a .pvd collection.

Each field time gives an unstructured-grid file (.vtu, written by meshio,
which writes no rectilinear grids) whose points are the interior nodes of
the run at z = 0, joined into quadrilaterals, so ParaView shows the
structured node lattice.  Point data: ``c`` at every time; at the end of the
run also ``p`` and ``velocity`` = (u, v, 0), the velocities interpolated to
the nodes as the program writes them, where the run solved the flow.  The
``.pvd`` file lists the files with their times for ParaView's time slider.
"""

from __future__ import annotations

import xml.etree.ElementTree as ET
from pathlib import Path

import meshio
import numpy as np

from . import files
from .grid import stem
from .results import Fields, Run


def mesh_of(fields: Fields) -> meshio.Mesh:
    """The node lattice of ``fields`` with its data as a meshio Mesh.

    Point k is node ``(x[i], y[j])`` with k = j * len(x) + i (rows outer, as
    in the program's field files).
    """
    nx, ny = len(fields.x), len(fields.y)
    xx, yy = np.meshgrid(fields.x, fields.y)
    points = np.column_stack([xx.ravel(), yy.ravel(), np.zeros(nx * ny)])
    index = np.arange(nx * ny).reshape(ny, nx)
    quads = np.column_stack([index[:-1, :-1].ravel(), index[:-1, 1:].ravel(),
                             index[1:, 1:].ravel(), index[1:, :-1].ravel()])
    cells = [("quad", quads)] if len(quads) else [("vertex", index.reshape(-1, 1))]
    data = {}
    if fields.c is not None:
        data["c"] = fields.c.ravel()
    if fields.p is not None:
        data["p"] = fields.p.ravel()
    if fields.u is not None and fields.v is not None:
        data["velocity"] = np.column_stack([fields.u.ravel(), fields.v.ravel(), np.zeros(nx * ny)])
    return meshio.Mesh(points, cells, point_data=data)


def field_times(run: Run) -> list:
    """``(time, label, Fields)`` for every field time of the run, in order
    (:meth:`questrand.Run.field_times`): the end-of-run fields replace the
    last step's when they share its time."""
    return run.field_times()


def write_vtk(run: Run, outdir=None) -> Path:
    """Write the ParaView files of ``run`` into ``outdir`` (default: the
    run's ``vtk`` directory).  Returns the path of the ``.pvd`` file."""
    entries = field_times(run)
    if not entries:
        raise ValueError(f"{run.workdir}: the run wrote no field files (.CON, .VEL, .PRS or T*.CON)")
    outdir = Path(outdir) if outdir is not None else run.workdir / "vtk"
    outdir.mkdir(parents=True, exist_ok=True)
    base = stem(run.problem.runname).rstrip(" ") or "run"
    collection = ET.Element("VTKFile", type="Collection", version="0.1")
    datasets = ET.SubElement(collection, "Collection")
    for time, label, fields in entries:
        name = f"{base}_{label}.vtu"
        with files.replacing(outdir / name) as partial:
            meshio.write(partial, mesh_of(fields), file_format="vtu")
        ET.SubElement(datasets, "DataSet", timestep=repr(float(time)), group="", part="0", file=name)
    pvd = outdir / f"{base}.pvd"
    ET.indent(collection)
    text = ET.tostring(collection, encoding="unicode")
    files.write_text(pvd, "<?xml version='1.0' encoding='utf-8'?>\n" + text + "\n")
    return pvd


def read_pvd(path) -> list:
    """``(time, path)`` of the data sets a .pvd collection lists."""
    path = Path(path)
    root = ET.parse(path).getroot()
    return [(float(d.get("timestep")), path.parent / d.get("file")) for d in root.iter("DataSet")]


def add_parser(subparsers):
    """The ``vtk`` command."""
    parser = subparsers.add_parser("vtk", help="ParaView files of a finished run",
                                   description="Write one VTK file per field time and a .pvd "
                                               "collection; print the .pvd path.")
    parser.add_argument("dir", help="run directory")
    parser.add_argument("-o", "--outdir", help="directory for the files (default: DIR/vtk)")
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    from .results import read_run

    print(write_vtk(read_run(args.dir), args.outdir))
    return 0
