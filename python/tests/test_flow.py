"""The steady flow solved once and reused (questrand.flow): a reused-flow run
reads like the coupled run from time zero, its restart file is the program's
own start with the steady flow, the cache is hit and missed as it should,
two processes filling one key leave one whole entry, and the nested-grid
start gives the flow of a start from scratch."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import PYTHON_DIR

import questrand
from questrand import flow
from questrand.grid import restart_name
from questrand.paths import package_env

FIT = PYTHON_DIR.parent / "examples" / "fit" / "PROB.INP"


@pytest.fixture(scope="module")
def fit_problem():
    return questrand.Problem.read(FIT)


def test_reused_flow_run_reads_like_the_coupled_run(fit_problem, program, tmp_path):
    """examples/fit (400 s in 40 steps of 10 s), coupled and with the flow
    reused.  The flow's start-up lasts about h^2/nu = 1 s, a tenth of the
    first step, and the starting profile is already the developed one, so
    the two runs differ by the iteration tolerance of the flow (each step
    of the coupled run stops at a normalised residual of 1e-3), not by the
    start-up: 7e-6 of the largest value measured; the bound 1e-4 is still
    hundreds of times below the discretisation error of this grid (several
    per cent)."""
    coupled = questrand.run(fit_problem, tmp_path / "coupled", program=program)
    reused = questrand.run(fit_problem, tmp_path / "reused", program=program, flow="reuse",
                           flow_cache=tmp_path / "cache")
    assert flow.startup_time(fit_problem) == pytest.approx(1.0)
    assert reused.problem.solve_u is False and reused.problem.restart_in is True
    # the same record as a run from time zero: times, a whole .UPT, the monitor header, step files
    np.testing.assert_array_equal(reused.uptake["time"], coupled.uptake["time"])
    np.testing.assert_array_equal(reused.monitor["time"], coupled.monitor["time"])
    assert len(reused.uptake) == fit_problem.nsteps and reused.uptake["time"][0] == fit_problem.dt
    assert (tmp_path / "reused" / "FIT.UPT").read_text().startswith("time,m_flow")
    assert len(reused.monitor_histories) == 1
    assert [s.step for s in reused.steps] == [s.step for s in coupled.steps] == [1, fit_problem.nsteps]
    for table, name in ((reused.uptake, "m_gel"), (reused.uptake, "c_gel_mean"),
                        (reused.monitor, "C(GelMid)")):
        other = (coupled.uptake if table is reused.uptake else coupled.monitor)[name]
        assert np.abs(table[name] - other).max() <= 1e-4 * np.abs(other).max(), name
    # the steady flow is the coupled run's final flow
    assert np.abs(reused.steps[-1].fields.c - coupled.steps[-1].fields.c).max() <= 1e-4


def test_time_zero_restart_is_the_programs_own_start(fit_problem, program, tmp_path):
    """Every field but the flow's equals what the program itself starts
    from: a steady run that solves nothing writes its starting fields."""
    problem = fit_problem.replace(c_in=0.7, diff_memb=2e-10, runname="START.OUT")
    nothing = problem.replace(steady=True, solve_u=False, solve_c=False, maxit=1, restart_out=True)
    nothing.write(tmp_path / "PROB.INP")
    subprocess.run([str(program)], cwd=tmp_path, check=True, capture_output=True)
    own = flow.read_restart(tmp_path / restart_name(problem.runname))
    steady = flow.steady_flow(problem, tmp_path / "cache", program)
    made = flow.time_zero_restart(problem, steady.restart())
    assert (made.steady, made.count, made.time) == (False, 0, 0.0)
    for name in flow.FIELD_NAMES:
        want = steady.restart().fields[name] if name in ("u", "v", "p") else own.fields[name]
        assert made.fields[name].tobytes() == want.tobytes(), name
    # the inlet column of u is the program's own profile, and c_in sits on columns 1, 2
    assert made.fields["u"][:, 1].tobytes() == own.fields["u"][:, 1].tobytes()
    assert made.fields["c"][1, :3].tolist() == [np.float32(0.7), np.float32(0.7), 0.0]
    # and a transient run accepts it as its start
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    flow.write_restart(run_dir / restart_name(problem.runname), made)
    problem.replace(solve_u=False, restart_in=True, nsteps=2).write(run_dir / "PROB.INP")
    done = subprocess.run([str(program)], cwd=run_dir, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "finished: 2 steps" in done.stderr


def test_cache_hit_and_miss(fit_problem, program, tmp_path):
    """One steady solve serves problems that differ in anything but the flow;
    a changed inlet velocity or grid is a new flow."""
    cache = tmp_path / "cache"
    first = flow.steady_flow(fit_problem, cache, program)
    assert not first.cached and first.info["converged_by"] in ("residual", "field change")
    again = flow.steady_flow(fit_problem.replace(diff_gel=8e-10, c_in=2.0, dt=5.0, nsteps=7,
                                                 maxit=50, runname="OTHER.OUT"), cache, program)
    assert again.cached and again.key == first.key and again.path == first.path
    for change in ({"u_in": 0.004}, {"viscosity": 2e-3}, {"n_flow": 12}, {"relax_u": 0.6}):
        other = flow.steady_flow(fit_problem.replace(**change), cache, program)
        assert not other.cached and other.key != first.key, change
    # the run directories see the cache's state
    workdir = tmp_path / "run"
    _, hit = flow.prepare_run(fit_problem.replace(diff_gel=5e-10), workdir, cache, program)
    assert hit.cached and hit.key == first.key


def test_concurrent_fill_of_one_key_leaves_one_whole_entry(fit_problem, program, tmp_path):
    """Two processes fill the same key at the same time, with the lock
    switched off so that both really solve: one rename wins, the other copy
    is dropped, no temporary directory is left."""
    cache = tmp_path / "cache"
    script = textwrap.dedent(f"""
        import contextlib, questrand
        from questrand import flow
        flow._lock = lambda path: contextlib.nullcontext()
        p = questrand.Problem.read({str(FIT)!r})
        s = flow.steady_flow(p, {str(cache)!r}, {str(program)!r})
        print(s.key, s.path.read_bytes().hex()[:64])
    """)
    procs = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                              env=package_env())
             for _ in range(2)]
    outputs = [p.communicate(timeout=120)[0].split() for p in procs]
    assert all(p.returncode == 0 for p in procs)
    assert outputs[0] == outputs[1]
    key = outputs[0][0]
    entries = sorted(p.name for p in cache.iterdir() if not p.name.endswith(".lock"))
    assert not [e for e in entries if e.startswith(".")], entries  # no temporary directory left
    assert key in entries
    whole = cache / key
    assert sorted(p.name for p in whole.iterdir()) == ["PROB.INP", "flow.json", "flow.sav"]
    restart = flow.read_restart(whole / "flow.sav")
    assert (restart.ni, restart.nj, restart.steady) == (fit_problem.ni, fit_problem.nj, True)


def test_nested_start_gives_the_flow_of_a_start_from_scratch(fit_problem, program, tmp_path):
    """The grid refined twice (62 columns, 20/8/16 rows): the flow solved
    from the coarse grid's flow interpolated equals the flow solved from the
    program's own start, within the steady solve's test (1e-4 relative)."""
    fine = flow.flow_problem(fit_problem.replace(ni=62, n_flow=20, n_memb=8, n_gel=16))
    nested = flow.steady_flow(fine, tmp_path / "cache", program)
    assert nested.info["nested_start"]
    scratch_info = flow.solve_steady_flow(fine, tmp_path / "scratch", program)
    scratch = flow.read_restart(tmp_path / "scratch" / restart_name(flow.FLOW_RUNNAME))
    assert not scratch_info["nested_start"]
    assert nested.info["iterations"] < scratch_info["iterations"]
    u0, u1 = scratch.fields["u"], nested.restart().fields["u"]
    assert np.abs(u1 - u0).max() <= 2 * flow.FIELD_TOL * np.abs(u0).max()


def test_flows_that_cannot_be_reused_are_refused(fit_problem, tmp_path):
    for change, words in (({"steady": True}, "a steady problem"),
                          ({"solve_u": False}, "the flow is not solved"),
                          ({"solve_c": False}, "the concentration is not solved"),
                          ({"restart_in": True}, "continues from a restart file")):
        with pytest.raises(flow.FlowError, match=words):
            flow.prepare(fit_problem.replace(**change), tmp_path, tmp_path / "cache")
    with pytest.warns(flow.FlowWarning, match="start-up time"):
        flow.check_reusable(fit_problem.replace(nsteps=1, dt=0.5))
