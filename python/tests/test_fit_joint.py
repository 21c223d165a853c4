"""Joint fits of several experiments against the two-layer slab series.

A membrane-limited stack (D_memb 5e-11, D_gel 8e-10 m2/s, 0.1 mm membrane)
under a channel held at c_in = 1 is the slab of slab_series.py.  The data
are the series' gel-mean curves plus seeded noise, not the program's: the
joint fit must find both diffusivities within 2 % and inside its
intervals, where one gel thickness alone confounds them.
"""

import time

import numpy as np
import pytest

import questrand
from questrand.fit import Data, FitError, fit, format_result
from slab_series import TwoLayerSlab
from test_accuracy import MEMBRANE, TIMES, cli, slab_problem, write_curve

D_MEMB, D_GEL = 5e-11, 8e-10
THIN, THICK = 1e-4, 5e-4
SIGMA = 5e-4


def stack(th_gel, n_gel, **changes):
    """The slab problem with a gel of ``th_gel`` on ``n_gel`` rows, started
    away from the truth."""
    return slab_problem(3e-11, 1.5e-9, th_gel=th_gel, n_gel=n_gel, **changes)


def gel_mean_data(path, th_gel, seed, times=TIMES):
    truth = TwoLayerSlab(D_MEMB, MEMBRANE, D_GEL, th_gel, t_min=min(times))
    rng = np.random.default_rng(seed)
    sigma = np.full(len(times), SIGMA)
    write_curve(path, "c_gel_mean", times, truth.gel_mean(times) + sigma * rng.standard_normal(len(times)),
                sigma)
    return path


def test_two_gel_thicknesses_separate_the_membrane_from_the_gel(program, tmp_path):
    for name, th_gel, n_gel, seed in (("thin", THIN, 4, 1), ("thick", THICK, 8, 2)):
        (tmp_path / name).mkdir()
        stack(th_gel, n_gel).write(tmp_path / name / "PROB.INP")
        gel_mean_data(tmp_path / name / "data.csv", th_gel, seed)
    started = time.perf_counter()
    done = cli("fit", "--experiment", "thin/PROB.INP", "thin/data.csv", "--experiment", "thick/PROB.INP",
               "thick/data.csv", "--param", "diff_memb", "--param", "diff_gel", "--scheme", "second-order",
               "--accuracy", "0.01", "--json", "fit.json", "--plot", "fit.png", "--jobs", "2", cwd=tmp_path)
    joint_seconds = time.perf_counter() - started
    print(done.stdout, done.stderr[-2000:], f"joint fit {joint_seconds:.1f} s", sep="\n")
    assert done.returncode == 0, done.stderr
    import json
    result = json.loads((tmp_path / "fit.json").read_text())
    assert [(e["experiment"], e["points"]) for e in result["experiments"]] == [("thin", 60), ("thick", 60)]
    widths = {}
    for name, truth in (("diff_memb", D_MEMB), ("diff_gel", D_GEL)):
        entry = result["parameters"][name]
        assert abs(entry["estimate"] / truth - 1.0) < 0.02, (name, entry)
        assert entry["ci95"][0] <= truth <= entry["ci95"][1], (name, entry)
        # each experiment's grid share is stated and enters the interval
        assert set(entry["grid_error_by_experiment"]) == {"thin", "thick"}
        widths[name] = entry["ci95"][1] / entry["ci95"][0] - 1.0
    joint_corr = result["correlation"]["diff_memb"]["diff_gel"]
    assert abs(joint_corr) < 0.95
    assert (tmp_path / "fit.png").stat().st_size > 0
    # the thick gel alone, the same data and model: the two are confounded
    alone = questrand.fit.read_data(tmp_path / "thick" / "data.csv")
    try:
        single = fit(stack(THICK, 8), alone, ["diff_memb", "diff_gel"], jobs=2, program=program,
                     scheme="second-order", grid_check=False)
    except FitError as exc:  # cannot tell them apart at all
        print(f"single thickness: {exc}")
        return
    print(format_result(single))
    single_width = single.ci95[1, 1] / single.ci95[1, 0] - 1.0
    print(f"diff_gel 95 % interval width: joint {widths['diff_gel']:.3g}, thick alone {single_width:.3g}; "
          f"correlation joint {joint_corr:.4f}, alone {single.correlation[0, 1]:.4f}")
    assert abs(single.correlation[0, 1]) > 0.99
    assert single_width > 4.0 * widths["diff_gel"]


