"""Ctrl-C (SIGINT) and SIGTERM in the toolkit's commands.

The command line (:mod:`questrand.cli`) runs each command under
:func:`handling`: the first SIGINT or SIGTERM stops the worker processes of
every pool made by :func:`worker_pool` (each kills the program run it is
waiting for and removes that run's scratch directory) and raises
:class:`KeyboardInterrupt` in the command, whose ``finally`` clauses clean
up; further signals are ignored until the command has ended.  The command
line then prints one line and exits with status :data:`EXIT_STATUS`; a
command says what was kept by raising :class:`Interrupted` with its line.

Worker processes do not take Ctrl-C themselves: a Ctrl-C at a terminal
reaches the whole process group, so the program runs (which keep the
default action) end at once, and the main process stops the workers.

A signal's exception raised where Python cannot pass it on (in a
finaliser, such as a finished program's ``Popen.__del__``) is not printed
as a fault: a worker then ends at the start of its next task, and the main
process takes the next Ctrl-C again.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import os
import signal
import sys
import weakref

from .errors import QuestrandError

#: Exit status of an interrupted command (128 + SIGINT, as a shell reports it).
EXIT_STATUS = 130
_SIGNALS = (signal.SIGINT, signal.SIGTERM)
_pools = weakref.WeakSet()


class Interrupted(QuestrandError):
    """A command stopped by Ctrl-C or SIGTERM; the message says what was kept."""


@contextlib.contextmanager
def handling():
    """Run the body with the toolkit's handling of SIGINT and SIGTERM."""
    state = {"seen": False}

    def interrupt(signum, frame):
        if state["seen"]:
            return  # a second Ctrl-C during the clean-up: let it finish
        state["seen"] = True
        stop_workers()
        raise KeyboardInterrupt

    def unraisable(report):
        # the interrupt raised in a finaliser is lost there: take the next one
        if isinstance(report.exc_value, KeyboardInterrupt) and state["seen"]:
            state["seen"] = False
            return
        hook(report)

    previous = {}
    try:
        for signum in _SIGNALS:
            previous[signum] = signal.signal(signum, interrupt)
    except ValueError:  # not the main thread: leave the signals alone
        previous = {}
    hook = sys.unraisablehook
    if previous:
        sys.unraisablehook = unraisable
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if previous:
            sys.unraisablehook = hook


#: A worker was told to stop (SIGTERM from the main process).
_stop_requested = False


def _worker_signal(signum, frame):
    # SIGINT: ignored here (a Python handler, so the program runs this
    # worker starts keep the default action and end on Ctrl-C).
    # SIGTERM, from the main process: end the task at hand; subprocess.run
    # kills the program and the task's clean-up runs.
    global _stop_requested
    if signum == signal.SIGTERM:
        _stop_requested = True
        raise SystemExit(EXIT_STATUS)


def _worker_unraisable(report):
    # the stop's SystemExit raised in a finaliser: the task goes on to its
    # end (its program has ended), and the worker takes no further task
    if isinstance(report.exc_value, SystemExit) and _stop_requested:
        return
    sys.__unraisablehook__(report)


def _worker_init():
    for signum in _SIGNALS:
        signal.signal(signum, _worker_signal)
    sys.unraisablehook = _worker_unraisable


def _task(function, *arguments):
    """One task of a worker: ``function(*arguments)``, unless the worker
    was told to stop."""
    if _stop_requested:
        raise SystemExit(EXIT_STATUS)
    return function(*arguments)


def worker_pool(jobs: int) -> concurrent.futures.ProcessPoolExecutor:
    """A process pool whose workers the first interrupt stops."""
    pool = concurrent.futures.ProcessPoolExecutor(max_workers=jobs, initializer=_worker_init)
    _pools.add(pool)
    return pool


def cores() -> int:
    """The number of cores this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class Workers:
    """``jobs`` worker processes (default: one per core), started at the
    first call that has more than one task and kept until :meth:`close`."""

    def __init__(self, jobs=None):
        self.jobs = max(1, int(jobs or cores()))
        self._pool = None

    def map(self, function, arguments) -> list:
        """``[function(*a) for a in arguments]``, in the workers when there
        are several of both."""
        arguments = list(arguments)
        if self.jobs == 1 or len(arguments) < 2:
            return [function(*a) for a in arguments]
        if self._pool is None:
            self._pool = worker_pool(self.jobs)
        return list(self._pool.map(_task, [function] * len(arguments), *zip(*arguments)))

    def close(self) -> None:
        if self._pool is not None:
            self._pool.shutdown()
            self._pool = None


def stop_workers() -> None:
    """Ask every worker of the pools of :func:`worker_pool` to end its task."""
    for pool in list(_pools):
        for process in list((getattr(pool, "_processes", None) or {}).values()):
            with contextlib.suppress(OSError, AttributeError, ValueError):
                if process.pid is not None and process.exitcode is None:
                    os.kill(process.pid, signal.SIGTERM)
