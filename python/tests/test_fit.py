"""The fit command: diffusivities recovered from synthetic curves that the
program itself made at known values with seeded noise; refusals with their
one-line reasons.

The runs are small (a 6 by 9 grid, plug flow, 30 steps) so that every fit
here takes a fraction of a second.  The curves come from the model's own
grid, so these tests check the statistics alone and switch the refined-grid
check off (but for a fit at its bound and the unit of the concentration);
test_accuracy.py fits curves of the exact solution.
"""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import PYTHON_DIR

import questrand
from questrand import Problem
from questrand.fit import (Data, FitError, Model, fit, format_result, make_parameters,
                           parse_bounds, read_data)

TRUE_MEMB, TRUE_GEL = 2e-10, 5e-10

# Concentration only: the inlet stream (plug flow, not solved) fills the
# channel within 5 s; the species then crosses a 0.1 mm membrane into a
# 0.4 mm gel over some 300 s.
BASE = Problem(chlength=0.01, halfgap=5e-4, th_memb=1e-4, th_gel=4e-4, u_in=0.002, c_in=1.0,
               density=1000.0, viscosity=1e-3, diff_flow=1e-9, diff_memb=TRUE_MEMB,
               diff_gel=TRUE_GEL, ni=8, n_flow=2, n_memb=2, n_gel=5, steady=False, nsteps=30,
               dt=10.0, solve_u=False, solve_c=True, maxit=20, convtol=1e-5, relax_u=0.5,
               relax_p=0.5, relax_c=1.0, solver_u=1, solver_p=1, solver_c=1, imon=4, jmon=4,
               prt_step=10, runname="FIT.OUT")


def synthetic(program, tmp_path, observable, noise, seed, problem=BASE, name="truth"):
    """The program's curve of ``observable`` at ``problem`` plus Gaussian
    noise of ``noise`` times the curve's largest value."""
    run = questrand.run(problem, tmp_path / name, program=program)
    table = run.uptake if observable in questrand.fit.UPTAKE_OBSERVABLES else run.monitor
    assert table is not None, f"the run wrote no table with {observable}"
    clean = table[observable].to_numpy()
    sigma = noise * float(np.max(np.abs(clean)))
    rng = np.random.default_rng(seed)
    return Data(path=tmp_path / f"{name}.csv", observable=observable, time=table["time"].to_numpy().copy(),
                value=clean + rng.normal(0.0, sigma, len(clean))), clean


def write_csv(path, header, rows):
    lines = [",".join(header)] + [",".join(f"{v:.9g}" if isinstance(v, float) else str(v)
                                           for v in row) for row in rows]
    path.write_text("\n".join(lines) + "\n")
    return path


# -- recovery ---------------------------------------------------------------------
def test_one_parameter_diff_gel_from_the_gel_middle_probe(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.005, seed=11)
    start = BASE.replace(diff_gel=2e-10)
    res = fit(start, data, ["diff_gel"], jobs=2, program=program, grid_check=False, profile=True)
    print("\n" + format_result(res))
    estimate, (lo, hi) = res.estimate[0], res.ci95[0]
    assert res.converged
    assert abs(estimate / TRUE_GEL - 1) < 0.02
    assert lo < TRUE_GEL < hi
    assert lo < estimate < hi and res.stderr[0] > 0
    # the profile interval agrees with the linear one on this nearly linear problem
    plo, phi = res.profile_ci95[0]
    assert plo < TRUE_GEL < phi
    assert abs(plo / lo - 1) < 0.05 and abs(phi / hi - 1) < 0.05
    assert not res.profile_open.any()
    assert res.dof == len(data) - 1
    assert res.correlation.shape == (1, 1) and res.correlation[0, 0] == pytest.approx(1.0)
    # the same table as a DataFrame, the profile interval included
    frame = res.to_frame()
    assert list(frame.index) == ["diff_gel"]
    row = frame.loc["diff_gel"]
    assert (row["estimate"], row["stderr"], row["ci95_low"], row["ci95_high"]) == (estimate, res.stderr[0], lo, hi)
    assert (row["start"], row["profile_ci95_low"], row["profile_ci95_high"]) == (res.parameters[0].start, plo, phi)
    assert not row["profile_reaches_low"] and "discretisation_error" not in frame


def test_one_parameter_search_needs_few_runs(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=12)
    res = fit(BASE.replace(diff_gel=2e-10), data, ["diff_gel"], jobs=1, program=program, grid_check=False)
    assert res.converged and res.evaluations <= 40
    assert res.reused >= 1  # the Jacobian's base point is the residuals' run


