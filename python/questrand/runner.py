"""Running the questrand program: one run per working directory."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

from . import files
from .errors import ProgramNotFoundError, RunError
from .grid import restart_name, stem
from .problem import PROBLEM_FILE, Problem
from .results import CONSOLE_FILE, MONITOR_FILE, Run, read_run

PROGRAM_ENV = "QUESTRAND_PROGRAM"
PROGRAM_NAME = "questrand"
# python/questrand/runner.py -> the repository root
_REPOSITORY = Path(__file__).resolve().parents[2]


def find_program(program=None) -> Path:
    """The program to run: ``program`` if given, else the environment
    variable QUESTRAND_PROGRAM, else ``questrand`` on PATH, else the
    repository's ``build/questrand``.

    Raises :class:`ProgramNotFoundError` listing what was tried.
    """
    tried = []
    candidates = []
    if program is not None:
        candidates.append(("the program argument", str(program)))
    elif os.environ.get(PROGRAM_ENV):
        candidates.append((f"${PROGRAM_ENV}", os.environ[PROGRAM_ENV]))
    else:
        candidates.append(("PATH", shutil.which(PROGRAM_NAME)))
        candidates.append(("the repository build", str(_REPOSITORY / "build" / PROGRAM_NAME)))
    for origin, candidate in candidates:
        if candidate is None:
            tried.append(f"no {PROGRAM_NAME} on {origin}")
            continue
        path = Path(candidate)
        if path.is_file() and os.access(path, os.X_OK):
            return path.resolve()
        found = shutil.which(candidate) if os.sep not in candidate else None
        if found:
            return Path(found).resolve()
        tried.append(f"{candidate} ({origin}): {'not executable' if path.is_file() else 'no such file'}")
    raise ProgramNotFoundError("questrand program not found: " + "; ".join(tried)
                               + f". Pass program=..., set {PROGRAM_ENV} or put {PROGRAM_NAME} on PATH.")


#: The program's schemes for the concentration equation (``--scheme``).
SCHEMES = ("standard", "second-order")
#: The start of the program's warning line for a step (or steady solve) that
#: ended at the iteration limit.
CONVERGENCE_WARNING = "ended without convergence after maxit"


def program_arguments(scheme: str = "standard") -> list:
    """The program's options for ``scheme`` (none for the standard scheme,
    so that standard runs are invoked exactly as before)."""
    if scheme not in SCHEMES:
        raise ValueError(f"scheme {scheme!r}: expected one of {', '.join(SCHEMES)}")
    return [] if scheme == "standard" else ["--scheme", scheme]


def convergence_warnings(stderr: str) -> list:
    """The program's warning lines of steps that ended at the iteration limit."""
    return [line.strip() for line in (stderr or "").splitlines() if CONVERGENCE_WARNING in line]


def run(problem: Problem, workdir, *, program=None, restart_from=None, timeout=None,
        flow="coupled", flow_cache=None, scheme: str = "standard") -> Run:
    """Write ``problem`` as PROB.INP in ``workdir``, run the program there and
    read the results.

    ``flow="reuse"`` (or :attr:`questrand.flow.FlowMode.REUSE`) runs a
    transient problem with its steady flow solved once and kept in the
    cache directory ``flow_cache`` (default
    :func:`questrand.flow.default_cache_dir`): the run reads a restart file
    at time zero and solves only the concentration (see
    :mod:`questrand.flow`; :class:`~questrand.flow.FlowError` when the
    flow cannot be reused).  ``"coupled"`` (the default) runs the problem as
    it is.  The problem of the run directory's PROB.INP is then the one run
    (flow switch F, restart read).

    ``restart_from`` continues an earlier run: a :class:`Run`, its directory
    or its restart file.  The restart file is copied into ``workdir`` under
    the name this problem reads, together with the earlier monitor.dat and
    uptake file (when ``workdir`` has none) so the histories continue;
    ``restart_in`` is switched on.

    ``scheme`` selects the program's scheme for the concentration equation.
    The program's console output is kept in ``workdir/console.txt``; the
    returned run's ``warned_steps`` counts the steps that ended at the
    iteration limit.  A non-zero exit status raises :class:`RunError`
    carrying the status and the program's standard error; so does exceeding
    ``timeout`` seconds.
    """
    from .flow import FlowError, FlowMode, prepare

    executable = find_program(program)
    workdir = Path(workdir)
    try:
        mode = FlowMode(flow)
    except ValueError:
        raise FlowError(f"flow: expected 'reuse' or 'coupled', found {flow!r}") from None
    workdir.mkdir(parents=True, exist_ok=True)
    if mode is FlowMode.REUSE:
        if restart_from is not None:
            raise FlowError("flow='reuse' starts the run at time zero: it cannot continue from "
                            "restart_from")
        problem = prepare(problem, workdir, flow_cache, executable, timeout=timeout)
    if restart_from is not None:
        problem = problem.replace(restart_in=True)
        _prepare_restart(problem, workdir, restart_from)
    problem.write(workdir / PROBLEM_FILE)
    try:
        done = subprocess.run([str(executable), *program_arguments(scheme)], cwd=workdir,
                              capture_output=True, text=True, errors="replace", timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        raise RunError(f"{executable} in {workdir}: no end after {timeout} s (stopped)",
                       returncode=None, stderr=_text(exc.stderr), stdout=_text(exc.stdout),
                       workdir=workdir) from None
    files.write_text(workdir / CONSOLE_FILE, done.stdout)
    if done.returncode != 0:
        detail = done.stderr.strip() or "(nothing on standard error)"
        raise RunError(f"{executable} in {workdir} failed with exit status {done.returncode}:\n{detail}",
                       returncode=done.returncode, stderr=done.stderr, stdout=done.stdout,
                       workdir=workdir)
    result = read_run(workdir)
    result.console = done.stdout
    result.warned_steps = len(convergence_warnings(done.stderr))
    return result


def _text(data) -> str:
    if data is None:
        return ""
    return data.decode(errors="replace") if isinstance(data, bytes) else data


def _prepare_restart(problem: Problem, workdir: Path, source) -> None:
    """Copy the restart file (and the histories) of ``source`` into ``workdir``."""
    if isinstance(source, Run):
        source = source.workdir
    source = Path(source)
    if source.is_dir():
        earlier = Problem.read(source / PROBLEM_FILE)
        sav, source_dir = source / restart_name(earlier.runname), source
        histories = [MONITOR_FILE, stem(earlier.runname).rstrip(" ") + ".UPT"]
    else:
        sav, source_dir, histories = source, source.parent, [MONITOR_FILE]
    if not sav.is_file():
        raise FileNotFoundError(f"{sav}: no restart file to continue from "
                                "(did the earlier run have restart_out=True?)")
    target = workdir / restart_name(problem.runname)
    if sav.resolve() != target.resolve():
        shutil.copyfile(sav, target)
    for name in histories:
        target_name = stem(problem.runname).rstrip(" ") + ".UPT" if name.endswith(".UPT") else name
        if (source_dir / name).is_file() and not (workdir / target_name).exists():
            shutil.copyfile(source_dir / name, workdir / target_name)
