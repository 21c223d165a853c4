"""A steady flow solved once and reused by the concentration transients.

When is the flow of a transient problem steady?  In this program the inlet
velocity and profile are fixed for the whole run, density and viscosity are
constants of the input, and nothing the concentration does acts on the flow
(no buoyancy, no concentration-dependent property).  So the flow of every
transient problem that solves the flow from time zero tends to one steady
flow; it differs from it only during its start-up from the starting profile,
which decays like the slowest viscous mode of the channel, within about
h^2/nu (h the half-gap, nu = viscosity/density: 1 s for 1 mm of water).
:func:`reuse_refusal` says why a problem's flow cannot be reused:

* a steady problem (its flow and concentration are one steady solve);
* the flow is not solved (nothing to reuse: the program keeps the starting
  profile);
* the concentration is not solved (nothing would be left to run);
* the run continues from a restart file (its flow and inlet come from that
  file, not from the input).

A problem whose run is not much longer than the start-up (h^2/nu more than a
tenth of nsteps*dt) is still reused, with a :class:`FlowWarning`.

The steady flow depends on the values of the steady-flow problem that
:func:`flow_problem` makes from the transient one: geometry, grid, inlet
velocity and profile, density, viscosity, relaxation and linear solvers of
u, v and the pressure correction, the convergence tolerance; every other
value (diffusivities, c_in, time step, output settings, ...) is set to a
fixed value, so two problems with the same flow give the same PROB.INP text.
The cache key is a hash of that text, of the program (its version and a
hash of its executable) and of the solution procedure (:data:`PROCEDURE`).
An entry is a directory ``CACHE/KEY/`` holding the steady run's restart
file ``flow.sav``, its ``PROB.INP`` and ``flow.json`` (iterations,
residuals, how it converged).  An entry is filled in a private temporary directory and renamed into place, so
a reader sees a whole entry or none, and two processes filling one key at
once leave one whole entry (the second rename fails and its copy is
dropped); a lock file makes the second process wait instead of solving the
same flow again where the file system supports it.

The steady solve (:func:`solve_steady_flow`):

* starts from the flow of the grid twice as coarse, interpolated (nested
  grids), whenever the grid halves into one of at least 8 columns and 4
  channel rows; that coarser flow is solved (and cached) the same way;
* runs the program in chunks of :data:`CHUNK` outer iterations, each
  continuing from the restart file of the previous one;
* stops when the program's own test is met (largest normalised residual
  at most ``convtol``) or, where the residuals stall at their
  single-precision rounding floor, when the flow has stopped changing: the
  largest change of u and v between two chunks, relative to the largest
  velocity, is at most :data:`FIELD_TOL` (1e-4) and what a geometric decay
  at the rate of the last two chunks leaves to come is below it too, or the
  change no longer shrinks and lies ten times below it (rounding noise; see
  :func:`flow_stopped`).
  The normalised residual is a sum of |residual| over all cells, so its
  rounding floor grows with the number of cells: about 1.2e-4 on the
  32-column example grid and 2e-3 on the same grid refined four times, above
  the usual tolerance 1e-3.

:func:`prepare` then writes the restart file of a transient run at time
zero: u, v and p of the steady flow, and every other field as the program
itself starts a transient run (c = c_in on the inlet columns 1 and 2 of the
channel rows and 0 elsewhere, t = 0, density and viscosity of the input,
gamt = 1, gamc = diffusivity times density in the layers and 1 on the
mirror rows), step 0 and time 0.  The run (restart file read, flow not
solved, concentration solved) makes steps 1..nsteps with the times of a run
from time zero, writes the monitor.dat header (its time 0 is not beyond
dt) and, once any earlier uptake file of the run name is removed, a whole
.UPT file from step 1.  Save files of the flow (.VEL, .PRS) are not
written, since the run does not solve the flow.
"""

from __future__ import annotations

import contextlib
import dataclasses
import enum
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

from . import files
from .errors import QuestrandError, RunError
from .grid import Grid, restart_name, stem
from .problem import PROBLEM_FILE, Problem

