"""The steady solve of a flow: nested grids, chunks of outer iterations,
the stopping test, and the cache entry it fills (see :mod:`questrand.flow`)."""

from __future__ import annotations

import dataclasses
import os
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np

from ..errors import RunError
from ..grid import Grid, restart_name
from ..problem import PROBLEM_FILE, Problem
from .cache import (check_entry, clean_cache, default_cache_dir, fill_info, flow_fault, flow_key, place_entry,
                    report_bad_entry, work_dir)
from .restart import RestartFile, read_restart, starting_fields, write_restart
from .reuse import CHUNK, FIELD_TOL, FLOW_FILE, FLOW_RUNNAME, FLOW_VALUES, MAX_ITERATIONS, FlowError, flow_problem


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


def interpolate_flow(coarse: Problem, flow: RestartFile, fine: Problem, scheme: str = "standard",
                     program=None) -> RestartFile:
    """The steady restart file of ``fine`` starting from the flow of
    ``coarse`` interpolated onto its grid (channel rows; every other value
    and the inlet column as the program starts ``fine``); both grids those
    of ``scheme``."""
    gc, gf = Grid.of(coarse, scheme, program), Grid.of(fine, scheme, program)
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
    flow.json says, ``cached`` whether it was there before this call;
    ``flow`` the restart file as read when the entry was checked (what
    :meth:`restart` hands out, so a file changed later is not used)."""

    key: str
    path: Path
    info: dict
    cached: bool
    flow: RestartFile | None = dataclasses.field(default=None, repr=False, compare=False)

    def restart(self) -> RestartFile:
        return self.flow.copy() if self.flow is not None else read_restart(self.path)


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
                      timeout=None, max_iterations: int = MAX_ITERATIONS, scheme: str = "standard") -> dict:
    """Solve the steady flow of the flow problem ``problem`` in ``workdir``
    (chunks of :data:`CHUNK` iterations, see :mod:`questrand.flow`); returns the
    record of flow.json.  The restart file is ``workdir/FLOW.sav``.  The
    program runs with ``scheme`` (the second-order scheme puts the channel
    wall's shear where the wall is, so its flow differs)."""
    from ..results import read_listing
    from ..program import find_program, program_arguments, read_record, start as start_program

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
            done = start_program(executable, program_arguments(scheme), cwd=workdir, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise FlowError(f"{executable} in {workdir}: steady flow: no end after {timeout} s") from None
        stderr = done.stderr.decode("utf-8", "replace")
        if done.returncode != 0:
            raise RunError(f"{executable} in {workdir}: steady flow failed with exit status "
                           f"{done.returncode}:\n{stderr.strip()}", returncode=done.returncode,
                           stderr=stderr, stdout=done.stdout.decode("utf-8", "replace"), workdir=workdir)
        record = read_record(workdir, FLOW_RUNNAME)
        now = read_restart(sav)
        iterations = now.count
        table, _ = read_listing(workdir / FLOW_RUNNAME)
        last = {name: float(table[name].iloc[-1]) for name in ("res_u", "res_v", "res_mass")}
        if record.converged:
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


def steady_flow(problem: Problem, cache_dir=None, program=None, *, timeout=None,
                scheme: str = "standard") -> SteadyFlow:
    """The steady flow of ``problem`` under ``scheme`` from the cache
    ``cache_dir``, solved and stored there first when missing; an entry
    that fails its check (:func:`~questrand.flow.cache.check_entry`) is a
    miss, named in one line on standard error, and is solved again and
    replaced (see :mod:`questrand.flow`)."""
    fp = flow_problem(problem)
    cache_dir = Path(cache_dir) if cache_dir is not None else default_cache_dir()
    cache_dir.mkdir(parents=True, exist_ok=True)
    clean_cache(cache_dir)
    key = flow_key(fp, program, scheme)
    entry = cache_dir / key
    fault, info, found = check_entry(entry, key, fp)
    if fault is None:
        return SteadyFlow(key, entry / FLOW_FILE, info, True, found)
    if fault != "missing":
        report_bad_entry(entry, fault)
    from . import _lock  # the package's, so that a replaced questrand.flow._lock is the one used

    with _lock(cache_dir / f".{key}.lock"):
        fault, info, found = check_entry(entry, key, fp)
        if fault is None:  # filled while we waited
            return SteadyFlow(key, entry / FLOW_FILE, info, True, found)
        start = None
        coarse = coarser(fp)
        if coarse is not None:
            coarse_flow = steady_flow(coarse, cache_dir, program, timeout=timeout, scheme=scheme)
            start = interpolate_flow(coarse, coarse_flow.restart(), fp, scheme, program)
        work = work_dir(cache_dir, key)
        try:
            info = solve_steady_flow(fp, work / "run", program, start=start, timeout=timeout, scheme=scheme)
            os.replace(work / "run" / restart_name(FLOW_RUNNAME), work / FLOW_FILE)
            fp.write(work / PROBLEM_FILE)
            shutil.rmtree(work / "run")
            info = fill_info(work, info, key)
            flow = read_restart(work / FLOW_FILE)
            fault = flow_fault(flow, fp, f"steady flow solved in {work}")
            if fault is not None:
                raise FlowError(fault)
            theirs = {}

            def whole(there: Path) -> bool:  # another process placed a whole entry first: keep it
                theirs["check"] = check_entry(there, key, fp)
                return theirs["check"][0] is None

            if not place_entry(work, entry, whole):
                _, info, flow = theirs["check"]
                return SteadyFlow(key, entry / FLOW_FILE, info, True, flow)
        finally:
            if work.exists():
                shutil.rmtree(work, ignore_errors=True)
    return SteadyFlow(key, entry / FLOW_FILE, info, False, flow)


#: The reused flows' u, v, p already handed out in this process, by :func:`memo_key`
#: (oldest first), at most :data:`MEMO_SIZE` of them.
_FLOW_MEMO: dict = {}
MEMO_SIZE = 16


def memo_key(problem: Problem, cache_dir, program, scheme: str) -> tuple:
    """What a steady flow in this process depends on: the program's build
    (path, size, modification time), the cache, the scheme, the channel's
    lower face and the problem's :data:`FLOW_VALUES`; cheap to form, so that
    a model run of a fit does not rebuild the flow problem to find its
    flow."""
    from ..program import find_program

    executable = find_program(program)
    info = executable.stat()
    cache = str(Path(cache_dir).resolve()) if cache_dir is not None else str(default_cache_dir())
    return ((str(executable), info.st_size, info.st_mtime_ns, cache, scheme, problem.lower_face)
            + tuple(getattr(problem, name) for name in FLOW_VALUES))


def flow_fields(problem: Problem, cache_dir=None, program=None, *, timeout=None, scheme: str = "standard") -> dict:
    """u, v and p (read-only float32 arrays, (nj, ni)) of the steady flow of
    ``problem`` under ``scheme`` (:func:`steady_flow`), kept in this process
    after the first call for the same :func:`memo_key`: the arrays come from
    the entry as it was checked then, and a rebuilt program or another cache
    directory is another key."""
    key = memo_key(problem, cache_dir, program, scheme)
    fields = _FLOW_MEMO.get(key)
    if fields is None:
        restart = steady_flow(problem, cache_dir, program, timeout=timeout, scheme=scheme).restart()
        fields = {}
        for name in ("u", "v", "p"):
            array = np.array(restart.fields[name], dtype=np.float32)
            array.setflags(write=False)
            fields[name] = array
        while len(_FLOW_MEMO) >= MEMO_SIZE:
            del _FLOW_MEMO[next(iter(_FLOW_MEMO))]
        _FLOW_MEMO[key] = fields
    return fields