# The gel's uptake tells the membrane from the gel when the gel is the slow
# step and the membrane's own filling still shows early on (correlation
# about -0.9 here; where the membrane limits, or both take about as long,
# the two are nearly interchangeable in m_gel, correlation beyond -0.99).
UPTAKE_MEMB, UPTAKE_GEL = 1e-9, 1e-10
UPTAKE_BASE = BASE.replace(diff_memb=UPTAKE_MEMB, diff_gel=UPTAKE_GEL)


def test_two_parameters_diff_memb_and_diff_gel_from_the_gel_uptake(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "m_gel", noise=0.003, seed=21, problem=UPTAKE_BASE)
    start = UPTAKE_BASE.replace(diff_memb=3e-10, diff_gel=2.5e-10)
    res = fit(start, data, ["diff_memb", "diff_gel"], jobs=2, program=program, grid_check=False)
    print("\n" + format_result(res))
    assert res.converged
    for k, truth in enumerate((UPTAKE_MEMB, UPTAKE_GEL)):
        assert abs(res.estimate[k] / truth - 1) < 0.05, res.names[k]
        assert res.ci95[k, 0] < truth < res.ci95[k, 1], res.names[k]
    corr = res.correlation[0, 1]
    assert corr == res.correlation[1, 0]
    assert -0.99 < corr < -0.5
    text = format_result(res)
    assert "correlation:" in text and f"{corr:.3f}" in text
    assert res.as_json()["correlation"]["diff_memb"]["diff_gel"] == pytest.approx(corr)


def test_sigma_column_weights_the_residuals(program, tmp_path):
    data, clean = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=31)
    data.sigma = np.full(len(data), 0.01 * float(np.max(clean)))
    res = fit(BASE.replace(diff_gel=3e-10), data, ["diff_gel"], jobs=2, program=program, grid_check=False)
    assert res.ci95[0, 0] < TRUE_GEL < res.ci95[0, 1]
    # chi-square of correctly weighted noise: about one per degree of freedom
    assert 0.4 < res.rss / res.dof < 2.0
    assert res.as_json()["weighted"] is True and res.as_json()["noise_sigma"] is None


def test_data_times_between_time_steps_are_interpolated(program, tmp_path):
    """A model curve sampled between steps is matched by linear interpolation:
    data made from the program's own curve at mid-step times give back the
    diffusivity, to the interpolation's small error."""
    run = questrand.run(BASE, tmp_path / "truth", program=program)
    t, c = run.monitor["time"].to_numpy(), run.monitor["C(GelMid)"].to_numpy()
    mid = 0.5 * (t[:-1] + t[1:])
    data = Data(tmp_path / "mid.csv", "C(GelMid)", mid, np.interp(mid, t, c))
    res = fit(BASE.replace(diff_gel=3e-10), data, ["diff_gel"], jobs=2, program=program, grid_check=False)
    assert abs(res.estimate[0] / TRUE_GEL - 1) < 1e-3
    assert np.allclose(res.fitted, np.interp(mid, res.curve_time, res.curve_value))


def test_the_same_parameters_reuse_their_run(program, tmp_path):
    params = make_parameters(BASE, ["diff_gel"])
    model = Model(BASE, params, "C(GelMid)", tmp_path, program=program, jobs=2)
    try:
        first = model.curves([[4e-10], [5e-10]])
        again = model.curves([[5e-10], [4e-10], [4.00000001e-10]])  # the last rounds to 4e-10
    finally:
        model.close()
    assert model.runs == 2 and model.reused == 3
    assert np.array_equal(first[1][1], again[0][1]) and np.array_equal(first[0][1], again[2][1])
    assert sorted(p.name for p in tmp_path.iterdir()) == []  # scratch runs removed


def test_parallel_and_serial_fits_agree(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=41)
    serial = fit(BASE.replace(diff_gel=2e-10), data, ["diff_gel"], jobs=1, program=program, grid_check=False)
    parallel = fit(BASE.replace(diff_gel=2e-10), data, ["diff_gel"], jobs=2, program=program, grid_check=False,
                   workdir=tmp_path / "runs")
    assert serial.estimate[0] == parallel.estimate[0] and serial.rss == parallel.rss
    kept = sorted((tmp_path / "runs").iterdir())
    assert len(kept) == parallel.evaluations and (kept[0] / "PROB.INP").is_file()


