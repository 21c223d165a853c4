"""The questrand program as the toolkit sees it: the one module that finds,
identifies, starts and judges it.

* :func:`find_program` locates the executable, :func:`program_id` names
  the build (its ``--version`` and a hash of the executable);
* :func:`start` is the only place the toolkit starts the program
  (``subprocess.run``); :func:`describe` asks it what a problem implies
  (``questrand --describe``: file names, grid, restart layout);
* :func:`read_record` reads the record a run writes beside its files
  (``<stem>.record.json``) and checks it against the directory:
  the toolkit judges a run by its record (:func:`run_fault`), never by the
  text of its console or listing.

This module imports nothing else of the toolkit but its errors, so every
other module may import it.
"""

from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from .errors import OutputFileError, ProgramNotFoundError

PROGRAM_ENV = "QUESTRAND_PROGRAM"
PROGRAM_NAME = "questrand"
# python/questrand/program.py -> the repository root
_REPOSITORY = Path(__file__).resolve().parents[2]

#: The program's schemes for the concentration equation (``--scheme``).
SCHEMES = ("standard", "second-order", "second-order-graded")
#: The record a run writes (``record`` and ``record_version`` of its JSON).
RECORD_KIND, RECORD_VERSION = "questrand run record", 1
#: The file name a run's record takes after the stem of its run name.
RECORD_SUFFIX = ".record.json"
#: Where the toolkit keeps a run's standard output (the console).
CONSOLE_FILE = "console.txt"


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


_PROGRAM_IDS = {}


def program_id(program=None) -> str:
    """The program's ``--version`` text and a hash of its executable
    (memoised per path, size and modification time): a rebuilt program
    that computes differently has another id."""
    executable = find_program(program)
    info = executable.stat()
    stamp = (str(executable), info.st_size, info.st_mtime_ns)
    if stamp not in _PROGRAM_IDS:
        done = start(executable, ["--version"])
        digest = hashlib.sha256(executable.read_bytes()).hexdigest()[:16]
        _PROGRAM_IDS[stamp] = f"{done.stdout.decode('utf-8', 'replace').strip()} ({digest})"
    return _PROGRAM_IDS[stamp]


def program_arguments(scheme: str = "standard", start_dt=None) -> list:
    """The program's options for ``scheme`` (none for the standard scheme,
    so that standard runs are invoked exactly as before) and, under the
    second-order scheme, the start's time step ``start_dt`` when given
    (:attr:`questrand.Problem.start_dt`; the standard scheme has no start)."""
    if scheme not in SCHEMES:
        raise ValueError(f"scheme {scheme!r}: expected one of {', '.join(SCHEMES)}")
    if scheme == "standard":
        return []
    return ["--scheme", scheme] + ([] if start_dt is None else ["--start-dt", repr(float(start_dt))])


