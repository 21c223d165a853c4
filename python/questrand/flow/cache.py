"""The cache of steady flows: the program's id, the cache key of a flow,
the cache directory, the check of an entry before it is used, the
placing of a filled entry, the lock of a key and the removal of what dead
fills left (see :mod:`questrand.flow` for what the cache guarantees)."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import secrets
import shutil
import socket
import sys
import time
from pathlib import Path

import numpy as np

from ..problem import Problem
from ..program import _PROGRAM_IDS, program_id  # noqa: F401  (the program's id keys the cache)
from ..problem import PROBLEM_FILE
from .restart import RestartFile, parse_restart
from .reuse import CACHE_ENV, FLOW_FILE, INFO_FILE, PROCEDURE, FlowError, flow_problem

#: Files of an entry whose sha256 flow.json records (flow.sav is the one handed out).
ENTRY_FILES = (FLOW_FILE, PROBLEM_FILE)
#: A temporary directory or lock file older than this (seconds) is taken as left by a dead fill.
STALE_AGE = 86400.0

def flow_key(problem: Problem, program=None, scheme: str = "standard") -> str:
    """The cache key of the steady flow of ``problem`` under ``scheme`` (the
    standard scheme's keys name no scheme)."""
    text = flow_problem(problem).identity()  # the PROB.INP text when it has no physics
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


def sha256_of(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


# -- an entry's check ------------------------------------------------------------
def flow_fault(flow: RestartFile, problem: Problem, where) -> str | None:
    """Why ``flow`` is not a steady flow of the flow problem ``problem``
    (another grid, a transient file, u, v or p not finite), or None."""
    if (flow.ni, flow.nj, flow.steady) != (problem.ni, problem.nj, True):
        kind = "steady" if flow.steady else "transient"
        return (f"{where}: a {kind} restart file of a {flow.ni} by {flow.nj} grid, expected the steady "
                f"flow of a {problem.ni} by {problem.nj} grid")
    for name in ("u", "v", "p"):
        bad = np.flatnonzero(~np.isfinite(flow.fields[name]))
        if bad.size:
            j, i = divmod(int(bad[0]), flow.ni)
            return f"{where}: field {name}: {bad.size} values not finite (first at node ({i + 1},{j + 1}))"
    return None


def check_entry(entry: Path, key: str, problem: Problem):
    """``(fault, info, flow)`` of the cache entry ``entry`` looked up under
    ``key`` for the flow problem ``problem``: ``fault`` None when flow.json
    records ``key`` and a sha256 of every file of :data:`ENTRY_FILES` that
    matches the file, and flow.sav is a steady flow of the problem's grid
    with finite u, v and p (``flow`` then holds those very bytes read);
    else one line saying what did not match (``"missing"`` when there is no
    entry at all)."""
    if not entry.exists():
        return "missing", {}, None
    info = _read_info(entry)
    if not info:
        return f"{INFO_FILE} missing or unreadable", {}, None
    if info.get("key") != key:
        return f"{INFO_FILE} records key {info.get('key')!r}, not the key looked up", info, None
    digests = info.get("sha256")
    if not isinstance(digests, dict) or any(name not in digests for name in ENTRY_FILES):
        return f"{INFO_FILE} records no sha256 of {' and '.join(ENTRY_FILES)} (an incomplete entry)", info, None
    data = {}
    for name in ENTRY_FILES:
        try:
            data[name] = (entry / name).read_bytes()
        except OSError as exc:
            return f"{name}: {exc.strerror or exc}", info, None
        if sha256_of(data[name]) != digests[name]:
            return f"{name}: sha256 {sha256_of(data[name])[:16]}... is not the {digests[name][:16]}... recorded", \
                info, None
    try:
        flow = parse_restart(data[FLOW_FILE], entry / FLOW_FILE)
    except FlowError as exc:
        return str(exc), info, None
    fault = flow_fault(flow, problem, entry / FLOW_FILE)
    return (fault, info, None) if fault else (None, info, flow)


def report_bad_entry(entry: Path, fault: str) -> None:
    """The one line on standard error of an entry not used."""
    print(f"questrand: flow cache entry {entry} not used ({fault}): solving the flow again",
          file=sys.stderr, flush=True)


def fill_info(work: Path, info: dict, key: str) -> dict:
    """Write ``work``'s flow.json: ``info`` with ``key`` and the sha256 of
    every file of :data:`ENTRY_FILES` as written in ``work``."""
    info = dict(info, key=key, sha256={name: sha256_of((work / name).read_bytes()) for name in ENTRY_FILES})
    (work / INFO_FILE).write_text(json.dumps(info, indent=1) + "\n")
    return info


# -- placing an entry, and what dead fills leave -----------------------------------------
def owner() -> str:
    """``PID@HOST`` of this process, written into the names of its temporary directories."""
    return f"{os.getpid()}@{socket.gethostname().replace('/', '_')}"


def work_dir(cache_dir: Path, key: str) -> Path:
    """A new private directory ``.KEY.PID@HOST.XXXX`` of ``cache_dir`` to fill an entry in."""
    import tempfile

    return Path(tempfile.mkdtemp(prefix=f".{key}.{owner()}.", dir=cache_dir))


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(OSError):
            path.unlink()


def _renamed(work: Path, entry: Path) -> bool:
    """Rename ``work`` to ``entry``: True when done, False when ``entry`` is
    there (a directory in the way); any other failure is raised."""
    try:
        os.rename(work, entry)
        return True
    except OSError:
        if not entry.exists():
            raise
        return False


def place_entry(work: Path, entry: Path, accept) -> bool:
    """Rename the filled directory ``work`` to ``entry``.  Where an entry is
    there already it is kept when ``accept(entry)`` holds (another process
    placed a whole one first; ``work`` is then removed and False returned),
    else it is replaced: renamed aside (under a name of this process), the
    new one renamed in, the old one removed.  Returns True when ``work`` is
    the entry now."""
    for _ in range(5):
        if _renamed(work, entry):
            return True
        if accept(entry):
            shutil.rmtree(work, ignore_errors=True)
            return False
        aside = entry.with_name(f".{entry.name}.{owner()}.{secrets.token_hex(4)}")
        with contextlib.suppress(FileNotFoundError):
            os.rename(entry, aside)
        try:
            if _renamed(work, entry):
                return True
        finally:
            _remove(aside)
    raise FlowError(f"{entry}: could not be replaced (other processes keep placing entries there)")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _owner_gone(text: str) -> bool:
    """Whether the owner ``PID@HOST`` is a process of this host that no longer exists."""
    pid, _, host = text.strip().partition("@")
    return pid.isdigit() and host == socket.gethostname().replace("/", "_") and not _alive(int(pid))


def _newest_change(path: Path) -> float:
    newest = path.lstat().st_mtime
    for root, dirs, names in os.walk(path):
        for name in dirs + names:
            with contextlib.suppress(OSError):
                newest = max(newest, os.lstat(os.path.join(root, name)).st_mtime)
    return newest


def clean_cache(cache_dir: Path) -> None:
    """Remove what fills that died left in ``cache_dir``: a temporary
    directory ``.KEY.PID@HOST.XXXX`` whose owner is a process of this host
    that no longer exists, or that has not changed for :data:`STALE_AGE`
    (any host, and those named without an owner); a lock file ``.KEY.lock``
    that no process holds (:func:`_lock`), or, where the file system has no
    locks, whose recorded owner is gone or that is older than
    :data:`STALE_AGE`.  Entries themselves are not touched."""
    try:
        names = [name for name in os.listdir(cache_dir) if name.startswith(".")]
    except OSError:
        return
    now = time.time()
    for name in names:
        path = cache_dir / name
        try:
            if name.endswith(".lock"):
                _drop_free_lock(path, now)
                continue
            parts = name[1:].split(".", 1)
            who = parts[1].rsplit(".", 1)[0] if len(parts) == 2 and "." in parts[1] else ""
            if _owner_gone(who) or now - _newest_change(path) > STALE_AGE:
                _remove(path)
        except OSError:
            continue


def _drop_free_lock(path: Path, now: float) -> None:
    try:
        import fcntl
    except ImportError:
        fcntl = None
    with open(path, "a+") as handle:
        if fcntl is not None:
            try:
                fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                return  # held by a live process
            except OSError:
                pass  # no locks here: judge by the owner
            else:
                if _same_file(handle, path):
                    path.unlink()
                return
        handle.seek(0)
        if _owner_gone(handle.read()) or now - path.stat().st_mtime > STALE_AGE:
            path.unlink()


def _same_file(handle, path: Path) -> bool:
    try:
        return os.fstat(handle.fileno()).st_ino == os.stat(path).st_ino
    except FileNotFoundError:
        return False


def _acquire(path: Path):
    """The open lock file ``path`` with an exclusive lock on it, or None
    where the file system has no locks.  A holder removes the file when it
    lets go, so a lock got on a file no longer at ``path`` is let go and
    taken again on the one there now."""
    try:
        import fcntl
    except ImportError:
        return None
    while True:
        try:
            handle = open(path, "a+")
        except OSError:
            return None
        try:
            fcntl.flock(handle, fcntl.LOCK_EX)
        except OSError:
            handle.close()
            return None
        if _same_file(handle, path):
            return handle
        handle.close()


@contextlib.contextmanager
def _lock(path: Path):
    """An exclusive lock on ``path`` where the file system has one (else
    none); the file records its owner ``PID@HOST`` and is removed when the
    lock is let go."""
    handle = _acquire(path)
    if handle is None:
        yield
        return
    try:
        handle.truncate(0)
        handle.write(owner() + "\n")
        handle.flush()
        yield
    finally:
        with contextlib.suppress(OSError):
            path.unlink()
        handle.close()
