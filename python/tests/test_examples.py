"""The shipped examples: each README states key results of its run in a table
marked ``<!-- key results -->``; every stated value must be what the program
gives now (to the digits stated), so the READMEs cannot drift from the runs."""

import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from questrand.results import read_uptake

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def crossing_time(times, values, level):
    """First time at which ``values`` reaches ``level`` (linear in time)."""
    above = np.nonzero(values >= level)[0]
    if len(above) == 0:
        return float("nan")
    k = above[0]
    if k == 0:
        return float(times[0])
    t0, t1, v0, v1 = times[k - 1], times[k], values[k - 1], values[k]
    return float(t0 + (level - v0) * (t1 - t0) / (v1 - v0))


def summary_iterations(stderr):
    match = re.search(r"finished: .*?, (\d+) outer iterations", stderr)
    return float(match.group(1))


def node_file(path, ncols):
    return np.loadtxt(path).reshape(-1, ncols)


def instrument_results(work, stderr):
    up = read_uptake(work / "EXAMPLE.UPT")
    return {
        "outer_iterations": summary_iterations(stderr),
        "final_m_gel": up["m_gel"].iloc[-1],
        "final_c_gel_mean": up["c_gel_mean"].iloc[-1],
        "final_c_memb_mean": up["c_memb_mean"].iloc[-1],
        "final_c_out": up["c_out"].iloc[-1],
    }


def gel_uptake_results(work, stderr):
    up = read_uptake(work / "UPTAKE.UPT")
    return {
        "outer_iterations": summary_iterations(stderr),
        "final_c_gel_mean": up["c_gel_mean"].iloc[-1],
        "final_c_memb_mean": up["c_memb_mean"].iloc[-1],
        "time_c_gel_mean_0.5": crossing_time(up["time"].to_numpy(), up["c_gel_mean"].to_numpy(), 0.5),
        "time_c_gel_mean_0.9": crossing_time(up["time"].to_numpy(), up["c_gel_mean"].to_numpy(), 0.9),
        "worst_balance": float(np.max(np.abs(up["balance"]))),
    }


def developed_flow_results(work, stderr):
    vel = node_file(work / "FLOW.VEL", 4)  # x, y, u, v
    prs = node_file(work / "FLOW.PRS", 3)  # x, y, p
    u_in, mu, h = 0.005, 1.0e-3, 0.001
    x_out = vel[:, 0].max()
    centre = vel[(vel[:, 0] == x_out)][0]  # the row next to the symmetry plane
    bottom = prs[prs[:, 1] == prs[:, 1].min()]
    xs, ps = bottom[:, 0], bottom[:, 2]
    half = xs >= 0.5 * xs.max()  # the developed second half of the channel
    gradient = np.polyfit(xs[half], ps[half], 1)[0]
    return {
        "outer_iterations": summary_iterations(stderr),
        "outlet_u_centre_over_u_in": centre[2] / u_in,
        "dpdx_over_poiseuille": gradient / (-3.0 * mu * u_in / h**2),
    }


RESULTS = {
    "instrument": instrument_results,
    "gel-uptake": gel_uptake_results,
    "developed-flow": developed_flow_results,
}


def stated_results(readme):
    """The ``| `key` | value |`` rows after the key-results marker."""
    text = readme.read_text()
    start = text.index("<!-- key results -->")
    rows = {}
    for line in text[start:].splitlines()[1:]:
        match = re.match(r"\|\s*`([^`]+)`\s*\|[^|]*\|\s*([-+0-9.eE]+)\s*\|", line)
        if match:
            rows[match.group(1)] = match.group(2)
        elif rows and not line.startswith("|"):
            break
    return rows


def stated_precision(text):
    """Half a unit in the last stated digit, relative to the value."""
    mantissa = text.lower().split("e")[0].lstrip("+-").replace(".", "").lstrip("0")
    return 0.5 * 10.0 ** (-(len(mantissa) - 1)) if mantissa else 0.5


