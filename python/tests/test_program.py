"""The toolkit's one seam with the program: its copies of the program's
rules (file names, grid, restart layout) agree with what the program says
of itself (``questrand --describe``), and a run is judged by its record,
verified against the files beside it."""

import json
from pathlib import Path

import numpy as np
import pytest

from questrand import Problem
from questrand.errors import OutputFileError
from questrand.flow.reuse import FIELD_NAMES
from questrand.grid import Grid, listing_name, restart_name, step_stem, stem, uptake_name
from questrand.program import describe, read_record, record_name, run_fault
from questrand.runner import execute

# run names at the edges of the stem rule: a point in column 1, none, one
# beyond column 9, several, multi-byte characters
BASE = Problem.read(Path(__file__).resolve().parents[2] / "examples" / "fit" / "PROB.INP")
RUN_NAMES = ("FIT.OUT", "ABCDEFGHIJK", ".HIDDEN", "A.B.C", "RUN1", "ABCDEFGHI.J", "\u00c4\u00d6.OUT", "X")


@pytest.mark.parametrize("runname", RUN_NAMES)
def test_names_grid_and_restart_layout_are_the_programs(program, runname):
    problem = BASE.replace(ni=12, n_flow=5, n_memb=2, n_gel=3, nsteps=3, dt=0.5, prt_step=2, runname=runname,
                           restart_out=True, imon=2, jmon=2)
    d = describe(problem, program)
    files = d["files"]
    assert files["listing"] == listing_name(runname)
    assert files["stem"] == stem(runname)
    assert files["uptake"] == uptake_name(runname)
    assert files["record"] == record_name(runname)
    assert files["restart_out"] == restart_name(runname)
    assert [s["stem"] for s in files["step_files"]] == [step_stem(k) for k in (1, 2)]
    grid = Grid.of(problem)
    assert np.array_equal(np.float32(d["grid"]["x"]), np.float32(grid.x))
    assert np.array_equal(np.float32(d["grid"]["y"]), np.float32(grid.y))
    assert [tuple(d["grid"]["layers"][layer.name]) for layer in grid.layers] == \
        [(layer.j_first, layer.j_last) for layer in grid.layers]
    records = d["restart"]["records"]
    assert [r.get("field") for r in records[1:]] == list(FIELD_NAMES)
    assert records[0]["bytes"] == 16 and {r["bytes"] for r in records[1:]} == {4 * problem.ni * problem.nj}


def test_graded_columns_are_the_programs_in_a_run_and_when_read_back(program, tmp_path):
    """A run under second-order-graded: the toolkit's grid of the run (from
    its record) is the x of the program's field file, the columns shrink
    toward the inlet (first cell a small fraction of L/n) and end equal;
    the equal-column grid of the same problem is not it."""
    from questrand import read_run, run

    problem = BASE.replace(ni=22, n_flow=6, n_memb=2, n_gel=3, nsteps=2, prt_step=2, imon=11, jmon=3)
    result = run(problem, tmp_path / "graded", program=program, scheme="second-order-graded")
    x_file = np.unique(np.array([float(line.split()[0]) for line in result.file(".CON").read_text().splitlines()]))
    back = read_run(tmp_path / "graded")
    assert np.array_equal(np.float32(back.grid.x_interior), np.float32(x_file))
    assert np.array_equal(np.float32(Grid.of(problem, "second-order-graded", program).x), np.float32(back.grid.x))
    equal = problem.chlength / (problem.ni - 2)
    spacing = np.diff(x_file)
    assert x_file[0] < 0.05 * equal and np.all(np.diff(spacing) > -1e-5 * equal)  # printed to 9 digits
    assert spacing[-1] == pytest.approx(spacing[-3], rel=1e-4) == pytest.approx(1.154 * equal, rel=1e-3)
    assert not np.allclose(Grid.of(problem).x, back.grid.x)


def test_step_stems_beyond_five_digits(program):
    problem = BASE.replace(ni=5, n_flow=1, n_memb=1, n_gel=1, nsteps=100001, prt_step=50000, imon=2, jmon=2)
    stems = [s["stem"] for s in describe(problem, program)["files"]["step_files"]]
    assert stems == [step_stem(k) for k in (1, 50000, 100000)] == ["T00001", "T50000", "T100000"]


def test_a_run_is_judged_by_its_record_and_the_record_by_its_files(program, tmp_path):
    problem = BASE.replace(ni=12, n_flow=5, n_memb=2, n_gel=3, nsteps=3, solve_u=False, maxit=1, convtol=1e-12,
                           runname="JUDGE.OUT", imon=2, jmon=2)
    done = execute(problem, tmp_path, program=program)
    assert done.returncode == 0 and done.maxit_steps == (1, 2, 3) and done.most_iterations == 1
    assert "3 steps ended without convergence after maxit = 1" in done.model_fault()
    assert done.model_fault(allow_maxit=True) is None
    record = read_record(tmp_path, "JUDGE.OUT")
    assert run_fault(record, 1, allow_maxit=True) is None and record.scheme == "standard"
    # a file changed after the run: the record no longer describes the directory
    uptake = tmp_path / uptake_name("JUDGE.OUT")
    uptake.write_bytes(uptake.read_bytes()[:-10])
    with pytest.raises(OutputFileError, match=r"JUDGE\.record\.json: JUDGE\.UPT is \d+ bytes, the run wrote"):
        read_record(tmp_path, "JUDGE.OUT")
    (tmp_path / "JUDGE.record.json").write_text(json.dumps({"record": "something else"}))
    with pytest.raises(OutputFileError, match="not a run record"):
        read_record(tmp_path, "JUDGE.OUT")
