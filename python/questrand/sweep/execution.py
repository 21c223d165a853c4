"""Running a sweep's workflow: where the workflow is, the snakemake command
line and its environment, stopping snakemake, and the job records of the
runs (which runs are finished and whole on disk)."""

from __future__ import annotations

import importlib.util
import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from ..errors import OutputFileError
from ..paths import package_env, workflow_dir
from .definition import Sweep, SweepRun

#: The workflow's directory: the copy installed with the package, else the
#: repository's workflow/ (see :func:`questrand.paths.workflow_dir`).
WORKFLOW_DIR = workflow_dir()
SNAKEFILE = WORKFLOW_DIR / "Snakefile"
PROFILES_DIR = WORKFLOW_DIR / "profiles"
CONFIG_FILE = "sweep.json"
RECORD_FILE = "run.json"


# -- the records of the runs ----------------------------------------------------
def read_record(workdir) -> dict | None:
    """The job record ``run.json`` of a run directory, or None."""
    path = Path(workdir) / RECORD_FILE
    if not path.is_file():
        return None
    try:
        record = json.loads(path.read_bytes())
    except (OSError, ValueError) as exc:
        raise OutputFileError(f"{path}: expected the JSON record of a run ({exc})") from None
    if not isinstance(record, dict):
        raise OutputFileError(f"{path}: expected the JSON record of a run (an object)")
    return record


def run_fault(sweep_run: SweepRun, workdir, record) -> str | None:
    """Why the directory of a finished run does not hold that whole run, or
    None: its problem differs from the sweep's (PROB.INP, or its physics
    files PHYSICS.INP and the inlet table), or a file the record lists
    (every file the run left, with its size) is missing or has another size.
    A run with the steady flow reused keeps the sweep's problem in
    PROB.INP.given (its PROB.INP is the problem it ran)."""
    workdir = Path(workdir)
    given = workdir / "PROB.INP.given"
    try:
        if (given if given.is_file() else workdir / "PROB.INP").read_bytes() != sweep_run.problem.data():
            return "PROB.INP differs from the sweep's problem"
    except OSError:
        return "PROB.INP is missing"
    from ..physics import PHYSICS_FILE
    inputs = sweep_run.problem.input_files()
    for name, data in inputs.items():
        if name != "PROB.INP" and ((workdir / name).read_bytes() if (workdir / name).is_file() else None) != data:
            return f"{name} differs from the sweep's problem"
    if PHYSICS_FILE not in inputs and (workdir / PHYSICS_FILE).exists():
        return f"{PHYSICS_FILE} is there, but the sweep's problem has no physics"
    listed = record.get("files")
    if not isinstance(listed, dict):  # a record of an earlier version: the main files
        listed = {name: None for name in ("console.txt", "monitor.dat")}
    for name, size in listed.items():
        path = workdir / name
        if not path.is_file():
            return f"{name} is missing"
        if size is not None and path.stat().st_size != size:
            return f"{name} has {path.stat().st_size} bytes, the run left {size}"
    return None


def finished(sweep: Sweep, root=".") -> list:
    """The runs of the sweep whose directories under ``root`` hold the whole
    run, finished with status ok."""
    done = []
    for run in sweep.runs:
        try:
            record = read_record(Path(root) / run.workdir)
        except OutputFileError:
            continue
        if record is not None and record.get("status") == "ok" \
                and run_fault(run, Path(root) / run.workdir, record) is None:
            done.append(run)
    return done


# -- launching and stopping snakemake -------------------------------------------
def profile_path(name: str) -> str:
    """A --profile argument: an existing path, else a profile of the
    repository's workflow/profiles, else the name as given (Snakemake then
    looks in its own profile folders)."""
    if Path(name).is_dir():
        return str(Path(name).resolve())
    if "/" not in name and (PROFILES_DIR / name).is_dir():
        return str(PROFILES_DIR / name)
    return name


def snakemake_command(outdir: Path, *, cores=None, profile=None, dry_run=False, forcerun=(),
                      snakemake=None) -> list:
    """The snakemake command line of a sweep in ``outdir``.  ``snakemake``:
    the program (a path) or the command that starts it (a list); default
    :func:`snakemake_launcher`'s."""
    # --ignore-incomplete: this command decides which runs to make again (every
    # run not whole on disk, given with --forcerun); Snakemake's own marks would
    # also rerun a run that finished as it was interrupted.
    if snakemake is None:
        snakemake = snakemake_launcher() or "snakemake"
    # --scheduler greedy: the runs are alike (one core each, no other resources), so
    # taking the ready runs in order is as good as Snakemake's default, which solves
    # an integer program (a CBC process) over all ready runs every time one ends.
    start = [snakemake] if isinstance(snakemake, (str, os.PathLike)) else list(snakemake)
    command = [*start, "--snakefile", str(SNAKEFILE), "--directory", str(outdir),
               "--configfile", str(outdir / CONFIG_FILE), "--keep-going", "--ignore-incomplete",
               "--scheduler", "greedy"]
    if profile is not None:
        command += ["--profile", profile_path(profile)]
    if cores is not None or profile is None:
        command += ["--cores", str(cores if cores is not None else (os.cpu_count() or 1))]
    if dry_run:
        command += ["--dry-run"]
    if forcerun:
        command += ["--forcerun", *forcerun]
    return command


def snakemake_launcher() -> list | None:
    """How to start snakemake: with this Python (``python -m snakemake``)
    when it has the snakemake module, else the ``snakemake`` on PATH; None
    when there is neither."""
    if importlib.util.find_spec("snakemake") is not None:
        return [sys.executable, "-m", "snakemake"]
    found = shutil.which("snakemake")
    return None if found is None else [found]


def snakemake_env(environ=None) -> dict:
    """The environment of snakemake (a copy of ``environ``, default this
    process's): the directory holding this questrand package first on
    PYTHONPATH (the workflow and its jobs import the same toolkit), any
    PYTHONPATH given after it; a user name and UTF-8 texts if unset."""
    env = package_env(environ)
    env.setdefault("USER", _user())
    env.setdefault("PYTHONUTF8", "1")  # file names and texts in UTF-8 whatever the locale
    return env


def _stop(process, grace=60.0):
    """Stop snakemake as Ctrl-C does (it stops its jobs and keeps its records
    consistent), harder if it does not end within ``grace`` seconds."""
    for signum, wait in ((signal.SIGINT, grace), (signal.SIGTERM, 10.0), (signal.SIGKILL, None)):
        if process.poll() is not None:
            return
        try:
            process.send_signal(signum)
            process.wait(wait)
        except subprocess.TimeoutExpired:
            continue
        except OSError:
            return


def _record_or_none(workdir):
    try:
        return read_record(workdir)
    except OutputFileError:
        return {"status": "unreadable"}


def _user() -> str:
    try:
        import pwd
        return pwd.getpwuid(os.getuid()).pw_name
    except (ImportError, KeyError):
        return "questrand"

