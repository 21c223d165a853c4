"""The instrument's grid as the program builds it: node coordinates, layer
rows, probe points and the names of the files a run writes.

Rows and columns are numbered as in the program, from 1: column 1 and row 1
are mirror nodes outside the inlet and below the symmetry plane, column
``ni`` and row ``nj`` mirror nodes beyond the outlet and the outer edge of the
gel.  The interior nodes (I = 2..ni-1, J = 2..nj-1) are those of the field
files; in a numpy array of them, node (I, J) is element ``[J - 2, I - 2]``.
"""

from __future__ import annotations

import dataclasses

import numpy as np

from .problem import Problem, stem_bytes

#: The probe names of the monitor file, in column order after ``time``.
PROBE_NAMES = ("C(FlStr)", "C(FlMid)", "C(FlEnd)", "C(MembStr)", "C(MembMid)", "C(MembEnd)",
               "C(GelStr)", "C(GelMid)", "C(GelEnd)")
MONITOR_NAMES = ("time",) + PROBE_NAMES
LAYER_NAMES = ("channel", "membrane", "gel")


@dataclasses.dataclass(frozen=True)
class Probe:
    """One monitor probe: its header name, program column/row and position."""

    name: str
    i: int
    j: int
    x: float
    y: float

    @property
    def interior(self) -> bool:
        """False for a probe on the mirror row below the symmetry plane (a
        channel of one or two cell rows puts the mid-channel probe there):
        its value is not in the field files."""
        return self.j >= 2


@dataclasses.dataclass(frozen=True)
class Layer:
    """One layer: its name, first and last program row, lower and upper y."""

    name: str
    j_first: int
    j_last: int
    y_low: float
    y_high: float


@dataclasses.dataclass(frozen=True)
class Grid:
    """Node coordinates of every column and row (mirror nodes included)."""

    x: np.ndarray
    y: np.ndarray
    layers: tuple
    probes: tuple

    @property
    def ni(self) -> int:
        return len(self.x)

    @property
    def nj(self) -> int:
        return len(self.y)

    @property
    def x_interior(self) -> np.ndarray:
        """x of the interior columns I = 2..ni-1 (those of the field files)."""
        return self.x[1:-1]

    @property
    def y_interior(self) -> np.ndarray:
        """y of the interior rows J = 2..nj-1 (those of the field files)."""
        return self.y[1:-1]

    def layer_of_row(self, j: int) -> str:
        """The name of the layer that program row ``j`` belongs to."""
        for layer in self.layers:
            if layer.j_first <= j <= layer.j_last:
                return layer.name
        raise ValueError(f"row {j} lies outside the layers (rows 2..{self.nj - 1})")

    @classmethod
    def of(cls, problem: Problem, scheme: str = "standard", program=None) -> "Grid":
        """The grid the program builds for ``problem`` under ``scheme``
        (single precision).  The equal columns of the input follow its rule
        here; the graded columns of ``second-order-graded`` come from the
        program (``questrand --describe``, once per problem, scheme and
        program)."""
        f32 = np.float32
        ni, nj = problem.ni, problem.nj
        jflow2 = problem.n_flow + 1
        jmemb1, jmemb2 = problem.n_flow + 2, problem.n_flow + problem.n_memb + 1
        jgel1, jgel2 = jmemb2 + 1, nj - 1
        x = np.zeros(ni, dtype=np.float32)
        y = np.zeros(nj, dtype=np.float32)
        _uniform(x, f32(0.0), f32(problem.chlength), 2, ni - 1)
        x[0] = -x[1]
        x[-1] = f32(2.0) * f32(problem.chlength) - x[-2]
        if scheme not in EQUAL_COLUMN_SCHEMES:
            x = _described_columns(problem, scheme, program)
        halfgap, th_memb, th_gel = f32(problem.halfgap), f32(problem.th_memb), f32(problem.th_gel)
        _uniform(y, f32(0.0), halfgap, 2, jflow2)
        _uniform(y, halfgap, th_memb, jmemb1, jmemb2)
        _uniform(y, halfgap + th_memb, th_gel, jgel1, jgel2)
        y[0] = -y[1]
        y[-1] = f32(2.0) * (halfgap + th_memb + th_gel) - y[-2]
        top = halfgap + th_memb
        layers = (Layer("channel", 2, jflow2, 0.0, float(halfgap)),
                  Layer("membrane", jmemb1, jmemb2, float(halfgap), float(top)),
                  Layer("gel", jgel1, jgel2, float(top), float(top + th_gel)))
        ip = ni // 2
        rows = (2, jflow2 // 2, jflow2, jmemb1, jflow2 + (jmemb2 - jflow2 + 1) // 2, jmemb2,
                jgel1, jmemb2 + (jgel2 - jmemb2 + 1) // 2, jgel2)
        probes = tuple(Probe(name, ip, j, float(x[ip - 1]), float(y[j - 1]))
                       for name, j in zip(PROBE_NAMES, rows))
        return cls(x.astype(np.float64), y.astype(np.float64), layers, probes)


#: The schemes whose columns are the input's equal ones.
EQUAL_COLUMN_SCHEMES = ("standard", "second-order")

_DESCRIBED_COLUMNS: dict = {}


def _described_columns(problem: Problem, scheme: str, program) -> np.ndarray:
    """x of every column (mirror nodes included) as the program places them
    for ``problem`` under ``scheme``, single precision."""
    from .program import describe, find_program

    executable = find_program(program)
    key = (problem.text(), scheme, str(executable))
    if key not in _DESCRIBED_COLUMNS:
        x = np.asarray(describe(problem, executable, scheme=scheme)["grid"]["x"], dtype=np.float32)
        if len(x) != problem.ni:
            raise ValueError(f"questrand --describe gave {len(x)} columns for a problem of {problem.ni}")
        _DESCRIBED_COLUMNS[key] = x
    return _DESCRIBED_COLUMNS[key].copy()


def _uniform(p, start, span, first, last):
    """Centres of equal cells on [start, start + span] into rows first..last
    (program numbering), as a running sum in single precision."""
    n = last - first + 1
    if n < 1:
        return
    delta = np.float32(span / np.float32(n))
    p[first - 1] = start + np.float32(0.5) * delta
    for k in range(first, last):
        p[k] = p[k - 1] + delta


def stem(runname: str) -> str:
    """The stem of the end-of-run file names: the run name up to its first
    point, or its first 8 bytes (blanks included) when the point is missing,
    first or beyond column 9.  Columns count the bytes of the UTF-8 name, as
    the program does."""
    return stem_bytes(runname.encode("utf-8")).decode("utf-8", errors="replace")


def restart_name(runname: str) -> str:
    """The restart file name the program reads and writes for ``runname``."""
    name = runname.encode("utf-8").ljust(12)
    if not name.strip():
        return ""
    k = name.find(b".")
    base = name[:k] if k >= 0 else name.rstrip(b" ")
    return (base + b".sav")[:12].rstrip(b" ").decode("utf-8", errors="replace")


def uptake_name(runname: str) -> str:
    """The uptake file name the program writes for ``runname``: the stem
    without its trailing blanks, then ``.UPT``."""
    return stem(runname).rstrip(" ") + ".UPT"


def listing_name(runname: str) -> str:
    """The listing file name: the run name without its trailing blanks."""
    return runname.rstrip(" ")


def step_stem(step: int) -> str:
    """The stem of the step-stamped concentration files, e.g. T00012."""
    return f"T{step:05d}"