#: Version of the solution procedure; part of the cache key.
PROCEDURE = "steady-flow 1: nested grids, chunks of 200, field change 1e-4"
CHUNK = 200
#: Largest change of the flow over a chunk, relative to the largest velocity, taken as stopped.
FIELD_TOL = 1.0e-4
#: Outer iterations a steady flow may take at most (over all chunks).
MAX_ITERATIONS = 20000
FLOW_RUNNAME = "FLOW.OUT"
FLOW_FILE = "flow.sav"
INFO_FILE = "flow.json"
CACHE_ENV = "QUESTRAND_FLOW_CACHE"
FIELD_NAMES = ("u", "v", "p", "t", "c", "vis", "den", "gamt", "gamc")


class FlowMode(str, enum.Enum):
    """How a transient run gets its flow: ``reuse`` the cached steady flow,
    or ``coupled`` (solved with the concentration in every time step, as
    the input asks)."""

    REUSE = "reuse"
    COUPLED = "coupled"


class FlowError(QuestrandError, ValueError):
    """A problem whose flow cannot be solved once and reused, or a steady
    flow that could not be solved."""


class FlowWarning(UserWarning):
    """A reused flow whose start-up is not small against the run."""


# -- the restart file ----------------------------------------------------------
@dataclasses.dataclass
class RestartFile:
    """The fields of a restart file, each an (nj, ni) float32 array with
    node (I, J) at ``[J - 1, I - 1]``; ``count`` is the step (transient) or
    the iteration count (steady), ``time`` the time (transient)."""

    ni: int
    nj: int
    steady: bool
    count: int
    time: float
    fields: dict

    def copy(self) -> "RestartFile":
        return dataclasses.replace(self, fields={k: v.copy() for k, v in self.fields.items()})


def read_restart(path) -> RestartFile:
    """Read a restart file (ten length-framed records, little-endian)."""
    path = Path(path)
    data = path.read_bytes()
    pos = 0

    def record(number):
        nonlocal pos
        if len(data) - pos < 4:
            raise FlowError(f"{path}: record {number}: missing (not a restart file)")
        length = int(np.frombuffer(data, "<u4", 1, pos)[0])
        end = pos + 4 + length
        if len(data) < end + 4 or int(np.frombuffer(data, "<u4", 1, end)[0]) != length:
            raise FlowError(f"{path}: record {number}: broken framing (not a restart file)")
        body = data[pos + 4:end]
        pos = end + 4
        return body

    head = record(1)
    if len(head) not in (12, 16):
        raise FlowError(f"{path}: record 1: holds {len(head)} bytes, expected 12 or 16")
    ni, nj, count = (int(v) for v in np.frombuffer(head, "<i4", 3))
    steady = len(head) == 12
    time_ = 0.0 if steady else float(np.frombuffer(head, "<f4", 1, 12)[0])
    fields = {}
    for k, name in enumerate(FIELD_NAMES, 2):
        body = record(k)
        if len(body) != 4 * ni * nj:
            raise FlowError(f"{path}: record {k}: holds {len(body)} bytes, expected {4 * ni * nj}")
        fields[name] = np.frombuffer(body, "<f4").astype(np.float32).reshape(nj, ni)
    return RestartFile(ni, nj, steady, count, time_, fields)


def restart_bytes(restart: RestartFile) -> bytes:
    """The bytes of a restart file."""
    parts = []

    def record(body: bytes):
        frame = np.array([len(body)], "<u4").tobytes()
        parts.extend([frame, body, frame])

    head = np.array([restart.ni, restart.nj, restart.count], "<i4").tobytes()
    if not restart.steady:
        head += np.array([restart.time], "<f4").tobytes()
    record(head)
    for name in FIELD_NAMES:
        field = np.asarray(restart.fields[name], dtype="<f4")
        if field.shape != (restart.nj, restart.ni):
            raise ValueError(f"restart field {name}: shape {field.shape}, "
                             f"expected {(restart.nj, restart.ni)}")
        record(field.tobytes())
    return b"".join(parts)


def write_restart(path, restart: RestartFile) -> Path:
    """Write a restart file under a temporary name and rename it into place."""
    return files.write_bytes(path, restart_bytes(restart))


