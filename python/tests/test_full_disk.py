"""A full file system: every file the toolkit writes (fit --json and --plot,
plot, vtk) is either whole or not there at all, an earlier file of the same
name is kept, and the command says so in one line with exit status 1.

The full file system is a small tmpfs filled to the last byte (needs root
to mount); elsewhere these tests are skipped.
"""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import CASES_DIR, PYTHON_DIR
from test_fit import BASE

import questrand
from questrand import Problem
from questrand.vtk import read_pvd


@pytest.fixture
def full_dir(tmp_path):
    """A directory on a file system with no byte left, and an earlier
    result in it (fit.json) and two empty folders made before it filled."""
    mount = tmp_path / "full"
    mount.mkdir()
    if os.geteuid() != 0:
        pytest.skip("a full file system needs a tmpfs mount (root)")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if done.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs: {done.stderr.strip()}")
    try:
        (mount / "fit.json").write_text('{"earlier": true}\n')
        (mount / "plots").mkdir()
        (mount / "vtk").mkdir()
        with open(mount / "filler", "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(b"\0" * 4096)
            except OSError:
                pass
        yield mount
    finally:
        subprocess.run(["umount", str(mount)], check=False)


def toolkit(program, *args):
    env = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), QUESTRAND_PROGRAM=str(program))
    return subprocess.run([sys.executable, "-m", "questrand", *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=300)


def names(directory):
    return sorted(p.name for p in Path(directory).iterdir())


def test_fit_json_and_plot_on_a_full_disk(program, tmp_path, full_dir):
    truth = questrand.run(BASE, tmp_path / "truth", program=program)
    data = tmp_path / "data.csv"
    data.write_text("time,C(GelMid)\n" + "".join(
        f"{t!r},{c!r}\n" for t, c in zip(truth.monitor["time"], truth.monitor["C(GelMid)"])))
    base = BASE.replace(diff_gel=3e-10).write(tmp_path / "PROB.INP")

    done = toolkit(program, "fit", base, data, "--param", "diff_gel", "--jobs", "1",
                   "--json", full_dir / "fit.json", "--plot", full_dir / "fit.png")
    assert done.returncode == 1
    assert "diff_gel" in done.stdout  # the results were shown before the files failed
    assert done.stderr.splitlines()[-1] == \
        f"questrand fit: error: {full_dir / 'fit.json'}: No space left on device"
    assert "Traceback" not in done.stderr
    assert names(full_dir) == ["filler", "fit.json", "plots", "vtk"]
    assert (full_dir / "fit.json").read_text() == '{"earlier": true}\n'

    # the plot alone: not written either, and nothing under a temporary name
    done = toolkit(program, "fit", base, data, "--param", "diff_gel", "--jobs", "1",
                   "--plot", full_dir / "fit.png")
    assert (done.returncode, done.stderr.splitlines()[-1]) == \
        (1, f"questrand fit: error: {full_dir / 'fit.png'}: No space left on device")
    assert names(full_dir) == ["filler", "fit.json", "plots", "vtk"]


def test_plot_and_vtk_on_a_full_disk(program, tmp_path, full_dir):
    run = questrand.run(Problem.read(CASES_DIR / "transient_flow_conc" / "PROB.INP"),
                        tmp_path / "run", program=program)
    for command, where in (("plot", "plots"), ("vtk", "vtk")):
        done = toolkit(program, command, run.workdir, "-o", full_dir / where)
        assert done.returncode == 1, (command, done.stderr)
        line, = done.stderr.splitlines()
        assert line.startswith(f"questrand {command}: error: {full_dir / where}/")
        assert line.endswith(": No space left on device"), line
        assert names(full_dir / where) == [], command

    # with room, the same commands write every file whole
    os.unlink(full_dir / "filler")
    for command, where in (("plot", "plots"), ("vtk", "vtk")):
        done = toolkit(program, command, run.workdir, "-o", full_dir / where)
        assert done.returncode == 0, done.stderr
        written = names(full_dir / where)
        assert written and not [n for n in written if n.startswith(".")], written
    pngs = [full_dir / "plots" / n for n in names(full_dir / "plots")]
    assert all(p.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" for p in pngs)
    pvd, = (full_dir / "vtk").glob("*.pvd")
    steps = read_pvd(pvd)
    assert len(steps) >= 2 and all(path.is_file() for _, path in steps)
    assert np.isfinite([t for t, _ in steps]).all()
