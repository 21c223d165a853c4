"""The cache of steady flows: the program's id, the cache key of a flow,
the cache directory, an entry's record and the lock of a key."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import subprocess
from pathlib import Path

from ..problem import Problem
from .reuse import CACHE_ENV, INFO_FILE, PROCEDURE, flow_problem

_PROGRAM_IDS = {}


def program_id(program=None) -> str:
    """The program's ``--version`` text and a hash of its executable
    (memoised per path, size and modification time): a rebuilt program
    that computes differently has another id."""
    from ..runner import find_program

    executable = find_program(program)
    info = executable.stat()
    stamp = (str(executable), info.st_size, info.st_mtime_ns)
    if stamp not in _PROGRAM_IDS:
        done = subprocess.run([str(executable), "--version"], capture_output=True, text=True)
        digest = hashlib.sha256(executable.read_bytes()).hexdigest()[:16]
        _PROGRAM_IDS[stamp] = f"{done.stdout.strip()} ({digest})"
    return _PROGRAM_IDS[stamp]


def flow_key(problem: Problem, program=None, scheme: str = "standard") -> str:
    """The cache key of the steady flow of ``problem`` under ``scheme`` (the
    standard scheme's keys name no scheme)."""
    text = flow_problem(problem).text()
    parts = [PROCEDURE, program_id(program), text] + ([] if scheme == "standard" else [f"scheme {scheme}"])
    digest = hashlib.sha256("\n".join(parts).encode())
    return digest.hexdigest()[:32]


def default_cache_dir() -> Path:
    """$QUESTRAND_FLOW_CACHE, else $XDG_CACHE_HOME/questrand/flow, else ~/.cache/questrand/flow."""
    if os.environ.get(CACHE_ENV):
        return Path(os.environ[CACHE_ENV])
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "questrand" / "flow"


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