# -- the program's starting fields ------------------------------------------------
def starting_fields(problem: Problem) -> dict:
    """The nine fields as the program starts a run of ``problem`` (before
    any iteration): zero fields, the inlet profile of u in every column of
    the channel rows, c_in on columns 1 and 2 of the channel rows, then the
    properties of the input."""
    f32 = np.float32
    ni, nj = problem.ni, problem.nj
    grid = Grid.of(problem)
    jflow2 = problem.n_flow + 1
    jmemb1, jmemb2 = jflow2 + 1, jflow2 + problem.n_memb
    jgel1, jgel2 = jmemb2 + 1, nj - 1
    shape = (nj, ni)
    fields = {name: np.zeros(shape, np.float32) for name in FIELD_NAMES}
    y = grid.y.astype(np.float32)
    halfgap = f32(problem.halfgap)
    u_in = f32(problem.u_in)
    for j in range(1, jflow2 + 1):
        if problem.parabolic:
            eta = f32(y[j - 1] / halfgap)
            fields["u"][j - 1, :] = u_in * (f32(1.0) - eta * eta)
        else:
            fields["u"][j - 1, :] = u_in
        fields["c"][j - 1, :2] = f32(problem.c_in)
    density = f32(problem.density)
    fields["den"][:] = density
    fields["vis"][:] = f32(problem.viscosity)
    fields["gamt"][:] = f32(1.0)  # vis0 / prandtl
    fields["gamc"][:] = f32(1.0)  # vis0 / schmidt, kept on the mirror rows
    for first, last, diff in ((2, jflow2, problem.diff_flow), (jmemb1, jmemb2, problem.diff_memb),
                              (jgel1, jgel2, problem.diff_gel)):
        fields["gamc"][first - 1:last, :] = f32(diff) * density
    return fields


def time_zero_restart(problem: Problem, flow: RestartFile) -> RestartFile:
    """The restart file of a transient run of ``problem`` at time zero with
    the flow (u, v, p) of ``flow`` and every other field as the program
    starts the run."""
    if (flow.ni, flow.nj) != (problem.ni, problem.nj):
        raise FlowError(f"steady flow of a {flow.ni} by {flow.nj} grid, but the problem has a "
                        f"{problem.ni} by {problem.nj} grid")
    fields = starting_fields(problem)
    for name in ("u", "v", "p"):
        fields[name] = flow.fields[name].copy()
    return RestartFile(problem.ni, problem.nj, False, 0, 0.0, fields)


# -- when the flow can be reused ---------------------------------------------------
def startup_time(problem: Problem) -> float:
    """The flow's start-up time h^2/nu (h the half-gap, nu = viscosity/density)."""
    if problem.viscosity <= 0:
        return float("inf")
    return problem.halfgap ** 2 * problem.density / problem.viscosity


def reuse_refusal(problem: Problem) -> str | None:
    """Why the flow of ``problem`` cannot be solved once and reused, or None."""
    if problem.steady:
        return "a steady problem: its flow and concentration are solved together in one steady solve"
    if not problem.solve_u:
        return "the flow is not solved (flow switch F): there is no flow to reuse"
    if not problem.solve_c:
        return "the concentration is not solved: nothing but the flow would be run"
    if problem.restart_in:
        return "the run continues from a restart file, whose flow and inlet it keeps"
    return None


def flow_label(problem: Problem, mode) -> str:
    """How a run of ``problem`` gets its flow under ``mode``: ``reuse`` (the
    cached steady flow), ``coupled`` (solved with the concentration, as the
    input asks) or ``not solved``."""
    if not problem.solve_u:
        return "not solved"
    if FlowMode(mode) is FlowMode.REUSE and reuse_refusal(problem) is None:
        return "reuse"
    return "coupled"


def check_reusable(problem: Problem) -> None:
    """Raise :class:`FlowError` when the flow cannot be reused; warn
    (:class:`FlowWarning`) when its start-up is a sizable part of the run."""
    reason = reuse_refusal(problem)
    if reason is not None:
        raise FlowError(f"steady flow not reusable: {reason}")
    startup = startup_time(problem)
    duration = problem.nsteps * problem.dt
    if startup > 0.1 * duration:
        warnings.warn(f"the flow's start-up time h^2/nu = {startup:.3g} is more than a tenth of the run "
                      f"({duration:.3g}): the reused steady flow skips it", FlowWarning, stacklevel=3)


