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
* its physics (PHYSICS.INP) gives an inlet table or a gel's initial
  c0_gel > 0: the run does not start from the c the time-zero restart file
  holds.  Of the physics only ``lower_face`` acts on the flow; the
  steady-flow problem carries it (:func:`flow_problem`).

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
residuals, how it converged, the key and the sha256 of flow.sav and
PROB.INP as written).  An entry is filled in a private temporary directory
``.KEY.PID@HOST.XXXX`` and renamed into place, so a reader sees a whole
entry or none, and two processes filling one key at once leave one whole
entry (the second rename fails and its copy is dropped); a lock file
``.KEY.lock`` makes the second process wait instead of solving the same
flow again where the file system supports it.

What the cache hands out is checked first (:func:`cache.check_entry`): the
key recorded must be the key looked up, each checksum must match its file,
and flow.sav must be a steady flow of the problem's grid with finite u, v
and p; the flow handed out is the very bytes checked.  An entry that fails
(a file changed or damaged since it was filled, an entry left incomplete,
one written before entries recorded checksums) is a miss: one line on
standard error names the entry's directory and what did not match, and the
flow is solved again and replaces the entry (the old one renamed aside,
the new one renamed in, the old one removed).  So a wrong flow is never
used and a bad entry never blocks its key.  Every use of the cache first
removes what dead fills left (:func:`cache.clean_cache`): a temporary
directory whose owner is a process of this host that no longer exists, or
that has not changed for a day, and a lock file no process holds (the
holder of a lock removes its file when it lets go).

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
from pathlib import Path

from ..grid import restart_name, uptake_name
from ..problem import Problem
from .cache import (_PROGRAM_IDS, _lock, _read_info, check_entry, clean_cache, default_cache_dir,  # noqa: F401
                    flow_key, program_id)
from .restart import (RestartFile, read_restart, restart_bytes, starting_fields,  # noqa: F401
                      time_zero_restart, write_restart)
from .reuse import (CACHE_ENV, CHUNK, FIELD_NAMES, FIELD_TOL, FLOW_FILE, FLOW_RUNNAME,  # noqa: F401
                    INFO_FILE, MAX_ITERATIONS, PROCEDURE, FlowError, FlowMode, FlowWarning,
                    check_reusable, flow_label, flow_problem, reuse_refusal, startup_time)
from .solve import (SteadyFlow, _interp2, coarser, flow_fields, flow_stopped, interpolate_flow,  # noqa: F401
                    solve_steady_flow, steady_flow)


# -- the transient run ---------------------------------------------------------------
def prepare(problem: Problem, workdir, cache_dir=None, program=None, *, timeout=None,
            scheme: str = "standard") -> Problem:
    """Place in ``workdir`` the restart file of a run of ``problem`` at time
    zero with the cached steady flow, and return the problem to run there
    (flow not solved, restart file read).  Removes an earlier uptake file of
    the run name from ``workdir`` (a run from time zero replaces it).

    Raises :class:`FlowError` when the flow cannot be reused
    (:func:`reuse_refusal`); warns with :class:`FlowWarning` when the
    start-up time is more than a tenth of the run.
    """
    return prepare_run(problem, workdir, cache_dir, program, timeout=timeout, scheme=scheme)[0]


def prepare_run(problem: Problem, workdir, cache_dir=None, program=None, *, timeout=None,
                scheme: str = "standard"):
    """:func:`prepare`, returning ``(problem to run, SteadyFlow)``; the flow is
    the one the program computes under ``scheme``."""
    check_reusable(problem)
    if restart_name(problem.runname) == problem.runname.rstrip(" "):
        raise FlowError(f"run name {problem.runname!r}: give it a point (e.g. RUN.OUT) so that "
                        "its restart file has a name of its own")
    flow = steady_flow(problem, cache_dir, program, timeout=timeout, scheme=scheme)
    workdir = Path(workdir)
    workdir.mkdir(parents=True, exist_ok=True)
    write_restart(workdir / restart_name(problem.runname), time_zero_restart(problem, flow.restart()))
    with contextlib.suppress(FileNotFoundError):
        (workdir / uptake_name(problem.runname)).unlink()
    return problem.replace(solve_u=False, restart_in=True), flow


__all__ = ["FlowMode", "FlowError", "FlowWarning", "RestartFile", "SteadyFlow", "read_restart",
           "write_restart", "restart_bytes", "starting_fields", "time_zero_restart", "startup_time",
           "reuse_refusal", "flow_label", "check_reusable", "flow_problem", "flow_key", "default_cache_dir",
           "coarser", "interpolate_flow", "solve_steady_flow", "steady_flow", "prepare", "prepare_run"]
