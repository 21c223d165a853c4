"""When the flow of a problem can be solved once and reused, and the
steady-flow problem made from it; the modes, errors and settings of the
steady flow (see :mod:`questrand.flow`)."""

from __future__ import annotations

import enum
import warnings

from ..errors import QuestrandError
from ..problem import Problem

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
    physics = problem.physics
    if physics is not None and physics.inlet is not None:
        return ("the inlet concentration follows an inlet table: the run's starting c is not the "
                "one a reused flow's restart file holds")
    if physics is not None and physics.c0_gel > 0:
        return ("the gel starts at c0_gel > 0: the run's starting c is not the one a reused flow's "
                "restart file holds")
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


#: The values of a problem that its steady flow depends on (with the channel's lower face,
#: see :func:`flow_problem`).
FLOW_VALUES = ("chlength", "halfgap", "th_memb", "th_gel", "u_in", "parabolic", "density", "viscosity",
               "ni", "n_flow", "n_memb", "n_gel", "convtol", "relax_u", "relax_p", "solver_u", "solver_p")


def flow_problem(problem: Problem, *, maxit: int = CHUNK) -> Problem:
    """The steady-flow problem of ``problem``: its flow values, every other
    value fixed (so the text is the same for every problem with this flow).
    Of the physics only the channel's lower face acts on the flow (a wall
    or a symmetry plane): the flow problem carries it when it is a wall,
    and no physics otherwise (so its text and key are those of a problem
    without physics)."""
    from ..physics import Physics, default_value

    lower_face = problem.lower_face
    physics = None if lower_face == default_value("lower_face") else Physics(lower_face=lower_face)
    base = Problem(physics=physics)
    return base.replace(**{name: getattr(problem, name) for name in FLOW_VALUES},
                        steady=True, solve_u=True, solve_c=False, maxit=maxit, relax_c=1.0,
                        imon=max(problem.ni // 2, 1), jmon=max((problem.n_flow + 1) // 2, 1),
                        runname=FLOW_RUNNAME, restart_out=True, restart_in=False)