# -- refusals -------------------------------------------------------------------
@pytest.mark.parametrize("observable, name", [("C(FlMid)", "diff_gel"), ("C(GelMid)", "viscosity")])
def test_a_flat_parameter_is_refused(program, tmp_path, observable, name):
    data, _ = synthetic(program, tmp_path, observable, noise=0.0, seed=0)
    with pytest.raises(FitError, match=rf"^{observable.replace('(', '[(]').replace(')', '[)]')} "
                                       rf"does not depend on {name} in this run"):
        fit(BASE, data, [name], jobs=1, program=program, grid_check=False)


def test_a_flat_parameter_among_others_is_named(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=1)
    with pytest.raises(FitError, match=r"does not depend on viscosity"):
        fit(BASE, data, ["diff_gel", "viscosity"], jobs=2, program=program, grid_check=False)


def test_a_failing_model_run_gives_its_own_error_line(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=1)
    with pytest.raises(FitError) as caught:
        fit(BASE.replace(ni=400), data, ["diff_gel"], jobs=1, program=program, grid_check=False)
    message = str(caught.value)
    assert "\n" not in message
    assert message.startswith("model run with diff_gel=5e-10 failed: exit status 2: PROB.INP: line")
    assert "number of grid columns" in message


def test_data_outside_the_run_is_refused(program, tmp_path):
    data = Data(tmp_path / "late.csv", "C(GelMid)", np.array([10.0, 20.0, 400.0]),
                np.array([0.0, 0.01, 0.5]))
    with pytest.raises(FitError, match=r"late.csv: line 4: time 400 lies outside the run, "
                                       r"after its last step at 300 \(dt = 10, nsteps = 30\)"):
        fit(BASE, data, ["diff_gel"], jobs=1, program=program, grid_check=False)


def test_a_point_at_time_zero_is_outside_the_run(program, tmp_path):
    data = Data(tmp_path / "early.csv", "C(GelMid)", np.array([0.0, 10.0, 20.0]),
                np.array([0.0, 0.01, 0.02]))
    with pytest.raises(FitError, match=r"early.csv: line 2: time 0 lies outside the run, "
                                       r"before its first step at 10"):
        fit(BASE, data, ["diff_gel"], jobs=1, program=program, grid_check=False)


def test_a_search_cut_short_is_marked_not_converged(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=3)
    res = fit(BASE.replace(diff_gel=2e-10), data, ["diff_gel"], jobs=1, program=program, grid_check=False,
              max_evaluations=2)
    assert not res.converged and "maximum number of function evaluations" in res.message
    assert "NOT converged" in format_result(res)


def test_a_fit_at_its_bound_never_reaches_an_accuracy(program, tmp_path):
    # the data want diff_gel = 5e-10 on this grid (about 3e-10 on finer
    # ones), the bound stops it at 2e-10: every grid gives the bound, so the
    # grids agree exactly, and yet nothing is known of how true 2e-10 is
    data, _ = synthetic(program, tmp_path, "c_gel_mean", noise=0.002, seed=5)
    res = fit(BASE.replace(diff_gel=1.5e-10), data, ["diff_gel"], {"diff_gel": (None, 2e-10)},
              jobs=2, program=program, accuracy=0.5)
    text = format_result(res)
    print("\n" + text)
    assert [math.exp(g.theta[0]) for g in res.accuracy.grids] == pytest.approx([2e-10, 2e-10], rel=1e-6)
    assert res.discretisation_error[0] == 0.0
    assert not res.accuracy.reached and not res.as_json()["accuracy"]["reached"]
    assert "NOT reached: diff_gel at its upper bound 2e-10" in text
    assert res.to_frame().loc["diff_gel", "accuracy_state"] == "at its upper bound 2e-10 m2/s (given)"
    # the warning names the bound, not the grid
    (warning,) = [w for w in res.warnings if w.startswith("diff_gel")]
    assert "upper bound" in warning and "uncertainty" not in warning


