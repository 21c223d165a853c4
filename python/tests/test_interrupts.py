"""Ctrl-C: a fit or a sweep interrupted while the program runs ends with
one line and exit status 130, leaves no program process, worker or scratch
directory behind, and an interrupted sweep resumes where it stopped.

Ctrl-C at a terminal signals the whole process group; a SIGINT sent to the
command alone (kill -INT PID) must do the same.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
from conftest import CASES_DIR, PYTHON_DIR

from questrand import Problem

needs_snakemake = pytest.mark.skipif(shutil.which("snakemake") is None,
                                     reason="snakemake not installed (Debian package snakemake)")


def start(program, tmp_path, *args):
    """`python3 -m questrand ARGS` in its own process group, scratch files
    under tmp_path/scratch."""
    scratch = tmp_path / "scratch"
    scratch.mkdir(exist_ok=True)
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), QUESTRAND_PROGRAM=str(program),
               TMPDIR=str(scratch))
    return subprocess.Popen([sys.executable, "-m", "questrand", *map(str, args)], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def wait_for(condition, seconds=120):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def processes_under(root) -> list:
    """Processes whose working directory lies under ``root``."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if os.readlink(entry / "cwd").startswith(str(root)):
                    found.append((entry.name, (entry / "cmdline").read_bytes()))
            except OSError:
                pass
    return found


def live_members(group) -> list:
    """The processes of a process group that have not ended (zombies aside)."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[2]) == group and fields[0] != "Z":
                found.append(entry.name)
    return found


def slow_fit_inputs(tmp_path):
    """A two-parameter fit whose model runs take seconds each."""
    base = Problem.read(CASES_DIR / "transient_conc_only" / "PROB.INP").replace(nsteps=40000, dt=0.5,
                                                                              prt_step=100000)
    base.write(tmp_path / "PROB.INP")
    data = tmp_path / "data.csv"
    data.write_text("time,C(GelMid)\n" + "".join(f"{t},{1e-5 * t}\n" for t in range(1000, 20001, 1000)))
    return tmp_path / "PROB.INP", data


@pytest.mark.parametrize("whole_group", [True, False], ids=["ctrl-c", "kill-int"])
def test_interrupted_fit(program, tmp_path, whole_group):
    base, data = slow_fit_inputs(tmp_path)
    process = start(program, tmp_path, "fit", base, data, "--param", "diff_gel",
                    "--param", "diff_memb", "--jobs", "2", "--json", tmp_path / "fit.json")
    scratch = tmp_path / "scratch"
    # interrupt while model runs are under way
    wait_for(lambda: len(processes_under(scratch)) >= 2)
    if whole_group:
        os.killpg(process.pid, signal.SIGINT)
    else:
        os.kill(process.pid, signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130
    assert stderr.splitlines() == ["questrand fit: interrupted; nothing kept"]
    assert list(scratch.iterdir()) == [] and not (tmp_path / "fit.json").exists()
    assert processes_under(scratch) == []
    assert live_members(process.pid) == []  # no worker of the fit outlives it


@needs_snakemake
def test_interrupted_sweep_says_what_finished_and_resumes(program, tmp_path):
    base = tmp_path / "PROB.INP"
    Problem.read(CASES_DIR / "transient_flow_conc" / "PROB.INP").replace(nsteps=12).write(base)
    ids = [f"r{k}" for k in range(4)]
    table = tmp_path / "s.csv"
    table.write_text("id,u_in\n" + "".join(f"{i},{0.002 + 0.001 * k:g}\n" for k, i in enumerate(ids)))
    out = tmp_path / "out"
    process = start(program, tmp_path, "sweep", base, table, "-o", out, "--jobs", "1")
    # On one core a run starts only when Snakemake has recorded the previous
    # one as finished: once two records exist, the first is a finished run.
    wait_for(lambda: len(list(out.glob("runs/*/run.json"))) >= 2)
    os.killpg(process.pid, signal.SIGINT)  # as Ctrl-C does
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 130
    assert "Traceback" not in stderr and "KeyboardInterrupt" not in stderr
    last = stderr.splitlines()[-1]
    match = re.fullmatch(r"questrand sweep: interrupted; (\d) of 4 runs finished, "
                         r"run the same command to resume", last)
    assert match, last
    records = sorted((p.stat().st_mtime_ns, p.parent.name) for p in out.glob("runs/*/run.json"))
    assert int(match.group(1)) == len(records) >= 1
    assert not (out / "summary.csv").exists() and processes_under(out) == []

    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), QUESTRAND_PROGRAM=str(program))
    done = subprocess.run([sys.executable, "-m", "questrand", "sweep", str(base), str(table), "-o",
                           str(out), "--jobs", "2"], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "4 of 4 runs ok" in done.stderr
    # the runs finished before the interruption were not run again
    for stamp, run_id in records:
        assert (out / "runs" / run_id / "run.json").stat().st_mtime_ns == stamp
    assert done.stderr.count("rule run_case:") == len(ids) - len(records)


def test_a_stop_that_lands_in_a_finaliser_is_quiet_and_still_stops_the_worker():
    # The main process's SIGTERM reaches a worker while Python finalises an
    # object (a finished program's Popen): its SystemExit cannot pass out of
    # __del__.  Nothing is printed as a fault, and the worker takes no
    # further task.
    code = textwrap.dedent("""
        import os, signal
        from questrand import interrupts
        interrupts._worker_init()
        class Finaliser:
            def __del__(self):
                os.kill(os.getpid(), signal.SIGTERM)
                for _ in range(10 ** 6):
                    pass
        Finaliser()
        try:
            interrupts._task(print, "a task after the stop")
        except SystemExit as stop:
            print("stopped", stop.code)
        """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    assert (done.stdout, done.stderr) == ("stopped 130\n", "")