@pytest.mark.parametrize("name", sorted(RESULTS))
def test_readme_states_what_the_run_gives(name, program, tmp_path):
    example = EXAMPLES / name
    shutil.copy(example / "PROB.INP", tmp_path / "PROB.INP")
    done = subprocess.run([program], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    results = RESULTS[name](tmp_path, done.stderr)
    stated = stated_results(example / "README.md")
    assert set(stated) == set(results), f"{name}: README states {sorted(stated)}, test computes {sorted(results)}"
    for key, text in stated.items():
        value = float(text)
        got = results[key]
        tolerance = stated_precision(text) * abs(value) * 1.0001 + 1e-300
        assert abs(got - value) <= tolerance, f"{name}: {key} is {got:.6g}, the README says {text}"


def test_fit_example_interval_holds_the_value_the_data_were_made_with(program, tmp_path):
    """examples/fit: the one-parameter fit of its shipped curve, as its README
    runs it, finds diff_gel within 1 % of the true 8e-10, with an interval
    that holds it, a stated grid error below the statistical half-width, and
    the accuracy reached, within 40 model runs."""
    import json
    import os
    import sys

    example = EXAMPLES / "fit"
    env = dict(os.environ, QUESTRAND_PROGRAM=str(program),
               PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    out = tmp_path / "fit.json"
    done = subprocess.run([sys.executable, "-m", "questrand", "fit", str(example / "PROB.INP"),
                           str(example / "gel_mid.csv"), "--param", "diff_gel", "--scheme", "second-order",
                           "--accuracy", "0.01", "--json", str(out)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    result = json.loads(out.read_text())
    entry = result["parameters"]["diff_gel"]
    lo, hi = entry["ci95"]
    assert lo < 8e-10 < hi and abs(entry["estimate"] / 8e-10 - 1) < 0.01
    assert entry["discretisation_error"] < 1.96 * entry["stderr"]
    assert result["accuracy"]["reached"] and result["flow"] == "reuse" and not result["warnings"]
    assert result["evaluations"] <= 40

def run_physics_example(name, program, tmp_path):
    """Run examples/NAME/run.py as its README does, into tmp_path/run; its
    printed line and the run's uptake table."""
    import os
    import sys

    env = dict(os.environ, QUESTRAND_PROGRAM=str(program), PYTHONPATH=str(Path(__file__).resolve().parents[1]))
    done = subprocess.run([sys.executable, str(EXAMPLES / name / "run.py"), str(tmp_path / "run")],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "run" / f"{name}.png").stat().st_size > 20000
    return done.stdout, read_uptake(tmp_path / "run" / f"{name.upper()}.UPT")


# the stacks of both examples: membrane 0.1 mm, 5e-10 m2/s over gel 0.5 mm, 8e-10 m2/s
STACK = dict(a=1.0e-4, b=5.0e-4, D_m=5.0e-10, D_g=8.0e-10)


def test_sampler_takes_up_at_the_steady_flux(program, tmp_path):
    """examples/sampler: the amount in the sink per face area (m_sink over
    the 3 cm channel) grows over the last 5 minutes at the series' steady
    flux c / (a / D_m + b / D_g) to 1e-4, and after 60 minutes is the
    layered-slab series' amount J (t - t_lag) + ... to 1e-3."""
    from physics_series import sink_slab

    out, up = run_physics_example("sampler", program, tmp_path)
    print(out)
    t, taken = up["time"].to_numpy(), up["m_sink"].to_numpy() / 0.03
    exact = sink_slab(t[[-61, -1]], **STACK)
    rate = (taken[-1] - taken[-61]) / (t[-1] - t[-61])
    assert abs(rate / exact.steady_flux - 1.0) < 1e-4
    assert abs(taken[-1] / exact.m_sink[-1] - 1.0) < 1e-3


def test_loaded_gel_empties_as_the_series_says(program, tmp_path):
    """examples/release: the gel mean follows the series of the loaded gel
    released into clean liquid to 1e-3 of the load from 100 s on, and after
    60 minutes holds less than 1e-6 of it."""
    from physics_series import loaded_gel_release

    out, up = run_physics_example("release", program, tmp_path)
    print(out)
    t, mean = up["time"].to_numpy(), up["c_gel_mean"].to_numpy()
    later = t >= 100.0
    exact = loaded_gel_release(t[later], K_m=1.0, K_g=1.0, c0_gel=1.0, **STACK).c_gel_mean
    assert np.max(np.abs(mean[later] - exact)) < 1e-3
    assert 0.0 <= mean[-1] < 1e-6
