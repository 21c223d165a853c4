"""Design of experiments: predictions against closed forms and simulated fits.

A model linear in the log-parameters has the Fisher information J^T J /
sigma^2 in closed form, and a model whose sensitivities carry a grid error
of first order shows the refinement stop where the prediction settles.  On
the slab problem (membrane and gel under a channel held at c_in), the
command ranks designs whose predictions simulated fits confirm.
"""

import csv
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import PYTHON_DIR
from scipy import stats

from questrand.design import Design, DesignError, predict, read_designs, study
from test_accuracy import slab_problem

NAMES = ["diff_memb", "diff_gel"]


class LinearModel:
    """Runs of a model linear in ln diff_memb and ln diff_gel: c_gel_mean(t) =
    a(t) ln(D_m / D_m0) + b(t) ln(D_g / D_g0) + (ni - 2)^-1 e(t) ln(D_g / D_g0),
    the last term a first-order grid error of the sensitivity."""

    a = staticmethod(lambda t: np.sin(t / 200.0))
    b = staticmethod(lambda t: 0.3 * np.cos(t / 300.0) + 1e-3 * t)
    e = staticmethod(lambda t: 0.5 * np.ones_like(t))

    def __init__(self, grid_error=0.0):
        self.grid_error = grid_error
        self.runs = 0

    def sensitivity(self, t, ni):
        return np.column_stack([self.a(t), self.b(t) + self.grid_error * self.e(t) / (ni - 2)])

    def tables(self, problems, labels=None):
        out = []
        for p in problems:
            self.runs += 1
            t = np.arange(1, p.nsteps + 1) * p.dt
            s = self.sensitivity(t, p.ni)
            y = 0.5 + s @ np.log([p.diff_memb / 5e-11, p.diff_gel / 8e-10])
            out.append({"time": t, "c_gel_mean": y})
        return out


def closed_form(s, sigma):
    """se, correlation and sqrt(det F) of two parameters from the 2 x 2 inverse."""
    f11, f12, f22 = (s[:, 0] @ s[:, 0]) / sigma ** 2, (s[:, 0] @ s[:, 1]) / sigma ** 2, (s[:, 1] @ s[:, 1]) / sigma ** 2
    det = f11 * f22 - f12 * f12
    return np.sqrt([f22 / det, f11 / det]), -f12 / math.sqrt(f11 * f22), math.sqrt(det)


def test_linear_model_prediction_is_the_closed_form():
    base = slab_problem(5e-11, 8e-10)
    designs = [Design("short", "c_gel_mean", 10, 300, 30, 0.002, {}, where="short"),
               Design("long", "c_gel_mean", 20, 1200, 60, 0.002, {}, where="long"),
               Design("noisy", "c_gel_mean", 20, 1200, 60, 0.02, {}, where="noisy")]
    st = study(base, designs, NAMES, runner=LinearModel(), se_tolerance=0.01)
    for r in st.results:
        d = r.design
        se, corr, sqrt_det = closed_form(LinearModel().sensitivity(d.times, base.ni), d.sigma)
        p = r.prediction
        assert p.se == pytest.approx(se, rel=1e-6)
        assert p.correlation[0, 1] == pytest.approx(corr, rel=1e-6)
        assert p.d_criterion == pytest.approx(sqrt_det, rel=1e-6)
        tq = stats.t.ppf(0.975, d.n_samples - 2)
        assert p.halfwidth == pytest.approx(np.expm1(tq * se), rel=1e-6)
        assert r.factor == 2 and r.se_change < 1e-6       # exact on every grid: stops at x2
    # ten times the noise: ten times the standard errors; ranked by the largest half-width
    by_id = {r.design.id: r for r in st.results}
    assert by_id["noisy"].prediction.se == pytest.approx(10 * by_id["long"].prediction.se, rel=1e-9)
    assert [r.design.id for r in st.results][-1] == "noisy"
    assert [r.rank for r in st.results] == [1, 2, 3]
    # the D-criterion ranks by the information instead
    st_d = study(base, designs, NAMES, runner=LinearModel(), criterion="d-criterion")
    assert st_d.results[0].design.id == "long" and st_d.results[0].criterion < 0


def test_refinement_follows_a_grid_error_of_the_sensitivities():
    base = slab_problem(5e-11, 8e-10)       # ni = 7: 5 interior columns, x2 -> 10, x4 -> 20, x8 -> 40
    d = Design("long", "c_gel_mean", 20, 1200, 60, 0.002, {}, where="long")
    model = LinearModel(grid_error=1.0)
    st = study(base, [d], NAMES, runner=model, se_tolerance=0.05)
    r = st.results[0]
    factors = [f for f, _ in r.history]
    changes = [abs(b[1] / a[1] - 1) for (_, a), (_, b) in zip(r.history, r.history[1:])]
    # refined while the standard error of diff_gel moved by more than 5 %, then stopped
    assert all(c > 0.05 for c in changes[:-1]) and changes[-1] <= 0.05, changes
    assert factors == [1, 2, 4, 8][:len(factors)] and r.grid_ok
    se, _, _ = closed_form(model.sensitivity(d.times, (base.ni - 2) * r.factor + 2), d.sigma)
    assert r.prediction.se == pytest.approx(se, rel=1e-6)
    # the same with a cap at x2: flagged, with a warning naming the change
    capped = study(base, [d], NAMES, runner=LinearModel(grid_error=1.0), se_tolerance=0.05, max_factor=2)
    assert not capped.results[0].grid_ok and "still change" in capped.warnings[0]