def test_a_diffusivity_stops_at_the_channels_diffusivity(program, tmp_path):
    # the curve of a gel three times as diffusive as the channel's fluid (the
    # program at diff_gel = 3e-9): by default the fit stops at diff_flow =
    # 1e-9 and says so; with the bound given higher it finds 3e-9 again
    data, _ = synthetic(program, tmp_path, "c_gel_mean", noise=0.002, seed=7,
                        problem=BASE.replace(diff_gel=3e-9))
    res = fit(BASE, data, ["diff_gel"], jobs=2, program=program, grid_check=False)
    assert res.estimate[0] == pytest.approx(1e-9, rel=1e-3)
    assert ("warning: diff_gel is at its upper bound 1e-9 m2/s (the channel's diffusivity)"
            in format_result(res))
    wider = fit(BASE, data, ["diff_gel"], {"diff_gel": (None, 1e-8)}, jobs=2, program=program,
                grid_check=False)
    assert wider.estimate[0] == pytest.approx(3e-9, rel=0.05)  # 2.95e-9 with this noise
    assert not any("bound" in w for w in wider.warnings)


def test_model_runs_do_not_depend_on_the_unit_of_the_concentration(program, tmp_path):
    # The program's convergence test scales with the unit of c: at c_in = 10
    # the grid x4 of BASE ends 118 steps at maxit.  The model runs are made
    # at c_in = 1 and scaled, so c_in = 10 gives ten times the curves of
    # c_in = 1, and the fit of ten times the data the same estimate.
    from questrand.converge import study
    names = ["c_gel_mean", "m_gel", "c_out"]
    one = study(BASE, observables=names, program=program)
    ten = study(BASE.replace(c_in=10.0), observables=names, program=program)
    for name in names:
        for e1, e10 in zip(one.at_times[name], ten.at_times[name]):
            assert np.allclose(e10.values, np.multiply(10.0, e1.values), rtol=1e-6, atol=0.0), name
    # the early curve is among the times reported: the steps nearest 1/16 .. 1 of the run
    assert list(one.times) == [20.0, 40.0, 70.0, 150.0, 300.0]
    data, _ = synthetic(program, tmp_path, "c_gel_mean", noise=0.005, seed=3)
    data10 = Data(path=data.path, observable=data.observable, time=data.time, value=10.0 * data.value)
    res1 = fit(BASE.replace(diff_gel=3e-10), data, ["diff_gel"], jobs=2, program=program)
    res10 = fit(BASE.replace(diff_gel=3e-10, c_in=10.0), data10, ["diff_gel"], jobs=2, program=program)
    assert res10.estimate == pytest.approx(res1.estimate, rel=1e-9)
    assert res10.discretisation_error == pytest.approx(res1.discretisation_error, rel=1e-6)
    assert res10.ci95 == pytest.approx(res1.ci95, rel=1e-6)
    assert not [w for w in res10.warnings if "maxit" in w]


def test_fewer_points_than_parameters_is_refused(tmp_path):
    data = Data(tmp_path / "two.csv", "m_gel", np.array([10.0, 20.0]), np.array([0.1, 0.2]))
    with pytest.raises(FitError, match=r"two.csv: 2 data points for 2 parameters"):
        fit(BASE, data, ["diff_memb", "diff_gel"], grid_check=False)


@pytest.mark.parametrize("names, bounds, message", [
    (["ni"], None, r"--param ni: not a real of the problem"),
    (["diff_gel", "diff_gel"], None, r"--param diff_gel: given twice"),
    (["spare"], None, r"--param spare: the start value 0 of the problem must be positive"),
    (["diff_gel"], {"diff_gel": (1e-9, None)}, r"--bounds diff_gel=1e-09:1e-09: expected 0 < LO"),
    (["diff_gel"], {"diff_gel": (1e-9, 1e-8)}, r"--bounds diff_gel=1e-09:1e-08: expected 0 < LO"),
    (["diff_gel"], {"diff_memb": (1e-12, 1e-8)}, r"--bounds diff_memb: not a fitted parameter"),
])
def test_parameter_errors(names, bounds, message):
    with pytest.raises(FitError, match=message):
        make_parameters(BASE, names, bounds)


