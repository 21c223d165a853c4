"""read_run against the reference cases' files."""

import shutil

import numpy as np
import pytest
from conftest import CASES_DIR, case_dirs, case_id, write_uptake

from questrand import OutputFileError, read_run
from questrand.grid import PROBE_NAMES
from questrand.results import read_monitor


def _rows(path):
    return [[float(v) for v in line.split()] for line in path.read_text().splitlines()]


@pytest.mark.parametrize("case", case_dirs(), ids=case_id)
def test_fields_hold_the_file_values(case):
    run = read_run(case)
    p = run.problem
    nx, ny = p.ni - 2, p.nj - 2
    for step in run.steps:
        rows = np.array(_rows(step.path))
        assert step.fields.c.shape == (ny, nx)
        assert np.array_equal(step.fields.c.ravel(), rows[:, 2])
        assert np.array_equal(np.meshgrid(step.fields.x, step.fields.y)[0].ravel(), rows[:, 0])
        assert np.array_equal(np.meshgrid(step.fields.x, step.fields.y)[1].ravel(), rows[:, 1])
    if run.final is not None:
        for ext, names in ((".VEL", "uv"), (".PRS", "p"), (".CON", "c")):
            path = run.file(ext)
            if path.exists():
                rows = np.array(_rows(path))
                for k, name in enumerate(names):
                    assert np.array_equal(getattr(run.final, name).ravel(), rows[:, 2 + k])
            else:
                assert all(getattr(run.final, name) is None for name in names)
        # the grid the toolkit builds is the program's, to the last bit
        assert np.array_equal(run.final.x.astype(np.float32), run.grid.x_interior.astype(np.float32))
        assert np.array_equal(run.final.y.astype(np.float32), run.grid.y_interior.astype(np.float32))


@pytest.mark.parametrize("case", case_dirs(), ids=case_id)
def test_monitor_and_probes(case):
    run = read_run(case)
    lines = [l for l in (case / "monitor.dat").read_text().splitlines() if '"' not in l]
    assert np.array_equal(run.monitor.to_numpy(), np.array([[float(v) for v in l.split()] for l in lines]))
    assert tuple(run.monitor.columns) == ("time",) + PROBE_NAMES
    assert all(dtype == np.float64 for dtype in run.monitor.dtypes)
    field = run.last_field
    if field is None:
        return
    # the last monitor line holds c at the probes of the last field
    for probe in run.grid.probes:
        assert probe.i == run.problem.ni // 2
        if probe.interior:
            assert run.monitor[probe.name].iloc[-1] == field.c[probe.j - 2, probe.i - 2], probe.name
            assert np.float32(probe.y) == np.float32(field.y[probe.j - 2])


def test_probe_rows_of_a_small_grid():
    run = read_run(CASES_DIR / "small_grid17")  # channel 2 rows, membrane 1, gel 3
    rows = {probe.name: probe.j for probe in run.grid.probes}
    assert rows == {"C(FlStr)": 2, "C(FlMid)": 1, "C(FlEnd)": 3, "C(MembStr)": 4, "C(MembMid)": 4,
                    "C(MembEnd)": 4, "C(GelStr)": 5, "C(GelMid)": 6, "C(GelEnd)": 7}
    assert not run.grid.probes[1].interior and run.grid.probes[1].y < 0
    assert [(l.name, l.j_first, l.j_last) for l in run.grid.layers] == [
        ("channel", 2, 3), ("membrane", 4, 4), ("gel", 5, 7)]


def test_step_times_and_residuals():
    run = read_run(CASES_DIR / "transient_flow_conc")
    assert [(s.step, s.time) for s in run.steps] == [(1, 0.5), (3, 1.5), (6, 3.0)]
    table = run.residuals
    assert sorted(set(table["step"])) == [1, 2, 3, 4, 5, 6]
    first = table.iloc[0].to_numpy()
    assert first[:2].tolist() == [1, 1]
    # the first iteration line of the listing, column by column
    listing = (run.workdir / "TRANS.OUT").read_text().splitlines()
    line = next(l for l in listing if l.startswith("   1    "))
    assert first[2:].tolist() == [float(line[c:c + 10]) for c in (8, 18, 28, 38, 48, 61, 71, 81, 91, 101)]
    steady = read_run(CASES_DIR / "steady_flow_conc")
    assert set(steady.residuals["step"]) == {0}
    assert [(s.step, s.time) for s in steady.steps] == [(0, 0.0)]


def test_continued_run_times_come_from_the_monitor():
    run = read_run(CASES_DIR / "restart_transient" / "run2")
    assert [(s.step, s.time) for s in run.steps] == [(1, 0.5), (3, 1.5), (6, 3.0)]
    assert len(run.monitor) == 6 and set(run.residuals["step"]) == {5, 6}


def test_monitor_split_at_headers(tmp_path):
    text = (CASES_DIR / "transient_flow_conc" / "monitor.dat").read_text()
    steady_line = " 0.00000000E+00" + " 1.00000000" * 9 + " \n"
    (tmp_path / "monitor.dat").write_text(steady_line + text + text)
    histories = read_monitor(tmp_path / "monitor.dat")
    assert [(headed, len(t)) for headed, t in histories] == [(False, 1), (True, 6), (True, 6)]


def test_uptake_absent_present_and_continued(tmp_path):
    work = tmp_path / "run"
    shutil.copytree(CASES_DIR / "transient_flow_conc", work)
    assert read_run(work).uptake is None
    write_uptake(work / "TRANS.UPT", [0.5, 1.0, 1.5])
    uptake = read_run(work).uptake
    assert uptake["m_gel"].tolist() == [0.0025, 0.01, 0.0225] and len(uptake) == 3
    # a continued run appends its lines (with or without a header of its own)
    with open(work / "TRANS.UPT", "a") as f:
        f.write((work / "TRANS.UPT").read_text().splitlines()[0] + "\n2,1,0.2,0.04,0.2,0.04,0,0,0,0.3,0.02,0.01\n")
    assert read_run(work).uptake["time"].tolist() == [0.5, 1.0, 1.5, 2.0]
    # a fresh run from time zero starts a new history
    write_uptake(tmp_path / "new.UPT", [0.5])
    with open(work / "TRANS.UPT", "a") as f:
        f.write((tmp_path / "new.UPT").read_text())
    assert read_run(work).uptake["time"].tolist() == [0.5]


def test_malformed_output_files(tmp_path):
    work = tmp_path / "run"
    shutil.copytree(CASES_DIR / "transient_flow_conc", work)
    lines = (work / "T00003.CON").read_text().splitlines()
    lines[4] = " 1.0 2.0 x"
    (work / "T00003.CON").write_text("\n".join(lines) + "\n")
    with pytest.raises(OutputFileError, match=r"T00003.CON: line 5: expected 3 numbers, found '1.0 2.0 x'"):
        read_run(work)
    (work / "T00003.CON").write_text("\n".join(lines[:10]) + "\n")
    with pytest.raises(OutputFileError, match=r"T00003.CON: expected 440 lines \(20 columns by 22 rows"):
        read_run(work)
