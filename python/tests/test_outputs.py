"""Plots, ParaView files and the command line."""

import json
import shutil
import subprocess
import sys

import meshio
import numpy as np
import pytest
from conftest import CASES_DIR, PYTHON_DIR, write_uptake
from matplotlib.image import imread

from questrand import read_run
from questrand.plots import PLOTS, save_all
from questrand.vtk import read_pvd, write_vtk


@pytest.fixture(scope="module")
def transient(tmp_path_factory):
    work = tmp_path_factory.mktemp("run") / "transient"
    shutil.copytree(CASES_DIR / "transient_flow_conc", work)
    write_uptake(work / "TRANS.UPT", [0.5 * k for k in range(1, 7)])
    return read_run(work)


def test_every_plot_is_a_sensible_png(transient, tmp_path):
    paths, notes = save_all(transient, tmp_path)
    assert notes == []
    assert [p.name for p in paths] == [name for name, _ in PLOTS]
    for path in paths:
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        image = imread(path)
        height, width = image.shape[:2]
        assert 400 <= width <= 2000 and 300 <= height <= 2000, path.name
        assert image[..., :3].std() > 0.05, f"{path.name} is blank"


def test_plots_without_uptake_are_skipped_with_a_note(tmp_path):
    paths, notes = save_all(read_run(CASES_DIR / "small_grid17"), tmp_path)
    assert "uptake.png" not in [p.name for p in paths] and len(paths) == len(PLOTS) - 1
    assert len(notes) == 1 and "no uptake file" in notes[0]


@pytest.mark.parametrize("case", ["transient_flow_conc", "steady_flow", "small_grid17"])
def test_vtk_files_read_back_exactly(case, tmp_path):
    run = read_run(CASES_DIR / case)
    pvd = write_vtk(run, tmp_path)
    datasets = read_pvd(pvd)
    expected = [(s.time, s.fields) for s in run.steps]
    if run.final is not None:
        if expected and expected[-1][0] == run.monitor["time"].iloc[-1]:
            expected.pop()
        expected.append((run.monitor["time"].iloc[-1], run.final))
    assert [t for t, _ in datasets] == [t for t, _ in expected]
    for (_, path), (_, fields) in zip(datasets, expected):
        mesh = meshio.read(path)
        xx, yy = np.meshgrid(fields.x, fields.y)
        assert np.array_equal(mesh.points[:, 0], xx.ravel())
        assert np.array_equal(mesh.points[:, 1], yy.ravel())
        if fields.c is not None:
            assert np.array_equal(mesh.point_data["c"], fields.c.ravel())
        if fields.u is not None:
            assert np.array_equal(mesh.point_data["velocity"][:, 0], fields.u.ravel())
            assert np.array_equal(mesh.point_data["velocity"][:, 1], fields.v.ravel())
            assert np.array_equal(mesh.point_data["p"], fields.p.ravel())
        else:
            assert "velocity" not in mesh.point_data
    last = meshio.read(datasets[-1][1])
    con = run.file(".CON")
    if con.exists():  # the .CON save file's values and coordinates, exactly
        rows = np.array([[float(v) for v in l.split()] for l in con.read_text().splitlines()])
        assert np.array_equal(last.points[:, :2], rows[:, :2])
        assert np.array_equal(last.point_data["c"], rows[:, 2])


def _cli(*args):
    return subprocess.run([sys.executable, "-m", "questrand", *map(str, args)], cwd=PYTHON_DIR,
                          capture_output=True, text=True)


def test_command_line(transient, tmp_path):
    done = _cli("summary", "--json", transient.workdir)
    assert done.returncode == 0, done.stderr
    info = json.loads(done.stdout)
    assert info["final_time"] == 3.0 and info["uptake"]["time"] == 3.0
    assert info["probes"]["C(GelEnd)"]["c"] == transient.monitor["C(GelEnd)"].iloc[-1]
    assert "run TRANS.OUT" in _cli("summary", transient.workdir).stdout
    done = _cli("plot", transient.workdir, "-o", tmp_path / "png")
    assert done.stdout.split() == [str(tmp_path / "png" / name) for name, _ in PLOTS]
    done = _cli("vtk", transient.workdir, "-o", tmp_path / "vtk")
    assert done.stdout.strip() == str(tmp_path / "vtk" / "TRANS.pvd")
    for command in ("summary", "plot", "vtk"):
        assert _cli(command, "--help").returncode == 0
    done = _cli("summary", tmp_path / "nowhere")
    assert done.returncode == 1 and "nowhere/PROB.INP: cannot read the problem input" in done.stderr


def test_wrapper_script(transient, tmp_path):
    tool = tmp_path / "questrand-summary"
    tool.symlink_to(PYTHON_DIR / "bin" / "questrand-tool")
    done = subprocess.run([str(tool), str(transient.workdir)], capture_output=True, text=True)
    assert done.returncode == 0 and "run TRANS.OUT" in done.stdout, done.stderr
    copied = tmp_path / "questrand-vtk"  # installed copy: the path is baked in at install
    text = (PYTHON_DIR / "bin" / "questrand-tool").read_text()
    copied.write_text(text.replace("\nQUESTRAND_PYTHONPATH_DEFAULT=\n",
                                   f"\nQUESTRAND_PYTHONPATH_DEFAULT={PYTHON_DIR}\n"))
    copied.chmod(0o755)
    done = subprocess.run([str(copied), "--help"], capture_output=True, text=True)
    assert done.returncode == 0 and "usage: questrand vtk" in done.stdout
    bare = tmp_path / "questrand-plot"
    bare.write_text(text)
    bare.chmod(0o755)
    done = subprocess.run([str(bare), "x"], capture_output=True, text=True)
    assert done.returncode == 2 and "QUESTRAND_PYTHONPATH" in done.stderr