def series_log_stderr(parts):
    """The standard errors of ln D_memb, ln D_gel the series predicts for
    gel-mean data ``[(th_gel, times), ...]`` of sigma SIGMA (Fisher
    information, central differences of the series)."""
    rows = []
    for th_gel, times in parts:
        columns = []
        for k in range(2):
            up, down = [D_MEMB, D_GEL], [D_MEMB, D_GEL]
            up[k] *= np.exp(0.01)
            down[k] *= np.exp(-0.01)
            curve = [TwoLayerSlab(d[0], MEMBRANE, d[1], th_gel, t_min=min(times)).gel_mean(times)
                     for d in (up, down)]
            columns.append((curve[0] - curve[1]) / 0.02 / SIGMA)
        rows.append(np.column_stack(columns))
    jac = np.vstack(rows)
    return np.sqrt(np.diag(np.linalg.inv(jac.T @ jac)))


def test_a_curve_and_an_end_point_row_of_another_experiment(program, tmp_path):
    # experiment A: the thick gel's mean curve; B: the thin gel's mean
    # measured once, after slicing at 200 s (one row with its sigma)
    gel_mean_data(tmp_path / "a.csv", THICK, seed=3)
    at = np.array([200.0])
    end = TwoLayerSlab(D_MEMB, MEMBRANE, D_GEL, THIN, t_min=200.0).gel_mean(at)
    write_curve(tmp_path / "b.csv", "c_gel_mean", at, end, [SIGMA])
    started = time.perf_counter()
    res = questrand.fit(experiments=[("A", stack(THICK, 8), tmp_path / "a.csv"),
                                     ("B", stack(THIN, 4, nsteps=20), tmp_path / "b.csv")],
                        params=["diff_memb", "diff_gel"], jobs=2, program=program, scheme="second-order")
    print(format_result(res), f"{time.perf_counter() - started:.1f} s", sep="\n")
    assert [(e["experiment"], e["points"]) for e in res.experiments] == [("A", 60), ("B", 1)]
    assert res.dof == 61 - 2
    for k, truth in enumerate((D_MEMB, D_GEL)):
        assert abs(res.estimate[k] / truth - 1.0) < 0.06, res.names[k]
        assert res.ci95[k, 0] < truth < res.ci95[k, 1], res.names[k]
    # the one point carries the information the series says it does: the
    # curve alone leaves ln D_gel at +-0.099 (one sigma), with the point +-0.017
    predicted = series_log_stderr([(THICK, TIMES), (THIN, at)])
    alone = series_log_stderr([(THICK, TIMES)])
    print(f"relative stderr: fit {res.stderr / res.estimate}, series {predicted} (curve alone {alone})")
    assert alone[1] > 5 * predicted[1]
    assert res.stderr / res.estimate == pytest.approx(predicted, rel=0.25)
    # a single end-point value with its sigma fits one parameter by itself
    # (no degree of freedom: the normal quantile), the membrane known: the
    # thick gel's mean at 200 s
    thick_end = TwoLayerSlab(D_MEMB, MEMBRANE, D_GEL, THICK, t_min=200.0).gel_mean(at)
    one = Data(tmp_path / "c.csv", "c_gel_mean", at, thick_end, np.array([SIGMA]))
    single = fit(slab_problem(D_MEMB, 1.5e-9, th_gel=THICK, n_gel=8, nsteps=20), one, ["diff_gel"],
                 program=program, scheme="second-order")
    print(format_result(single))
    assert single.dof == 0 and single.t_quantile == pytest.approx(1.959964, abs=1e-5)
    # the given grid is some 6 % off; its grid error widens the interval over the truth
    assert abs(single.estimate[0] / D_GEL - 1.0) < 0.08
    assert single.ci95[0, 0] < D_GEL < single.ci95[0, 1]
    slope = [TwoLayerSlab(D_MEMB, MEMBRANE, D_GEL * f, THICK, t_min=200.0).gel_mean(at)[0]
             for f in (np.exp(0.01), np.exp(-0.01))]
    assert single.stderr[0] / single.estimate[0] == pytest.approx(SIGMA * 0.02 / (slope[0] - slope[1]),
                                                                  rel=0.1)
    with pytest.raises(FitError, match="one data point without sigma"):
        questrand.fit(experiments=[("B", stack(THIN, 4, nsteps=20),
                                    Data(tmp_path / "b.csv", "c_gel_mean", at, end))],
                      params=["diff_gel"], program=program, grid_check=False)