def flow_problem(problem: Problem, *, maxit: int = CHUNK) -> Problem:
    """The steady-flow problem of ``problem``: its flow values, every other
    value fixed (so the text is the same for every problem with this flow)."""
    base = Problem()
    keep = ("chlength", "halfgap", "th_memb", "th_gel", "u_in", "parabolic", "density", "viscosity",
            "ni", "n_flow", "n_memb", "n_gel", "convtol", "relax_u", "relax_p", "solver_u", "solver_p")
    return base.replace(**{name: getattr(problem, name) for name in keep},
                        steady=True, solve_u=True, solve_c=False, maxit=maxit, relax_c=1.0,
                        imon=max(problem.ni // 2, 1), jmon=max((problem.n_flow + 1) // 2, 1),
                        runname=FLOW_RUNNAME, restart_out=True, restart_in=False)


_PROGRAM_IDS = {}


def program_id(program=None) -> str:
    """The program's ``--version`` text and a hash of its executable
    (memoised per path, size and modification time): a rebuilt program
    that computes differently has another id."""
    from .runner import find_program

    executable = find_program(program)
    info = executable.stat()
    stamp = (str(executable), info.st_size, info.st_mtime_ns)
    if stamp not in _PROGRAM_IDS:
        done = subprocess.run([str(executable), "--version"], capture_output=True, text=True)
        digest = hashlib.sha256(executable.read_bytes()).hexdigest()[:16]
        _PROGRAM_IDS[stamp] = f"{done.stdout.strip()} ({digest})"
    return _PROGRAM_IDS[stamp]


def flow_key(problem: Problem, program=None) -> str:
    """The cache key of the steady flow of ``problem``."""
    text = flow_problem(problem).text()
    digest = hashlib.sha256("\n".join([PROCEDURE, program_id(program), text]).encode())
    return digest.hexdigest()[:32]


def default_cache_dir() -> Path:
    """$QUESTRAND_FLOW_CACHE, else $XDG_CACHE_HOME/questrand/flow, else ~/.cache/questrand/flow."""
    if os.environ.get(CACHE_ENV):
        return Path(os.environ[CACHE_ENV])
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "questrand" / "flow"


# -- nested grids ------------------------------------------------------------------
def coarser(problem: Problem) -> Problem | None:
    """The flow problem on the grid twice as coarse, or None when the grid
    does not halve into one of at least 8 columns and 4 channel rows."""
    cells = problem.ni - 2
    if cells % 2 or problem.n_flow % 2 or cells // 2 < 8 or problem.n_flow // 2 < 4:
        return None
    return flow_problem(problem.replace(ni=cells // 2 + 2, n_flow=problem.n_flow // 2,
                                        n_memb=max(problem.n_memb // 2, 1),
                                        n_gel=max(problem.n_gel // 2, 1)))


def _interp2(xc, yc, field, xf, yf):
    """Bilinear interpolation of field[j, i] given at (xc[i], yc[j]) to the
    points (xf[i], yf[j]); values beyond the ends are held."""
    along = np.array([np.interp(xf, xc, row) for row in field])          # (len(yc), len(xf))
    return np.array([np.interp(yf, yc, along[:, i]) for i in range(len(xf))]).T


def interpolate_flow(coarse: Problem, flow: RestartFile, fine: Problem) -> RestartFile:
    """The steady restart file of ``fine`` starting from the flow of
    ``coarse`` interpolated onto its grid (channel rows; every other value
    and the inlet column as the program starts ``fine``)."""
    gc, gf = Grid.of(coarse), Grid.of(fine)
    fields = starting_fields(fine)
    jc, jf = coarse.n_flow + 1, fine.n_flow + 1

    def faces(x):  # the program's u faces: xu(I) = (x(I-1) + x(I)) / 2 for I >= 2
        return np.concatenate([[0.0], 0.5 * (x[:-1] + x[1:])])

    xuc, xuf = faces(gc.x), faces(gf.x)
    yvc, yvf = faces(gc.y), faces(gf.y)
    u, v, p = flow.fields["u"].astype(np.float64), flow.fields["v"].astype(np.float64), \
        flow.fields["p"].astype(np.float64)
    # u at (xu, y): channel rows 1..jflow2 and the wall face yv(jflow2 + 1), where u = 0
    yu = np.concatenate([gc.y[:jc], [yvc[jc]]])
    uc = np.vstack([u[:jc, 1:], np.zeros((1, coarse.ni - 1))])
    fu = _interp2(xuc[1:], yu, uc, xuf[2:], gf.y[:jf])
    fields["u"][:jf, 2:] = fu.astype(np.float32)                     # columns 3..ni
    # v at (x, yv): faces 2..jflow2+1 (symmetry plane and wall, both v = 0)
    vc = v[1:jc + 1, :]
    fv = _interp2(gc.x, yvc[1:jc + 1], vc, gf.x[1:], yvf[1:jf + 1])
    fields["v"][1:jf + 1, 1:] = fv.astype(np.float32)
    fields["v"][1, :] = 0.0
    fields["v"][jf, :] = 0.0
    # p at the nodes of rows 1..jflow2
    fp = _interp2(gc.x, gc.y[:jc], p[:jc, :], gf.x, gf.y[:jf])
    fields["p"][:jf, :] = fp.astype(np.float32)
    return RestartFile(fine.ni, fine.nj, True, 0, 0.0, fields)


# -- the steady solve ----------------------------------------------------------------
@dataclasses.dataclass
class SteadyFlow:
    """A steady flow in the cache: ``path`` its restart file, ``info`` what
    flow.json says, ``cached`` whether it was there before this call."""

    key: str
    path: Path
    info: dict
    cached: bool

    def restart(self) -> RestartFile:
        return read_restart(self.path)


def flow_stopped(changes) -> bool:
    """Whether the flow has stopped changing, from the largest relative
    changes of u and v over the chunks so far: the last change is at most
    :data:`FIELD_TOL` and, when it shrinks (ratio r to the one before), so is
    what is left of a geometric decay, change * r / (1 - r); when it does not
    shrink it must lie ten times below the tolerance (rounding noise)."""
    if len(changes) < 2 or changes[-1] > FIELD_TOL:
        return False
    rate = changes[-1] / changes[-2] if changes[-2] > 0 else 0.0
    if rate < 1.0:
        return changes[-1] * rate / (1.0 - rate) <= FIELD_TOL
    return changes[-1] <= FIELD_TOL / 10


def solve_steady_flow(problem: Problem, workdir, program=None, *, start: RestartFile | None = None,
                      timeout=None, max_iterations: int = MAX_ITERATIONS) -> dict:
    """Solve the steady flow of the flow problem ``problem`` in ``workdir``
    (chunks of :data:`CHUNK` iterations, see the module text); returns the
    record of flow.json.  The restart file is ``workdir/FLOW.sav``."""
    from .runner import find_program
    from .results import read_listing

    executable = find_program(program)
    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    sav = workdir / restart_name(FLOW_RUNNAME)
    if start is not None:
        write_restart(sav, start)
    began = time.perf_counter()
    previous = start.fields if start is not None else None
    changes, iterations, converged, last = [], 0, None, None
    while converged is None:
        run_problem = problem.replace(maxit=CHUNK, restart_in=previous is not None)
        run_problem.write(workdir / PROBLEM_FILE)
        try:
            done = subprocess.run([str(executable)], cwd=workdir, capture_output=True, text=True,
                                  errors="replace", timeout=timeout)
        except subprocess.TimeoutExpired:
            raise FlowError(f"{executable} in {workdir}: steady flow: no end after {timeout} s") from None
        if done.returncode != 0:
            raise RunError(f"{executable} in {workdir}: steady flow failed with exit status "
                           f"{done.returncode}:\n{done.stderr.strip()}", returncode=done.returncode,
                           stderr=done.stderr, stdout=done.stdout, workdir=workdir)
        now = read_restart(sav)
        iterations = now.count
        table, _ = read_listing(workdir / FLOW_RUNNAME)
        last = {name: float(table[name].iloc[-1]) for name in ("res_u", "res_v", "res_mass")}
        if "none ended with the convergence warning" in done.stderr:
            converged = "residual"
        if previous is not None:
            scale = max(float(np.abs(now.fields["u"]).max()), float(np.abs(now.fields["v"]).max()))
            change = max(float(np.abs(now.fields[n].astype(np.float64) - previous[n]).max())
                         for n in ("u", "v")) / scale
            changes.append(change)
            if converged is None and flow_stopped(changes):
                converged = "field change"
        previous = now.fields
        if converged is None and iterations >= max_iterations:
            change = changes[-1] if changes else float("nan")
            raise FlowError(f"steady flow of the {problem.ni}-column grid ({problem.n_flow} channel rows) "
                            f"not converged after {iterations} outer iterations "
                            f"(residuals u {last['res_u']:.3g}, v {last['res_v']:.3g}, mass "
                            f"{last['res_mass']:.3g}; last change of the flow {change:.3g})")
    return {"iterations": iterations, "converged_by": converged, "residuals": last,
            "changes": changes, "wall_time": time.perf_counter() - began,
            "nested_start": start is not None, "ni": problem.ni, "n_flow": problem.n_flow}


def steady_flow(problem: Problem, cache_dir=None, program=None, *, timeout=None) -> SteadyFlow:
    """The steady flow of ``problem`` from the cache ``cache_dir``, solved
    and stored there first when missing (see the module text)."""
    fp = flow_problem(problem)
    cache_dir = Path(cache_dir) if cache_dir is not None else default_cache_dir()
    cache_dir.mkdir(parents=True, exist_ok=True)
    key = flow_key(fp, program)
    entry = cache_dir / key
    if (entry / FLOW_FILE).is_file():
        return SteadyFlow(key, entry / FLOW_FILE, _read_info(entry), True)
    with _lock(cache_dir / f".{key}.lock"):
        if (entry / FLOW_FILE).is_file():  # filled while we waited
            return SteadyFlow(key, entry / FLOW_FILE, _read_info(entry), True)
        start = None
        coarse = coarser(fp)
        if coarse is not None:
            coarse_flow = steady_flow(coarse, cache_dir, program, timeout=timeout)
            start = interpolate_flow(coarse, coarse_flow.restart(), fp)
        work = Path(tempfile.mkdtemp(prefix=f".{key}.", dir=cache_dir))
        try:
            info = solve_steady_flow(fp, work / "run", program, start=start, timeout=timeout)
            info["key"] = key
            os.replace(work / "run" / restart_name(FLOW_RUNNAME), work / FLOW_FILE)
            fp.write(work / PROBLEM_FILE)
            (work / INFO_FILE).write_text(json.dumps(info, indent=1) + "\n")
            shutil.rmtree(work / "run")
            try:
                os.rename(work, entry)
            except OSError:
                if not (entry / FLOW_FILE).is_file():
                    raise
                # another process placed the entry first: keep it
        finally:
            if work.exists():
                shutil.rmtree(work, ignore_errors=True)
    return SteadyFlow(key, entry / FLOW_FILE, _read_info(entry), False)


def _read_info(entry: Path) -> dict:
    try:
        return json.loads((entry / INFO_FILE).read_text())
    except (OSError, ValueError):
        return {}


@contextlib.contextmanager
def _lock(path: Path):
    """An exclusive lock on ``path`` where the file system has one (else none)."""
    try:
        import fcntl
        handle = open(path, "a")
    except (ImportError, OSError):
        yield
        return
    try:
        with contextlib.suppress(OSError):
            fcntl.flock(handle, fcntl.LOCK_EX)
        yield
    finally:
        handle.close()


# -- the transient run ---------------------------------------------------------------
def prepare(problem: Problem, workdir, cache_dir=None, program=None, *, timeout=None) -> Problem:
    """Place in ``workdir`` the restart file of a run of ``problem`` at time
    zero with the cached steady flow, and return the problem to run there
    (flow not solved, restart file read).  Removes an earlier uptake file of
    the run name from ``workdir`` (a run from time zero replaces it).

    Raises :class:`FlowError` when the flow cannot be reused
    (:func:`reuse_refusal`); warns with :class:`FlowWarning` when the
    start-up time is more than a tenth of the run.
    """
    return prepare_run(problem, workdir, cache_dir, program, timeout=timeout)[0]


def prepare_run(problem: Problem, workdir, cache_dir=None, program=None, *, timeout=None):
    """:func:`prepare`, returning ``(problem to run, SteadyFlow)``."""
    check_reusable(problem)
    if restart_name(problem.runname) == problem.runname.rstrip(" "):
        raise FlowError(f"run name {problem.runname!r}: give it a point (e.g. RUN.OUT) so that "
                        "its restart file has a name of its own")
    flow = steady_flow(problem, cache_dir, program, timeout=timeout)
    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    write_restart(workdir / restart_name(problem.runname), time_zero_restart(problem, flow.restart()))
    with contextlib.suppress(FileNotFoundError):
        (workdir / (stem(problem.runname).rstrip(" ") + ".UPT")).unlink()
    return problem.replace(solve_u=False, restart_in=True), flow


__all__ = ["FlowMode", "FlowError", "FlowWarning", "RestartFile", "SteadyFlow", "read_restart",
           "write_restart", "restart_bytes", "starting_fields", "time_zero_restart", "startup_time",
           "reuse_refusal", "flow_label", "check_reusable", "flow_problem", "flow_key", "default_cache_dir",
           "coarser", "interpolate_flow", "solve_steady_flow", "steady_flow", "prepare", "prepare_run"]