def test_parameter_defaults_and_bounds():
    # four decades from the start; a diffusivity no higher than the channel's (1e-9)
    (p,) = make_parameters(BASE, ["diff_gel"])
    assert (p.start, p.low, p.high) == (5e-10, pytest.approx(5e-14), 1e-9)
    assert p.bound_text("upper") == "upper bound 1e-9 m2/s (the channel's diffusivity)"
    (p,) = make_parameters(BASE.replace(diff_gel=1e-14), ["diff_gel"])
    assert (p.high, p.high_source) == (pytest.approx(1e-10), "4 decades from the start")
    (u,) = make_parameters(BASE, ["u_in"])
    assert (u.low, u.high) == (pytest.approx(2e-7), pytest.approx(20.0))
    # with diff_flow fitted: diff_flow below 1e-8 m2/s, and the others below its bound
    flow, gel = make_parameters(BASE, ["diff_flow", "diff_gel"])
    assert (flow.high, gel.high) == (1e-8, 1e-8)
    (gel,) = make_parameters(BASE, ["diff_gel"], {"diff_gel": (None, 3e-9)})  # a given bound wins
    assert (gel.high, gel.bound_text("upper")) == (3e-9, "upper bound 3e-9 m2/s (given)")
    with pytest.raises(FitError, match=r"--param diff_memb: the start value 2e-09 is not below its "
                                       r"default upper bound 1e-9 m2/s \(the channel's diffusivity\)"):
        make_parameters(BASE.replace(diff_memb=2e-9), ["diff_memb"])
    assert parse_bounds(["diff_gel=1e-12:", "u_in=:0.1"]) == {"diff_gel": (1e-12, None),
                                                              "u_in": (None, 0.1)}
    with pytest.raises(FitError, match=r"--bounds diff_gel: expected NAME=LO:HI"):
        parse_bounds(["diff_gel"])


def test_base_problem_must_be_transient():
    data = Data("d.csv", "C(GelMid)", np.arange(1.0, 5.0), np.zeros(4))
    with pytest.raises(FitError, match="steady run"):
        fit(BASE.replace(steady=True), data, ["diff_gel"])


# -- the data file ------------------------------------------------------------------
def test_read_data_columns_and_sigma(tmp_path):
    path = write_csv(tmp_path / "d.csv", ["time", "C(GelMid)", "sigma", "note"],
                     [(10.0, 0.1, 0.01, "a"), (20.0, 0.2, 0.02, "b")])
    data = read_data(path)
    assert data.observable == "C(GelMid)"
    assert data.time.tolist() == [10.0, 20.0] and data.value.tolist() == [0.1, 0.2]
    assert data.sigma.tolist() == [0.01, 0.02]
    path = write_csv(tmp_path / "two.csv", ["time", "m_gel", "C(GelMid)"], [(1.0, 2.0, 3.0)])
    assert read_data(path, "m_gel").value.tolist() == [2.0]
    assert read_data(path, "C(GelMid)").sigma is None


@pytest.mark.parametrize("header, rows, observable, message", [
    (["t", "m_gel"], [(1.0, 2.0)], None, r"d.csv: line 1: expected a header with a 'time' column"),
    (["time", "conc"], [(1.0, 2.0)], None, r"d.csv: line 1: no observable column; expected one of"),
    (["time", "m_gel", "m_memb"], [(1.0, 2.0, 3.0)], None,
     r"d.csv: several observable columns \(m_gel, m_memb\); pick one with --observable NAME"),
    (["time", "m_gel"], [(1.0, 2.0)], "c_gel", r"--observable c_gel: not a column the program writes"),
    (["time", "m_gel"], [(1.0, 2.0)], "m_memb", r"d.csv: line 1: no column 'm_memb'"),
    (["time", "m_gel"], [(1.0, 2.0), (2.0, "x")], None,
     r"d.csv: line 3: column 'm_gel': expected a finite number, found 'x'"),
    (["time", "m_gel"], [(1.0, 2.0), (2.0,)], None,
     r"d.csv: line 3: column 'm_gel': expected a finite number, found ''"),
    (["time", "m_gel", "sigma"], [(1.0, 2.0, 0.0)], None,
     r"d.csv: line 2: column 'sigma': expected a positive standard deviation"),
    (["time", "m_gel"], [], None, r"d.csv: no data lines after the header"),
])
def test_read_data_errors(tmp_path, header, rows, observable, message):
    path = write_csv(tmp_path / "d.csv", header, rows)
    with pytest.raises(FitError, match=message):
        read_data(path, observable)