def test_an_end_profile_from_slicing_separates_what_the_mean_curve_confounds(program, tmp_path):
    # the thick gel's mean curve (confounded alone: see above) and, at the
    # end of the same run, the gel sliced: nine depths, as an instrument
    # file writes them (a comment, depths in mm)
    gel_mean_data(tmp_path / "curve.csv", THICK, seed=4)
    depth_mm = np.linspace(0.05, 0.45, 9)
    truth = TwoLayerSlab(D_MEMB, MEMBRANE, D_GEL, THICK, t_min=10.0)
    exact = np.array([truth.value(MEMBRANE + d * 1e-3, 600.0) for d in depth_mm]).ravel()
    noisy = exact + SIGMA * np.random.default_rng(5).standard_normal(len(depth_mm))
    (tmp_path / "slices.csv").write_text("# gel sliced after the run\ndepth [mm],c_gel_profile,sigma\n" + "".join(
        f"{d:g},{c:.9g},{SIGMA:g}\n" for d, c in zip(depth_mm, noisy)))
    started = time.perf_counter()
    from questrand.fit.joint import experiment
    curve, slices_data = (questrand.fit.read_data(tmp_path / name) for name in ("curve.csv", "slices.csv"))
    both = [experiment(("thick", stack(THICK, 8), [curve, slices_data]))]
    res = questrand.fit(experiments=both, params=["diff_memb", "diff_gel"], jobs=2, program=program,
                        scheme="second-order", accuracy=0.01)
    print(format_result(res), f"{time.perf_counter() - started:.1f} s", sep="\n")
    # one experiment, two measurements: one run gives both, the same fit as
    # two experiments that run the same stack each
    options = dict(params=["diff_memb", "diff_gel"], jobs=2, program=program, scheme="second-order",
                   grid_check=False)
    shared = questrand.fit(experiments=both, profile=True, **options)
    apart = questrand.fit(experiments=[("curve", stack(THICK, 8), [curve]), ("slices", stack(THICK, 8),
                                                                             [slices_data])], **options)
    assert (shared.estimate == apart.estimate).all() and shared.rss == apart.rss
    assert apart.search_runs == 2 * shared.search_runs
    # nearly linear here: the profile-likelihood interval (chi-square up by
    # t^2, the other parameter refitted) is the linear one to 2 % of its width
    width = shared.ci95[:, 1] - shared.ci95[:, 0]
    assert not shared.profile_open.any()
    assert np.all(np.abs(shared.profile_ci95 - shared.ci95) < 0.02 * width[:, None])
    slices = res.experiments[1]
    assert slices["points"] == 9 and slices["data"].axis == "depth"
    assert slices["data"].time == pytest.approx(depth_mm * 1e-3)
    for k, true_value in enumerate((D_MEMB, D_GEL)):
        assert abs(res.estimate[k] / true_value - 1.0) < 0.02, res.names[k]
        assert res.ci95[k, 0] < true_value < res.ci95[k, 1], res.names[k]
    # the series' own information: the profile takes ln D_gel from +-0.099
    # (the curve alone) to +-0.0072 (one sigma)
    predicted = np.sqrt(np.diag(np.linalg.inv(sum(
        j.T @ j for j in (series_log_jacobian(TIMES, lambda s, t: s.gel_mean(t)),
                          series_log_jacobian(depth_mm, lambda s, d: np.array(
                              [s.value(MEMBRANE + x * 1e-3, 600.0) for x in d]).ravel()))))))
    print(f"relative stderr: fit {res.stderr / res.estimate}, series {predicted}")
    assert predicted[1] < 0.1 * series_log_stderr([(THICK, TIMES)])[1]
    assert res.stderr / res.estimate == pytest.approx(predicted, rel=0.25)
    # the profile's panel is drawn against depth in mm
    from questrand.fit.joint import plot_joint
    labels = [ax.get_xlabel() for ax in plot_joint(res).axes if ax.get_xlabel()]
    assert "depth below the gel's face [mm]" in labels and "time [s]" in labels
    # ... and the report says what was fitted against what
    from questrand.report_html import joint_fit_report, report_html
    page = report_html(joint_fit_report(res, both, command=["questrand", "fit", "--experiment"]))
    for text in ("<h2>Experiment thick</h2>", "9 points at depths 0.05 to 0.45 mm below the gel",
                 "60 points from 10 to 600 s", "share of thick", f"{res.estimate[1]:.6g}",
                 "questrand fit --experiment"):
        assert text in page, text
    # a profile is given against depth, and a depth goes with the profile only
    (tmp_path / "wrong.csv").write_text("time,c_gel_profile\n600,0.4\n")
    with pytest.raises(FitError, match="against a 'depth' column"):
        questrand.fit.read_data(tmp_path / "wrong.csv")


