"""A grid-independent reference for the instrument's concentration with flow.

An independent double-precision finite-volume solution of the continuous
problem the program models; no part of questrand computes it (it reads only
the values of a :class:`questrand.problem.Problem`).

The continuous problem (plane geometry, per unit depth)
-------------------------------------------------------
Domain 0 < x < L, 0 < y < H = h + a + b: the channel 0 < y < h (h the
half-gap), the membrane h < y < h + a, the gel h + a < y < H.  Flow only in
the channel, fully developed:

    u(y) = u_in (1 - (y/h)^2),   v = 0          (u_in the centreline value)

and the species obeys, with D = D_flow, D_memb, D_gel in the three layers,

    dc/dt + u dc/dx = d/dx(D dc/dx) + d/dy(D dc/dy)

with c and the normal flux D dc/dy continuous at y = h and y = h + a (no
partition, no interface resistance).  Boundaries: y = 0 symmetry (no flux);
y = H closed; membrane and gel closed at x = 0 and x = L; channel inlet
x = 0: c = c_in; channel outlet x = L: convective outflow, no diffusive
flux.  c = 0 at t = 0 everywhere, the inlet at c_in from t = 0.

With ``face_held`` the channel is left out and the membrane face y = h is
held at c_in (the limit of a channel that stays at c_in): the membrane/gel
stack is then the two-layer slab of ``slab_series.py``, uniform in x.

Space: cell-centred finite volumes on a graded tensor mesh
---------------------------------------------------------
Every layer boundary is a row face, and so are the sample points' lines
x = L/2 and the membrane's and gel's mid-depths (a point value then comes
from the two nodes either side at every level, the same formula on every
level, so it converges like the field).  The faces come from smooth maps of
a uniform parameter (:func:`graded`) whose cells are uniform away from the
fine ends and shrink like (distance)^(2/3) toward them: along x toward both
ends (the inlet, where the concentration boundary layer starts and the
channel's inlet, held at c_in, meets the membrane's closed face in a corner
singularity c - c_in ~ r^(1/2), and, for the middle face, the outlet too);
across the channel toward the wall y = h (the depletion layer, the corner);
across the membrane and the gel toward both of their faces.  Level k takes
2^k times the cells of level 0 along every direction from the same maps,
so the faces of a level are among those of the next and the fluxes below
keep their second order on it.  Per cell P,

    V_P dc_P/dt = sum over faces of (diffusive flow in + convective flow in)

- diffusion: a face between P and N carries G (c_N - c_P), G = A / (d_P/D_P
  + d_N/D_N), d the distances from the nodes to the face (the two half cells
  in series: exact for a profile linear in each cell with a continuous flux,
  so it is the same formula inside a layer and on a layer face); the inlet
  face of a channel row carries G (c_in - c_P) with d_N = 0; symmetry,
  closed and outlet faces carry none;
- convection (channel rows only): the flow of row j is Q_j = int u dy over
  the row (exact for the parabola).  An interior face carries Q_j c_f with
  c_f the parabola through the two upstream nodes and the downstream one
  evaluated at the face (QUICK, on the graded mesh; the inlet value at x = 0
  serves as the far upstream node of the first face); the inlet face
  carries Q_j c_in, the outlet face Q_j c_f with c_f the line through the
  last two nodes extrapolated to x = L.  The scheme is second order on the
  mesh, linear (so the matrix is constant) and its implicit form damps
  every mode: the symbol's real part is -(u/dx)(1 - cos t)^2 / 4 on a
  uniform mesh.  A front sharper than the cells over- and undershoots, as
  every linear second-order scheme does: the inlet front on its first pass
  along the channel's core (the examples' instrument: up to 1.32 c_in and
  -0.02 c_in during the first 10 s, within 0.5 % of 0..c_in from 15 s on);
  :func:`solve` reports the extremes of c.

Time: TR-BDF2
-------------
With V dc/dt = K c + f (K and f from the fluxes above), a step dt is a
trapezoidal stage to t + g dt and a BDF2 stage to t + dt, g = 2 - sqrt(2):

    (V - w dt K) c*   = (V + w dt K) c_n + 2 w dt f
    (V - w dt K) c_n+1 = V (c* - (1 - g)^2 c_n) / (g (2 - g)) + w dt f

with w = g/2 = (1 - g)/(2 - g), so both stages share one matrix, factorised
once per step size (scipy.sparse.linalg.splu).  Why this and not BDF2: it
is second order, L-stable (it damps the stiff, upwinded channel modes and
the jump of the start, as BDF2 does), and a one-step method, so it needs no
start-up procedure and keeps its order on any sequence of steps.  That
allows steps that land on every sample time and a start with smaller steps
(the first step is divided geometrically, ``start_halvings``), where the
jump of the inlet and of the membrane face at t = 0 makes the solution
least smooth.  Level k divides every step of level 0 into 2^k equal ones.

Observables at the sample times (as the program's uptake file names them):
the layer means and the gel's amount (sums of c V over the layer's cells),
the mid-membrane and mid-gel values at x = L/2 (bilinear interpolation of
the node values), the outlet mixing cup c_out = sum Q_j c_f / sum Q_j with
the outlet face values above.

:func:`reference` runs three (or more) levels, measures the observed order
of each observable from the last three, extrapolates (Richardson, with the
observed order) and estimates the error of the extrapolated curve (see
there).
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
from scipy import sparse
from scipy.special import erf
from scipy.sparse import linalg as sparse_linalg

#: The observables of the uptake file that the reference computes.
OBSERVABLES = ("c_memb_mean", "c_gel_mean", "m_gel", "c_memb_mid", "c_gel_mid", "c_out")

GAMMA = 2.0 - math.sqrt(2.0)  # TR-BDF2: the trapezoidal stage's share of the step
W = GAMMA / 2.0               # = (1 - GAMMA) / (2 - GAMMA): both stages' implicit weight


@dataclasses.dataclass(frozen=True)
class Instrument:
    """The physical problem: lengths in m, u_in the centreline velocity in
    m/s, diffusivities in m^2/s, c_in in any unit."""

    chlength: float
    halfgap: float
    th_memb: float
    th_gel: float
    u_in: float
    diff_flow: float
    diff_memb: float
    diff_gel: float
    c_in: float = 1.0

    @classmethod
    def from_problem(cls, problem) -> "Instrument":
        """The instrument of a :class:`questrand.problem.Problem` (a parabolic
        inlet profile: u_in is then its centreline value)."""
        if not problem.parabolic:
            raise ValueError("the reference models the developed parabolic flow: the problem's "
                             "inlet profile must be parabolic (parabolic = T)")
        return cls(**{f.name: float(getattr(problem, f.name)) for f in dataclasses.fields(cls)})


@dataclasses.dataclass(frozen=True)
class Resolution:
    """The mesh and steps of level 0.

    ``nx`` columns; ``n_flow``, ``n_memb``, ``n_gel`` rows per layer (nx,
    n_memb and n_gel even: the sample points x = L/2 and the layers'
    mid-depths are faces); ``dt`` the largest step, ``start_halvings`` m
    divides the first step into steps dt/2^m, dt/2^m, dt/2^(m-1), ...,
    dt/2.  The gradings (the widths of :func:`graded`, 0 uniform): ``x_grading``
    along x (finest at both ends, the inlet's corner with the membrane
    wanting it), ``flow_grading`` across the channel (finest at the wall),
    ``memb_grading`` and ``gel_grading`` across those layers (finest at both
    faces)."""

    nx: int = 16
    n_flow: int = 8
    n_memb: int = 2
    n_gel: int = 4
    dt: float = 2.0
    start_halvings: int = 4
    x_grading: float = 0.15
    flow_grading: float = 0.3
    memb_grading: float = 0.3
    gel_grading: float = 0.3

    def scaled(self, factor: int, along_x: bool = True) -> "Resolution":
        """The mesh ``factor`` times finer (along x too unless not
        ``along_x``) and the steps ``factor`` times shorter."""
        return dataclasses.replace(self, nx=self.nx * (factor if along_x else 1), n_flow=self.n_flow * factor,
                                   n_memb=self.n_memb * factor, n_gel=self.n_gel * factor,
                                   dt=self.dt / factor)


def graded(start: float, length: float, n: int, width: float, ends: str = "both") -> np.ndarray:
    """n + 1 faces over [start, start + length], finer toward ``ends``
    ("both", "lower", "upper"): face i at start + length g(i/n), the map g
    of the uniform parameter s made from a cell width that vanishes at a
    fine end and is uniform away from it,

        g'(s) ~ w(s) = prod over the fine ends of (1 - exp(-(d/width)^2)),

    d the distance in s to that end (width 0: uniform).  At a fine end
    g ~ d^3: the cells shrink like (distance)^(2/3) / n toward it.  That is
    what a corner singularity c - c_in ~ r^(1/2) needs (the channel's inlet,
    held at c_in, meets the membrane's closed face at x = 0, y = h) to keep
    the layer means second order: on a uniform mesh its truncation error
    h^2 r^(-5/2), summed over the cells from r ~ h, gives h^(3/2); on this
    map the sum converges at h^2 (a power of d above 4/3 would do).  Away
    from the ends, over all but a few ``width`` of s, the cells are
    uniform.  The map is smooth, g(1/2) = 1/2 for "both" (n even: the middle
    is a face), and refining n keeps every face of the coarser mesh."""
    if ends == "both" and n % 2:
        raise ValueError(f"graded: an even number of cells for a face at the middle, not {n}")
    s = np.arange(n + 1) / n
    if width <= 0.0:
        g = s
    else:
        # integral of w from 0 to s, in closed form (products of Gaussians are Gaussians)
        root_pi = math.sqrt(math.pi)

        def lower(x):  # integral of exp(-(t/width)^2)
            return 0.5 * root_pi * width * erf(x / width)

        def upper(x):  # integral of exp(-((1-t)/width)^2)
            return 0.5 * root_pi * width * (erf(1.0 / width) - erf((1.0 - x) / width))

        def both(x):  # integral of exp(-(t^2 + (1-t)^2)/width^2)
            scale = width / math.sqrt(2.0)
            return (math.exp(-0.5 / width ** 2) * 0.5 * root_pi * scale
                    * (erf((x - 0.5) / scale) + erf(0.5 / scale)))

        integral = {"lower": lambda x: x - lower(x), "upper": lambda x: x - upper(x),
                    "both": lambda x: x - lower(x) - upper(x) + both(x)}[ends]
        g = integral(s) / integral(np.array(1.0))
    faces = start + length * g
    faces[0], faces[-1] = start, start + length  # the layer faces exactly
    return faces


class Mesh:
    """Faces, centres and sizes of the cells; rows counted upward from y = 0
    (or from y = h with ``face_held``), columns from x = 0."""

    def __init__(self, instrument: Instrument, resolution: Resolution, face_held: bool = False):
        ins, res = instrument, resolution
        h, a, b = ins.halfgap, ins.th_memb, ins.th_gel
        self.xf = graded(0.0, ins.chlength, res.nx, res.x_grading)
        layers = [] if face_held else [("channel", graded(0.0, h, res.n_flow, res.flow_grading, "upper"),
                                        ins.diff_flow)]
        layers += [("membrane", graded(h, a, res.n_memb, res.memb_grading), ins.diff_memb),
                   ("gel", graded(h + a, b, res.n_gel, res.gel_grading), ins.diff_gel)]
        self.yf = np.concatenate([layers[0][1]] + [faces[1:] for _, faces, _ in layers[1:]])
        self.rows = {}  # layer name -> slice of rows
        diffusivity, first = [], 0
        for name, faces, d in layers:
            self.rows[name] = slice(first, first + len(faces) - 1)
            first += len(faces) - 1
            diffusivity += [d] * (len(faces) - 1)
        self.diffusivity = np.array(diffusivity)  # per row
        self.xc, self.yc = 0.5 * (self.xf[1:] + self.xf[:-1]), 0.5 * (self.yf[1:] + self.yf[:-1])
        self.dx, self.dy = np.diff(self.xf), np.diff(self.yf)
        self.nx, self.ny = len(self.xc), len(self.yc)
        # flow of each channel row: int u dy of u_in (1 - (y/h)^2), exact
        u_integral = lambda y: ins.u_in * (y - y ** 3 / (3.0 * h * h))  # noqa: E731
        self.flow = np.zeros(self.ny)
        if not face_held:
            rows = self.rows["channel"]
            self.flow[rows] = u_integral(self.yf[1:][rows]) - u_integral(self.yf[:-1][rows])
        self.volume = np.outer(self.dy, self.dx)  # [row, column]

    def index(self, i, j):
        """Unknown number of column i, row j."""
        return np.asarray(j) * self.nx + np.asarray(i)

    @property
    def size(self) -> int:
        return self.nx * self.ny


def _lagrange_weights(nodes, at):
    """Weights w_m with sum w_m f(nodes[m]) = the parabola through the three
    nodes evaluated at ``at``."""
    x0, x1, x2 = nodes
    return np.array([(at - x1) * (at - x2) / ((x0 - x1) * (x0 - x2)),
                     (at - x0) * (at - x2) / ((x1 - x0) * (x1 - x2)),
                     (at - x0) * (at - x1) / ((x2 - x0) * (x2 - x1))])


def outlet_weights(mesh: Mesh):
    """(w_last, w_before): the outlet face value c_f = w_last c_last +
    w_before c_before, the line through the last two nodes at x = L."""
    x_last, x_before = mesh.xc[-1], mesh.xc[-2]
    w_before = -(mesh.xf[-1] - x_last) / (x_last - x_before)
    return 1.0 - w_before, w_before


def _row_operators(mesh: Mesh):
    """The x-direction pieces of one row, per unit of the row's coefficient:
    (Dx, inlet, Cx, inflow).  Dx (nx by nx): the diffusive flows between
    neighbouring cells per unit D dy (conductance 1 / distance of the
    nodes).  inlet: the conductance 1 / x_0 of the inlet face (from c_in at
    x = 0 to the first node).  Cx and inflow: the net convective inflow of
    each cell per unit row flow Q, Cx c + inflow c_in (QUICK faces, the inlet
    face carrying c_in, the outlet face the line through the last two
    nodes)."""
    nx, xc, xf = mesh.nx, mesh.xc, mesh.xf
    g = 1.0 / np.diff(xc)
    Dx = sparse.diags([g, -np.r_[g, 0.0] - np.r_[0.0, g], g], [-1, 0, 1], shape=(nx, nx), format="lil")
    Cx = sparse.lil_matrix((nx, nx))
    inflow = np.zeros(nx)
    inflow[0] = 1.0  # the inlet face brings Q c_in
    for i in range(1, nx):  # the face between cells i-1 and i
        nodes = (xc[i - 2] if i >= 2 else 0.0, xc[i - 1], xc[i])
        weights = _lagrange_weights(nodes, xf[i])
        for weight, cell in zip(weights, (i - 2, i - 1, i)):
            if cell < 0:  # the inlet value at x = 0
                inflow[i - 1] -= weight
                inflow[i] += weight
            else:
                Cx[i - 1, cell] -= weight
                Cx[i, cell] += weight
    w_last, w_before = outlet_weights(mesh)
    Cx[nx - 1, nx - 1] -= w_last
    Cx[nx - 1, nx - 2] -= w_before
    return Dx.tocsr(), 1.0 / xc[0], Cx.tocsr(), inflow


def assemble(instrument: Instrument, mesh: Mesh, face_held: bool = False):
    """(K, f, V): the semi-discrete equations V dc/dt = K c + f, with V the
    cell volumes, K the flux coefficients and f the flows from the fixed
    boundary values (see the module notes).  Unknown j nx + i is column i
    of row j, so an operator of the rows (ny by ny) acting with one of the
    columns (nx by nx) is their Kronecker product."""
    c_in, d = instrument.c_in, mesh.diffusivity
    Dx, inlet, Cx, inflow = _row_operators(mesh)
    channel = np.zeros(mesh.ny)  # 1 on the channel rows
    if not face_held:
        channel[mesh.rows["channel"]] = 1.0
    first_column = np.zeros(mesh.nx)
    first_column[0] = 1.0
    # diffusion along x in every row; the inlet face of the channel rows from c_in
    K = sparse.kron(sparse.diags(d * mesh.dy), Dx)
    K = K - sparse.kron(sparse.diags(channel * d * mesh.dy * inlet), sparse.diags(first_column))
    f = np.kron(channel * d * mesh.dy * inlet * c_in, first_column)
    # diffusion across y: the two half cells in series
    g = 1.0 / (0.5 * mesh.dy[:-1] / d[:-1] + 0.5 * mesh.dy[1:] / d[1:])
    Ty = sparse.diags([g, -np.r_[g, 0.0] - np.r_[0.0, g], g], [-1, 0, 1])
    K = K + sparse.kron(Ty, sparse.diags(mesh.dx))
    if face_held:  # the membrane face y = h held at c_in, from the first row's half cell
        held = np.zeros(mesh.ny)
        held[0] = d[0] / (0.5 * mesh.dy[0])
        K = K - sparse.kron(sparse.diags(held), sparse.diags(mesh.dx))
        f = f + np.kron(held * c_in, mesh.dx)
    # convection along x in the channel rows
    K = K + sparse.kron(sparse.diags(mesh.flow), Cx)
    f = f + np.kron(mesh.flow * c_in, inflow)
    return K.tocsc(), f, mesh.volume.ravel()


def step_sizes(times, resolution: Resolution, level: int):
    """The steps of level ``level`` from t = 0 through every sample time.

    Level 0: each interval between sample times (from 0) in equal steps of
    at most ``resolution.dt``, the first step divided geometrically
    (``start_halvings``); level k: every step of level 0 in 2^k equal ones.
    Returns a list of (step size, number of steps, sample index or None
    after the last of them)."""
    times = np.asarray(times, dtype=float)
    if np.any(np.diff(times) <= 0.0) or times[0] <= 0.0:
        raise ValueError("sample times must be positive and increasing")
    plan, previous, split = [], 0.0, 2 ** level
    for k, t in enumerate(times):
        n = max(1, math.ceil((t - previous) / resolution.dt - 1e-9))
        dt = (t - previous) / n
        if k == 0 and resolution.start_halvings > 0:
            m = resolution.start_halvings
            pieces = [dt / 2 ** m] + [dt / 2 ** (m - r) for r in range(m)]
            for piece in pieces:
                plan.append((piece / split, split, None))
            n -= 1
        if n > 0:
            plan.append((dt / split, n * split, None))
        plan[-1] = plan[-1][:2] + (k,)
        previous = t
    return plan


class _Observer:
    """The observables of a concentration field (see the module notes)."""

    def __init__(self, instrument: Instrument, mesh: Mesh, face_held: bool):
        self.ins, self.mesh, self.face_held = instrument, mesh, face_held
        h, a, b = instrument.halfgap, instrument.th_memb, instrument.th_gel
        self.points = {"c_memb_mid": self._bilinear(instrument.chlength / 2, h + a / 2),
                       "c_gel_mid": self._bilinear(instrument.chlength / 2, h + a + b / 2)}

    def _bilinear(self, x, y):
        """(cells, weights) of the bilinear interpolation at (x, y) between
        the four surrounding nodes (for a point on a column face and a row
        face, the nodes either side of each)."""
        mesh = self.mesh

        def bracket(centres, at):
            if len(centres) == 1:
                return [(0, 1.0)]
            k = int(np.clip(np.searchsorted(centres, at) - 1, 0, len(centres) - 2))
            t = (at - centres[k]) / (centres[k + 1] - centres[k])
            return [(k, 1.0 - t), (k + 1, t)]

        cells, weights = [], []
        for i, wi in bracket(mesh.xc, x):
            for j, wj in bracket(mesh.yc, y):
                cells.append(mesh.index(i, j)), weights.append(wi * wj)
        return np.array(cells), np.array(weights)

    def __call__(self, c):
        mesh, ins = self.mesh, self.ins
        field = c.reshape(mesh.ny, mesh.nx)
        amount = field * mesh.volume
        m_memb = amount[mesh.rows["membrane"]].sum()
        m_gel = amount[mesh.rows["gel"]].sum()
        out = {"c_memb_mean": m_memb / (ins.chlength * ins.th_memb),
               "c_gel_mean": m_gel / (ins.chlength * ins.th_gel), "m_gel": m_gel}
        for name, (cells, weights) in self.points.items():
            out[name] = float(c[cells] @ weights)
        if not self.face_held:
            rows = mesh.rows["channel"]
            w_last, w_before = outlet_weights(mesh)
            face = w_last * field[rows, -1] + w_before * field[rows, -2]
            out["c_out"] = float(mesh.flow[rows] @ face / mesh.flow[rows].sum())
        return out


def solve(instrument: Instrument, times, level: int = 0, resolution: Resolution = Resolution(),
          face_held: bool = False, extremes: dict | None = None) -> dict:
    """The observables at ``times`` (s, positive, increasing) on mesh level
    ``level`` (mesh and steps 2^level times finer than ``resolution``; with
    ``face_held`` the columns stay those of level 0, c being uniform in x):
    a dict of observable name -> array over ``times``.  With ``face_held``
    the membrane face is held at c_in (no channel, no c_out).  ``extremes``,
    a dict, receives "c_min" and "c_max": per sample time the smallest and
    largest c of the steps since the sample before, counted from 0 (c_min
    is at most 0, c_max at least 0).

    Each step is the TR-BDF2 step of the module notes, its matrix factorised
    once per step size."""
    res = resolution.scaled(2 ** level, along_x=not face_held)  # held: c is uniform along x
    mesh = Mesh(instrument, res, face_held)
    K, f, V = assemble(instrument, mesh, face_held)
    observe = _Observer(instrument, mesh, face_held)
    Vd = sparse.diags(V, format="csc")
    factorised = {}
    c = np.zeros(mesh.size)
    curves = {name: np.full(len(times), np.nan) for name in OBSERVABLES}
    c_min, c_max = np.zeros(len(times)), np.zeros(len(times))
    upcoming = 0  # the sample time the steps are heading for
    for dt, count, sample in step_sizes(times, resolution, level):
        key = round(dt, 12 - int(math.floor(math.log10(dt))))
        if key not in factorised:
            factorised[key] = sparse_linalg.splu((Vd - (W * dt) * K).tocsc(), permc_spec="MMD_AT_PLUS_A")
        lu = factorised[key]
        explicit = Vd + (W * dt) * K
        for _ in range(count):
            stage = lu.solve(explicit @ c + 2.0 * W * dt * f)
            c = lu.solve(V * (stage - (1.0 - GAMMA) ** 2 * c) / (GAMMA * (2.0 - GAMMA)) + W * dt * f)
            c_min[upcoming] = min(c_min[upcoming], c.min())
            c_max[upcoming] = max(c_max[upcoming], c.max())
        if sample is not None:
            for name, value in observe(c).items():
                curves[name][sample] = value
            upcoming += 1
    if extremes is not None:
        extremes.update(c_min=c_min, c_max=c_max)
    return {name: values for name, values in curves.items() if not np.all(np.isnan(values))}


@dataclasses.dataclass
class Reference:
    """Levels of one instrument and what they say (see :func:`reference`).

    ``levels`` the level numbers; ``curves[level][name]`` each level's
    curve; ``extremes[level]`` its smallest and largest c (:func:`solve`);
    ``order[name]`` the observed order; ``extrapolated[name]`` the
    extrapolated curve; ``error[name]`` the estimated error of the
    extrapolated curve at each time; ``fine_error[name]`` that of the
    finest level's curve (its distance from the extrapolation)."""

    times: np.ndarray
    levels: tuple
    curves: dict
    extremes: dict
    order: dict
    extrapolated: dict
    error: dict
    fine_error: dict

    def summary(self, scales=None) -> str:
        """A table of the observed orders and the largest estimated errors,
        each divided by ``scales[name]`` (default 1)."""
        scales = scales or {}
        lines = [f"{'observable':<12s} {'order':>6s} {'max |fine - ext|':>17s} {'max error of ext':>17s}"]
        for name in self.order:
            scale = scales.get(name, 1.0)
            lines.append(f"{name:<12s} {self.order[name]:6.2f} {np.max(self.fine_error[name]) / scale:17.3e}"
                         f" {np.max(self.error[name]) / scale:17.3e}")
        return "\n".join(lines)


def observed_order(coarse, middle, fine, ratio: float = 2.0) -> float:
    """The order p of three curves on levels refined by ``ratio``: the
    median over the curve of the orders ln(d01 / d12) / ln(ratio) of the
    times whose differences d01 = middle - coarse and d12 = fine - middle
    have one sign (and d12 is not zero).  One order for the whole curve: at
    a time where the differences cross zero, or where the grids do not yet
    resolve the solution, the order of that time alone means nothing, and
    the median passes over such times; the error estimate of
    :func:`reference` shows where they are."""
    d01, d12 = np.asarray(middle) - coarse, np.asarray(fine) - middle
    same_sign = d01 * d12 > 0.0
    if not np.any(same_sign):
        return math.nan
    return float(np.median(np.log(d01[same_sign] / d12[same_sign]))) / math.log(ratio)


def reference(instrument: Instrument, times, levels=(0, 1, 2), resolution: Resolution = Resolution(),
              face_held: bool = False, names=None) -> Reference:
    """Richardson extrapolation of the levels (consecutive, at least three)
    with the observed order p of each observable (:func:`observed_order`
    of the last three levels f0, f1, f2):

        f_ext = f2 + (f2 - f1) / (2^p - 1).

    The estimated error of f_ext at each time is |R12 - R01|, the change of
    the extrapolation from the pair (f0, f1) to the pair (f1, f2), both with
    the same p (R01 = f1 + (f1 - f0) / (2^p - 1), R12 = f_ext).  When
    f_k = f + C h_k^p + E h_k^q (q > p), the C terms cancel from both and
    R01 - f = 2^q (R12 - f), so the error of R12 is |R12 - R01| / (2^q - 1):
    at most a third of the estimate for any q >= 2.  That holds where the
    levels are in their asymptotic range; at a time where they are not, the
    ratio of the differences, d01 / d12, lies away from 2^p and |R12 - R01|
    can pass through zero by chance.  So where d01 / d12 lies outside
    2^(p -+ 1/2) (or the differences differ in sign) the estimate is at least
    |d01| + |d12|, the spread of the levels themselves (a front the levels
    do not resolve, e.g. the inlet front at the outlet).  The estimate's
    largest value over the curve bounds the curve's error."""
    levels = tuple(levels)
    if len(levels) < 3 or any(b - a != 1 for a, b in zip(levels, levels[1:])):
        raise ValueError("reference: three or more consecutive levels")
    times = np.asarray(times, dtype=float)
    extremes = {k: {} for k in levels}
    curves = {k: solve(instrument, times, k, resolution, face_held, extremes[k]) for k in levels}
    names = names or list(curves[levels[-1]])
    order, extrapolated, error, fine_error = {}, {}, {}, {}
    for name in names:
        f0, f1, f2 = (curves[k][name] for k in levels[-3:])
        p = observed_order(f0, f1, f2)
        r01 = f1 + (f1 - f0) / (2.0 ** p - 1.0)
        r12 = f2 + (f2 - f1) / (2.0 ** p - 1.0)
        d01, d12 = f1 - f0, f2 - f1
        with np.errstate(divide="ignore", invalid="ignore"):
            asymptotic = (d01 * d12 > 0.0) & (np.abs(np.log2(d01 / d12) - p) <= 0.5)
        estimate = np.abs(r12 - r01)
        estimate[~asymptotic] = np.maximum(estimate, np.abs(d01) + np.abs(d12))[~asymptotic]
        order[name], extrapolated[name] = p, r12
        error[name], fine_error[name] = estimate, np.abs(f2 - r12)
    return Reference(times=times, levels=levels, curves=curves, extremes=extremes, order=order,
                     extrapolated=extrapolated, error=error, fine_error=fine_error)