def test_identifiability_names_the_reason():
    t = np.linspace(1.0, 100.0, 50)
    s = np.column_stack([np.exp(-t / 30), np.zeros_like(t)])
    flat = predict(["a", "b"], s, 0.01, np.ones_like(t))
    assert not flat.identifiable[1] and flat.reasons[1].startswith("flat") and math.isinf(flat.se[1])
    rng = np.random.default_rng(0)
    s = np.column_stack([np.exp(-t / 30), 2 * np.exp(-t / 30) + 1e-4 * rng.standard_normal(len(t))])
    confounded = predict(["a", "b"], s, 0.01, np.ones_like(t))
    assert not np.any(confounded.identifiable)
    assert confounded.reasons[0].startswith("confounded with b") and "correlation -" in confounded.reasons[0]
    assert confounded.reasons[1].startswith("confounded with a")


def test_design_table_errors_name_line_and_column(tmp_path):
    path = tmp_path / "designs.csv"
    head = "id,observable,t_start,t_end,n_samples,sigma,u_in\n"
    cases = [(head + "a,c_gel_mean,10,600,60,0.002,0.5\nb,c_gel_meen,10,600,60,0.002,\n",
              "line 3, column observable"),
             (head + "a,c_gel_mean,10,5,60,0.002,0.5\n", "line 2, column t_end"),
             (head + "\n# comment\na,c_gel_mean,10,600,60,-1,0.5\n", "line 4, column sigma"),
             (head + "a,c_gel_mean,10,600,60,0.002,x\n", "line 2, column u_in"),
             (head.replace("u_in", "diff_gel") + "a,c_gel_mean,10,600,60,0.002,1e-9\n", "--at")]
    for text, expected in cases:
        path.write_text(text)
        with pytest.raises(DesignError) as info:
            read_designs(path, NAMES)
        assert expected in str(info.value) and "\n" not in str(info.value), str(info.value)
    path.write_text(head + "a,c_gel_mid,10,600,60,0.002,0.5\n")
    designs = read_designs(path, NAMES, grid=["th_gel=5e-4,1e-3", "dt=5,10"])
    assert [d.id for d in designs][:2] == ["a__th_gel=5e-4__dt=5", "a__th_gel=5e-4__dt=10"]
    assert designs[1].values == {"u_in": 0.5, "th_gel": 5e-4, "dt": 10.0}
    assert designs[0].problem(slab_problem(5e-11, 8e-10)).nsteps == 120   # runs to t_end