def series_log_jacobian(at, observe):
    """d observe / d ln D (membrane, gel) of the thick stack at ``at``, in
    units of SIGMA (central differences of the series)."""
    columns = []
    for k in range(2):
        up, down = [D_MEMB, D_GEL], [D_MEMB, D_GEL]
        up[k] *= np.exp(0.01)
        down[k] *= np.exp(-0.01)
        values = [observe(TwoLayerSlab(d[0], MEMBRANE, d[1], THICK, t_min=10.0), at) for d in (up, down)]
        columns.append((values[0] - values[1]) / 0.02 / SIGMA)
    return np.column_stack(columns)


def test_design_ranks_the_two_thicknesses_together_above_either(program, tmp_path):
    (tmp_path / "designs.csv").write_text(
        "id,observable,t_start,t_end,n_samples,sigma,th_gel,n_gel\n"
        f"thin,c_gel_mean,10,600,60,{SIGMA},{THIN},4\n"
        f"thick,c_gel_mean,10,600,60,{SIGMA},{THICK},8\n")
    started = time.perf_counter()
    study = questrand.design.design(slab_problem(D_MEMB, D_GEL), tmp_path / "designs.csv",
                                    ["diff_memb", "diff_gel"], combine=[["thin", "thick"]], jobs=2,
                                    program=program, scheme="second-order", max_factor=2)
    print(f"design {time.perf_counter() - started:.1f} s")
    ranked = [r.design.id for r in study.results]
    print(ranked, [r.prediction.se for r in study.results])
    assert ranked[0] == "thin+thick"
    # the summed information is the series' own to the grid's accuracy
    best = study.results[0].prediction
    assert best.se == pytest.approx(series_log_stderr([(THIN, TIMES), (THICK, TIMES)]), rel=0.15)
    assert best.worst_halfwidth < 0.2 * min(r.prediction.worst_halfwidth for r in study.results[1:])


def test_a_data_file_with_several_observables_and_their_own_sigmas(tmp_path):
    from questrand.fit.data import read_curves
    path = tmp_path / "two.csv"
    path.write_text("time,c_gel_mean,m_gel,sigma_m_gel,sigma,note\n"
                    "10,0.1,2e-9,1e-10,0.01,a\n20,0.2,4e-9,2e-10,0.02,b\n")
    gel, mass = read_curves(path)
    assert (gel.observable, mass.observable) == ("c_gel_mean", "m_gel")
    assert gel.sigma.tolist() == [0.01, 0.02] and mass.sigma.tolist() == [1e-10, 2e-10]
    assert mass.value.tolist() == [2e-9, 4e-9] and gel.time.tolist() == [10.0, 20.0]
    path.write_text("time,m_gel,sigma_m_gel\n10,2e-9,-1\n")
    with pytest.raises(FitError, match=r"line 2: column 'sigma_m_gel': expected a positive"):
        read_curves(path)