def start(program, arguments=(), *, cwd=None, timeout=None) -> subprocess.CompletedProcess:
    """Run ``program`` with ``arguments`` in ``cwd``, its output captured as
    bytes; :class:`subprocess.TimeoutExpired` past ``timeout`` seconds (the
    program is then stopped).  The one way the toolkit starts the program."""
    return subprocess.run([str(program), *arguments], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def describe(problem, program=None, *, timeout=60, scheme: str = "standard") -> dict:
    """What ``problem`` (a :class:`~questrand.Problem` or the text of a
    PROB.INP) implies, from ``questrand --describe``: its files, grid and
    restart layout (docs/user-guide.md); with ``scheme`` those of a run
    under that scheme (the graded columns of ``second-order-graded``).  A problem the program refuses
    raises :class:`ValueError` with the program's line."""
    executable = find_program(program)
    text = problem if isinstance(problem, str) else problem.text()
    with tempfile.TemporaryDirectory(prefix="questrand-describe-") as scratch:
        (Path(scratch) / "PROB.INP").write_bytes(os.fsencode(text))
        done = start(executable, ["-C", scratch, *program_arguments(scheme), "--describe"], timeout=timeout)
    if done.returncode != 0:
        line = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise ValueError(line[-1] if line else f"{executable} --describe: exit status {done.returncode}")
    return json.loads(done.stdout.decode("utf-8"))


@dataclasses.dataclass(frozen=True)
class RunRecord:
    """A run's record (``<stem>.record.json``), read by :func:`read_record`.

    ``status`` "completed", "output error" or "diverged" with its
    ``exit_status`` and ``reason`` (the error line); ``steps`` the steps
    ended; ``maxit_steps`` those that ended at the iteration limit;
    ``most_outer_iterations`` the most any step took; ``files`` name ->
    size in bytes of every file written; ``data`` the whole document."""

    path: Path
    status: str
    exit_status: int
    reason: str
    scheme: str
    steps: int
    maxit_steps: tuple
    outer_iterations: int
    most_outer_iterations: int
    files: dict
    data: dict

    @property
    def converged(self) -> bool:
        """Completed, and no step ended at the iteration limit."""
        return self.status == "completed" and not self.maxit_steps

    @property
    def physics(self) -> dict | None:
        """Every physics value the run used (the record's ``physics``
        object), or None: a run without PHYSICS.INP."""
        return self.data.get("physics")


def record_name(runname: str) -> str:
    """The record's file name for ``runname`` (the program's rule, checked
    against ``questrand --describe`` in the tests)."""
    from .grid import stem

    return stem(runname).rstrip(" ") + RECORD_SUFFIX


def read_record(workdir, runname: str) -> RunRecord:
    """The record of the run ``runname`` in ``workdir``, verified: a JSON
    document of the program's record kind and version whose every file
    exists with the size recorded (a record that does not match the files
    beside it describes another run).  Raises :class:`OutputFileError`
    naming the record and what does not match."""
    path = Path(workdir) / record_name(runname)
    try:
        data = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise OutputFileError(f"{path}: no run record (the program wrote none: it did not start, "
                              "or it is older than the run record)") from None
    except (OSError, ValueError) as exc:
        raise OutputFileError(f"{path}: not a readable run record ({exc})") from None
    if not isinstance(data, dict) or data.get("record") != RECORD_KIND \
            or data.get("record_version") != RECORD_VERSION:
        raise OutputFileError(f"{path}: not a run record of version {RECORD_VERSION} "
                              f"(record {data.get('record')!r}, version {data.get('record_version')!r})"
                              if isinstance(data, dict) else f"{path}: not a run record")
    try:
        sizes = {entry["name"]: int(entry["bytes"]) for entry in data["files"]}
        record = RunRecord(path=path, status=str(data["status"]), exit_status=int(data["exit_status"]),
                           reason=str(data["reason"]), scheme=str(data["scheme"]), steps=int(data["steps"]),
                           maxit_steps=tuple(int(s) for s in data["maxit_steps"]),
                           outer_iterations=int(data["outer_iterations"]),
                           most_outer_iterations=int(data["most_outer_iterations"]), files=sizes, data=data)
    except (KeyError, TypeError, ValueError) as exc:
        raise OutputFileError(f"{path}: run record without its field {exc}") from None
    for name, size in sizes.items():
        file = Path(workdir) / name
        actual = file.stat().st_size if file.is_file() else None
        if actual != size:
            raise OutputFileError(f"{path}: {name} is {'missing' if actual is None else f'{actual} bytes'}, "
                                  f"the run wrote {size}: the files are not those of the recorded run")
    return record


def run_fault(record: RunRecord, maxit: int, allow_maxit: bool = False) -> str | None:
    """Why the recorded run does not give the model's solution, in one line
    (None when it does): an end other than completed (with the program's
    reason), or (unless ``allow_maxit``) steps that ended at the iteration
    limit ``maxit``."""
    if record.status != "completed":
        return f"exit status {record.exit_status} ({record.status}): {record.reason}"
    return None if allow_maxit else maxit_fault(record.maxit_steps, maxit)


def maxit_fault(maxit_steps, maxit: int) -> str | None:
    """Why a run whose steps ``maxit_steps`` ended at the iteration limit
    ``maxit`` is not the model's solution, in one line (None when none did)."""
    if not len(maxit_steps):
        return None
    n = len(maxit_steps)
    return (f"{n} step{'s' if n != 1 else ''} ended without convergence after maxit = {maxit} "
            "outer iterations; the run is not the model's solution: raise maxit (or convtol) in PROB.INP")