def cli(*args, cwd):
    from questrand.runner import find_program
    env = {"PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(find_program()), "PATH": "/usr/bin:/bin",
           "QUESTRAND_FLOW_CACHE": os.environ["QUESTRAND_FLOW_CACHE"]}
    return subprocess.run([sys.executable, "-m", "questrand", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("diff_memb", [5e-11, 5e-10], ids=["membrane-limited", "balanced"])
def test_design_command_predictions_match_simulated_fits(program, tmp_path, diff_memb):
    slab_problem(diff_memb, 8e-10).write(tmp_path / "PROB.INP")
    (tmp_path / "designs.csv").write_text(
        "id,observable,t_start,t_end,n_samples,sigma\n"
        "mean600,c_gel_mean,10,600,60,0.002\n"
        "mid600,c_gel_mid,10,600,60,0.002\n"
        "memb600,c_memb_mid,10,600,60,0.002\n"
        "mid1800,c_gel_mid,30,1800,60,0.002\n")
    done = cli("design", "PROB.INP", "designs.csv", "--param", "diff_memb", "--param", "diff_gel",
               "-o", "out", "--simulate", "8", "--max-refine", "2", "--jobs", "2", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    print(done.stdout)
    rows = list(csv.DictReader(open(tmp_path / "out" / "design.csv")))
    assert [int(r["rank"]) for r in rows] == [1, 2, 3, 4]
    for column in ("se_rel_diff_gel", "halfwidth_rel_diff_memb", "correlation", "d_criterion",
                   "identifiable", "grid", "se_grid_change", "grid_error_rel_diff_gel"):
        assert column in rows[0]
    halfwidths = [max(float(r["halfwidth_rel_diff_memb"]), float(r["halfwidth_rel_diff_gel"])) for r in rows]
    assert halfwidths == sorted(halfwidths)
    if diff_memb == 5e-11:
        # the gel mean of the membrane-limited pair: D_gel is confounded with D_memb
        assert rows[-1]["id"] == "mean600" and rows[-1]["identifiable"] == "false"
        assert "diff_gel: confounded with diff_memb" in rows[-1]["reason"]
        assert abs(float(rows[-1]["correlation"])) > 0.99
    checks = list(csv.DictReader(open(tmp_path / "out" / "check.csv")))
    roles = {"best", "worst"} | ({"not identifiable"} if diff_memb == 5e-11 else set())
    assert {c["role"] for c in checks} == roles
    for c in checks:
        assert int(c["fits"]) == 8 and int(c["failed"]) == 0
        if c["role"] == "best":  # linear regime: the spread of 8 fits is the predicted one
            assert 0.5 < float(c["ratio"]) < 1.6, c
    spread = {role: max(float(c["simulated_sd_rel"]) for c in checks if c["role"] == role) for role in roles}
    assert spread["best"] < spread["worst"] < spread.get("not identifiable", math.inf)
    for name in ("design.png", "sensitivity.png"):
        assert (tmp_path / "out" / name).stat().st_size > 10000
    sens = list(csv.DictReader(open(tmp_path / "out" / "sensitivity.csv")))
    assert set(sens[0]) == {"time", "value", "dvalue_dln_diff_memb", "dvalue_dln_diff_gel"}


def test_profile_runs_the_model_through_the_workflow_with_the_same_predictions(program, tmp_path):
    """--profile (the old spelling of --workflow-profile) makes every model
    run a row of a sweep run by the workflow: the predictions are those of
    the local worker processes, number for number."""
    slab_problem(5e-11, 8e-10).write(tmp_path / "PROB.INP")
    (tmp_path / "designs.csv").write_text("id,observable,t_start,t_end,n_samples,sigma\n"
                                          "top600,c_gel_top,10,600,30,0.002\n"
                                          "mean600,c_gel_mean,10,600,30,0.002\n")
    (tmp_path / "local-profile").mkdir()
    (tmp_path / "local-profile" / "config.yaml").write_text("cores: 2\n")
    common = ("design", "PROB.INP", "designs.csv", "--param", "diff_gel", "--max-refine", "2")
    local = cli(*common, "-o", "local", cwd=tmp_path)
    workflow = cli(*common, "-o", "workflow", "--profile", "local-profile", cwd=tmp_path)
    assert local.returncode == 0 and workflow.returncode == 0, local.stderr + workflow.stderr
    assert (tmp_path / "workflow" / "design.csv").read_bytes() == (tmp_path / "local" / "design.csv").read_bytes()
    records = list((tmp_path / "workflow" / "model-runs" / "sweep" / "runs").glob("*/run.json"))
    assert len(records) == 6    # (nominal, up, down) x grids x1 and x2, one problem for both designs
    # model runs whose steps end at maxit are refused by both paths alike
    (tmp_path / "tight").mkdir()
    slab_problem(5e-11, 8e-10).replace(maxit=1, convtol=1e-12).write(tmp_path / "tight" / "PROB.INP")
    tight = ("design", "tight/PROB.INP", "designs.csv", "--param", "diff_gel", "--max-refine", "2")
    local = cli(*tight, "-o", "tight-local", cwd=tmp_path)
    workflow = cli(*tight, "-o", "tight-workflow", "--workflow-profile", "local-profile", cwd=tmp_path)
    for done in (local, workflow):
        assert done.returncode != 0 and "ended without convergence after maxit = 1" in done.stderr, done.stderr


def test_the_workflow_runs_the_scheme_asked_for(program, tmp_path):
    """--scheme second-order with --workflow-profile: every run of the
    workflow is made with that scheme (its record says so), and the
    predictions are those of the local worker processes with it, which
    are not the standard scheme's."""
    slab_problem(5e-11, 8e-10).write(tmp_path / "PROB.INP")
    (tmp_path / "designs.csv").write_text("id,observable,t_start,t_end,n_samples,sigma\n"
                                          "top600,c_gel_top,10,600,30,0.002\n")
    (tmp_path / "local-profile").mkdir()
    (tmp_path / "local-profile" / "config.yaml").write_text("cores: 2\n")
    common = ("design", "PROB.INP", "designs.csv", "--param", "diff_gel", "--max-refine", "2")
    second = ("--scheme", "second-order")
    standard = cli(*common, "-o", "standard", cwd=tmp_path)
    local = cli(*common, *second, "-o", "local", cwd=tmp_path)
    workflow = cli(*common, *second, "-o", "workflow", "--workflow-profile", "local-profile", cwd=tmp_path)
    assert {standard.returncode, local.returncode, workflow.returncode} == {0}, local.stderr + workflow.stderr
    assert (tmp_path / "workflow" / "design.csv").read_bytes() == (tmp_path / "local" / "design.csv").read_bytes()
    assert (tmp_path / "local" / "design.csv").read_bytes() != (tmp_path / "standard" / "design.csv").read_bytes()
    records = list((tmp_path / "workflow" / "model-runs" / "sweep" / "runs").glob("*/run.json"))
    assert len(records) == 6 and {json.loads(r.read_text())["scheme"] for r in records} == {"second-order"}