# -- command line ---------------------------------------------------------------------
def test_command_line_table_json_and_plot(program, tmp_path):
    data, _ = synthetic(program, tmp_path, "C(GelMid)", noise=0.01, seed=51)
    csv = write_csv(tmp_path / "measured.csv", ["time", "C(GelMid)"], zip(data.time, data.value))
    BASE.replace(diff_gel=2e-10).write(tmp_path / "PROB.INP")
    env = {"PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(program), "PATH": "/usr/bin:/bin",
           "QUESTRAND_FLOW_CACHE": os.environ["QUESTRAND_FLOW_CACHE"]}
    done = subprocess.run([sys.executable, "-m", "questrand", "fit", "PROB.INP", "measured.csv",
                           "--param", "diff_gel", "--bounds", "diff_gel=1e-11:1e-8", "--jobs", "2",
                           "--json", "fit.json", "--plot", "fit.png", "--no-grid-check"],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "diff_gel" in done.stdout and "95% interval" in done.stdout
    out = json.loads((tmp_path / "fit.json").read_text())
    entry = out["parameters"]["diff_gel"]
    assert set(entry) >= {"estimate", "stderr", "ci95"}
    assert entry["ci95"][0] < TRUE_GEL < entry["ci95"][1]
    assert entry["bounds"] == [1e-11, 1e-8]
    assert {"rss", "dof", "evaluations", "converged", "message"} <= set(out)
    assert out["dof"] == len(data) - 1 and out["converged"] is True
    assert (tmp_path / "fit.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_command_line_error_is_one_line(program, tmp_path):
    write_csv(tmp_path / "d.csv", ["time", "C(FlMid)"], [(10.0, 1.0), (20.0, 1.0), (30.0, 1.0)])
    BASE.write(tmp_path / "PROB.INP")
    env = {"PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(program), "PATH": "/usr/bin:/bin",
           "QUESTRAND_FLOW_CACHE": os.environ["QUESTRAND_FLOW_CACHE"]}
    done = subprocess.run([sys.executable, "-m", "questrand", "fit", "PROB.INP", "d.csv",
                           "--param", "diff_gel", "--jobs", "1"],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stderr.startswith("questrand fit: error: C(FlMid) does not depend on diff_gel in this run")
    assert done.stderr.count("\n") == 1


def test_one_option_vocabulary_and_the_old_spellings():
    """fit, design, converge and sweep spell their shared options alike; the
    old spellings still parse to the new options, keep their meaning in
    their command, and --help names them as old spellings."""
    import contextlib
    import io

    from questrand.cli import build_parser

    def parsed(*argv):
        parser, _ = build_parser(argv[0])
        return vars(parser.parse_args(argv))

    fit_args = ("fit", "P.INP", "d.csv", "--param", "diff_gel")
    assert parsed(*fit_args, "--profile")["profile_likelihood"] is True
    assert parsed(*fit_args)["profile_likelihood"] is False
    design_args = ("design", "P.INP", "D.csv", "--param", "diff_gel", "-o", "out")
    old = parsed(*design_args, "--check", "5", "--profile", "slurm")
    new = parsed(*design_args, "--simulate", "5", "--workflow-profile", "slurm")
    assert old == new and (new["simulate"], new["workflow_profile"]) == (5, "slurm")
    assert parsed(*design_args)["simulate"] == 0
    old = parsed("sweep", "P.INP", "S.csv", "-o", "out", "--cores", "3", "--profile", "slurm")
    assert (old["jobs"], old["workflow_profile"]) == (3, "slurm")
    for command, args in (("fit", fit_args), ("design", design_args), ("converge", ("converge", "P.INP")),
                          ("sweep", ("sweep", "P.INP", "S.csv", "-o", "out"))):
        values = parsed(*args, "--jobs", "2", "--program", "/opt/q", "--timeout", "9")
        assert (values["jobs"], values["program"], values["timeout"]) == (2, "/opt/q", 9.0), command
        shown = io.StringIO()
        with contextlib.redirect_stdout(shown), pytest.raises(SystemExit):
            build_parser(command)[0].parse_args([command, "--help"])
        help_text = " ".join(shown.getvalue().split())
        for old, new in {"fit": [("--profile", "--profile-likelihood")],
                         "design": [("--check N", "--simulate"), ("--profile NAME|PATH", "--workflow-profile")],
                         "sweep": [("--cores N", "--jobs"), ("--profile NAME|PATH", "--workflow-profile")],
                         }.get(command, []):
            assert f"{old} (old spelling of {new})" in help_text, (command, old)


@pytest.mark.parametrize("value", ["-5", "0", "inf", "nan"])
def test_a_time_limit_that_is_no_time_is_a_usage_error(tmp_path, value):
    done = subprocess.run([sys.executable, "-m", "questrand", "fit", "absent.INP", "absent.csv",
                           "--param", "diff_gel", "--accuracy", "0.01", f"--time-limit={value}"],
                          cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)},
                          capture_output=True, text=True)
    shown = f"{float(value):g}"
    assert (done.returncode, done.stdout, done.stderr) == (2, "", (
        f"questrand fit: error: --time-limit {shown}: expected a number of seconds greater than 0, "
        "e.g. 600\n"))
