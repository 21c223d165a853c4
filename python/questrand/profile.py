"""The gel's concentration profile at the end of a run: what slicing the gel
after the experiment measures.

The observable ``c_gel_profile`` is the run's final concentration along y
at x = L/2 (L the channel length), as a function of the depth below the
gel's face (the membrane/gel interface, depth 0) down to its back face
(depth th_gel).  At x = L/2 the field is interpolated linearly between the
two columns of nodes either side; in depth the profile runs through the
gel's nodes (cell centres), with its two ends

    depth 0:       the parabola through the first three gel nodes (the line
                   through two when the gel has two rows), extended to the face;
    depth th_gel:  a closed back face (no flux): the parabola of zero slope
                   at the face through the last two nodes (uniform cells of
                   height h at h/2 and 3h/2 from it),
                       c_face = c_N - (c_(N-1) - c_N) / 8;
                   a sink (PHYSICS.INP gel_back = sink): 0,

so that any depth in [0, th_gel] has a model value and the refined grids
of the error estimate give values at the same depths.  The gel's
concentration is the one the field holds in the gel (K times the liquid's
under a partition coefficient), the one ``c_gel_mean`` averages.
"""

from __future__ import annotations

import numpy as np

#: The observable's name in data files and on the command line.
PROFILE_OBSERVABLE = "c_gel_profile"


def gel_profile(problem, c, *, scheme: str = "standard", program=None) -> tuple:
    """``(depth, value)`` of the end profile of ``problem``'s run from its
    final concentration field ``c``: an array of shape (nj, ni), node (I, J)
    at ``c[J-1, I-1]`` (the mirror rows and columns may hold anything).
    Depths in metres, ascending; values in the field's unit.  ``scheme``
    the run's (its columns: :meth:`questrand.grid.Grid.of`)."""
    from .grid import Grid

    grid = Grid.of(problem, scheme, program)
    c = np.asarray(c, dtype=np.float64)
    if c.shape != (grid.nj, grid.ni):
        raise ValueError(f"the field has shape {c.shape}, the problem's grid ({grid.nj}, {grid.ni})")
    gel = next(layer for layer in grid.layers if layer.name == "gel")
    # columns 2..ni-1 (indices 1..ni-2) hold interior nodes; L/2 lies between two of them
    x_mid = 0.5 * float(np.float32(problem.chlength))
    interior = grid.x[1:-1]
    k = int(np.clip(np.searchsorted(interior, x_mid) - 1, 0, len(interior) - 2)) if len(interior) > 1 else 0
    rows = slice(gel.j_first - 1, gel.j_last)
    if len(interior) == 1:
        along = c[rows, 1]
    else:
        x0, x1 = interior[k], interior[k + 1]
        w = (x_mid - x0) / (x1 - x0)
        along = (1.0 - w) * c[rows, k + 1] + w * c[rows, k + 2]
    depth = grid.y[rows] - gel.y_low
    near = min(len(along), 3)
    top = float(np.polyval(np.polyfit(depth[:near], along[:near], near - 1), 0.0))
    physics = problem.physics
    if physics is not None and physics.gel_back == "sink":
        back = 0.0
    else:
        back = along[-1] - (along[-2] - along[-1]) / 8.0 if len(along) > 1 else along[-1]
    th_gel = gel.y_high - gel.y_low
    return (np.concatenate(([0.0], depth, [th_gel])), np.concatenate(([top], along, [back])))


def field_from_node_file(path, problem) -> np.ndarray:
    """The field of an end-of-run concentration file (interior nodes, as the
    program prints them: every float to its last digit) as an (nj, ni)
    array in single precision read back (the values the run held), the
    mirror rows and columns NaN."""
    from .grid import Grid
    from .results import read_node_file

    grid = Grid.of(problem)
    _, _, (interior,) = read_node_file(path, 1, (grid.nj - 2, grid.ni - 2))
    field = np.full((grid.nj, grid.ni), np.nan)
    field[1:-1, 1:-1] = interior.astype(np.float32).astype(np.float64)
    return field
