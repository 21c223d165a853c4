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
    rows = np.array([[float(v) for v in l.split()] for l in lines])
    assert np.array_equal(run.monitor.to_numpy(), rows)
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


def test_netcdf_file_holds_the_numbers_of_the_run_files(tmp_path):
    """``questrand netcdf`` (Run.to_xarray written by xarray), read back with
    the netCDF4 library alone, against the files' numbers read with loadtxt."""
    import subprocess
    import sys
    import warnings

    from conftest import PYTHON_DIR
    with warnings.catch_warnings():  # Debian's build warns of numpy's binary layout
        warnings.simplefilter("ignore", RuntimeWarning)
        import netCDF4

    work = tmp_path / "run"
    shutil.copytree(CASES_DIR / "transient_flow_conc", work)
    write_uptake(work / "TRANS.UPT", [0.5 * k for k in range(1, 7)])
    steady = CASES_DIR / "steady_flow"  # flow only: u, v, p and no c
    (tmp_path / "kept.nc").write_text("the user's own notes\n")

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "questrand", "netcdf", *map(str, args)],
                              cwd=PYTHON_DIR, capture_output=True, text=True)

    done = cli(work)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{work / 'TRANS.nc'}\n", "")
    assert cli(steady, "-o", f"{tmp_path / 'out'}/").stdout == f"{tmp_path / 'out' / 'FLOW.nc'}\n"
    done = cli(work, "-o", tmp_path / "kept.nc")  # not a NetCDF file: never replaced
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and "not a NetCDF file" in done.stderr
    assert (tmp_path / "kept.nc").read_text() == "the user's own notes\n"

    with netCDF4.Dataset(work / "TRANS.nc") as nc:
        nc.set_auto_mask(False)
        var = {name: v[:] for name, v in nc.variables.items()}
        assert var["time"].tolist() == [0.5, 1.5, 3.0] and var["step"].tolist() == [1, 3, 6]
        assert nc["time"].units == "s" and nc["x"].units == "m" and nc["u"].units == "m/s"
        for k, name in enumerate(["T00001.CON", "T00003.CON", "TRANS.CON"]):
            con = np.loadtxt(work / name)
            assert np.array_equal(var["c"][k].ravel(), con[:, 2]), name
            assert np.array_equal(np.meshgrid(var["x"], var["y"])[0].ravel(), con[:, 0])
            assert np.array_equal(np.meshgrid(var["x"], var["y"])[1].ravel(), con[:, 1])
        vel, prs = np.loadtxt(work / "TRANS.VEL"), np.loadtxt(work / "TRANS.PRS")
        assert np.array_equal(var["u"][2].ravel(), vel[:, 2])
        assert np.array_equal(var["v"][2].ravel(), vel[:, 3]) and np.isnan(var["v"][:2]).all()
        assert np.array_equal(var["p"][2].ravel(), prs[:, 2]) and np.isnan(var["p"][:2]).all()
        # 10 channel, 4 membrane and 8 gel rows (PROB.INP line 26), program rows from 2
        assert list(var["layer"]) == ["channel"] * 10 + ["membrane"] * 4 + ["gel"] * 8
        assert var["row"].tolist() == list(range(2, 24))
        assert nc["layer"].membrane_rows.tolist() == [12, 15]
        assert np.array_equal(var["probe_c"], np.loadtxt(work / "monitor.dat", skiprows=1)[:, 1:])
        assert list(var["probe"]) == list(PROBE_NAMES) and var["probe_j"].tolist()[-1] == 23
        upt = np.loadtxt(work / "TRANS.UPT", delimiter=",", skiprows=1)
        assert np.array_equal(var["uptake_time"], upt[:, 0]) and np.array_equal(var["balance"], upt[:, 8])
        attrs = {name: nc.getncattr(name) for name in nc.ncattrs()}
        assert (attrs["diff_gel"], attrs["ni"], attrs["solve_u"], attrs["steady"], attrs["runname"]) == \
            (8e-10, 22, 1, 0, "TRANS.OUT")
        assert set(read_run(work).problem.as_dict()) <= set(attrs)
    with netCDF4.Dataset(tmp_path / "out" / "FLOW.nc") as nc:
        assert "c" not in nc.variables and nc["u"].shape == (1, 22, 20) and nc["time"][:].tolist() == [0.0]
        assert np.array_equal(nc["u"][0].ravel(), np.loadtxt(steady / "FLOW.VEL")[:, 2])


def test_step_files_from_step_100000_on_are_read_in_step_order(program, tmp_path):
    """The program names a step's file with five digits below step 100000
    and with every digit from there on (T100000.CON): a run of 100000 steps
    on the smallest grid, fields every 50000 steps, gives T00001, T50000
    and T100000, which sort by name as 1, 100000, 50000.  Each must be read,
    by step, at the time step x dt (the steps start at t = 0), with the
    values of its file as loadtxt reads them."""
    import subprocess

    from questrand import Problem
    problem = Problem(chlength=0.01, halfgap=5e-4, th_memb=1e-4, th_gel=4e-4, u_in=0.002, c_in=1.0,
                      density=1000.0, viscosity=1e-3, diff_flow=1e-9, diff_memb=5e-10, diff_gel=3e-10,
                      ni=3, n_flow=1, n_memb=1, n_gel=1, steady=False, nsteps=100000, dt=0.5,
                      solve_u=False, solve_c=True, maxit=5, convtol=1e-3, relax_u=0.5, relax_p=0.5,
                      relax_c=1.0, solver_u=1, solver_p=1, solver_c=1, imon=2, jmon=2, prt_step=50000,
                      runname="LONG.OUT")
    problem.write(tmp_path / "PROB.INP")
    done = subprocess.run([str(program)], cwd=tmp_path, stdout=subprocess.DEVNULL, timeout=120)
    assert done.returncode == 0
    assert sorted(p.name for p in tmp_path.glob("T*.CON")) == ["T00001.CON", "T100000.CON", "T50000.CON"]
    run = read_run(tmp_path)
    assert [(s.step, s.time) for s in run.steps] == [(1, 0.5), (50000, 25000.0), (100000, 50000.0)]
    for s in run.steps:
        assert np.array_equal(s.fields.c.ravel(), np.loadtxt(s.path)[:, 2]), s.path.name
    ds = run.to_xarray()
    assert ds["step"].values.tolist() == [1, 50000, 100000]
    assert np.array_equal(ds["c"].values[1].ravel(), np.loadtxt(tmp_path / "T50000.CON")[:, 2])
