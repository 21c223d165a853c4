"""The steady flow solved once and reused (questrand.flow): a reused-flow run
reads like the coupled run from time zero, its restart file is the program's
own start with the steady flow, the cache is hit and missed as it should,
two processes filling one key leave one whole entry, and the nested-grid
start gives the flow of a start from scratch; an entry that does not match what it records, or is
incomplete, is solved again, and what killed fills leave is removed."""

import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

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


def _entry_files(entry):
    return sorted(p.name for p in entry.iterdir())


def _hidden(cache):
    return sorted(p.name for p in cache.iterdir() if p.name.startswith("."))


def test_a_changed_or_incomplete_entry_is_solved_again(fit_problem, program, tmp_path, capfd):
    """An entry whose flow.sav was replaced by another flow of the same grid
    (u x 0.01), holds a NaN, has only flow.json, or was written before
    entries recorded their checksums, is a miss: one line on standard
    error names the entry and what did not match, the flow is solved again
    and the entry replaced.  The reference is the flow solved in a cache of
    its own; the flow handed out and the new entry equal it byte for byte."""
    reference = flow.steady_flow(fit_problem, tmp_path / "reference", program)
    truth = reference.path.read_bytes()
    cache = tmp_path / "cache"
    key = flow.steady_flow(fit_problem, cache, program).key
    entry = cache / key
    capfd.readouterr()

    def rewrite_flow(change):
        restart = flow.read_restart(entry / "flow.sav")
        change(restart.fields)
        flow.write_restart(entry / "flow.sav", restart)

    def nan_with_checksum():  # the checksum recorded again: the file itself is checked
        rewrite_flow(lambda f: f["u"].__setitem__((5, 5), np.nan))
        info = json.loads((entry / "flow.json").read_text())
        info["sha256"]["flow.sav"] = hashlib.sha256((entry / "flow.sav").read_bytes()).hexdigest()
        (entry / "flow.json").write_text(json.dumps(info))

    def edit_info(change):
        info = json.loads((entry / "flow.json").read_text())
        change(info)
        (entry / "flow.json").write_text(json.dumps(info))

    damages = {
        "u scaled by 0.01": (lambda: rewrite_flow(lambda f: f.__setitem__("u", f["u"] * np.float32(0.01))),
                             "flow.sav: sha256"),
        "NaN in u": (lambda: rewrite_flow(lambda f: f["u"].__setitem__((5, 5), np.nan)), "flow.sav: sha256"),
        "NaN in u, checksum recorded": (nan_with_checksum, f"{entry / 'flow.sav'}: field u: 1 values not finite"),
        "only flow.json": (lambda: [(entry / n).unlink() for n in ("flow.sav", "PROB.INP")],
                           "flow.sav: No such file"),
        "no checksum (older entry)": (lambda: edit_info(lambda i: i.pop("sha256")), "records no sha256"),
        "another key recorded": (lambda: edit_info(lambda i: i.__setitem__("key", "0" * 32)),
                                 "records key '000"),
    }
    for name, (damage, words) in damages.items():
        damage()
        got = flow.steady_flow(fit_problem, cache, program)
        err = capfd.readouterr().err.strip().splitlines()
        assert len(err) == 1 and str(entry) in err[0] and words in err[0], (name, err)
        assert not got.cached, name
        assert flow.restart_bytes(got.restart()) == truth, name
        assert (entry / "flow.sav").read_bytes() == truth, name
        assert _entry_files(entry) == ["PROB.INP", "flow.json", "flow.sav"], name
        assert _hidden(cache) == [], name
        again = flow.steady_flow(fit_problem, cache, program)
        assert again.cached and capfd.readouterr().err == "", name


def test_fit_with_a_replaced_flow_in_its_cache(program, tmp_path):
    """`questrand fit --flow-cache C` after the entry's flow.sav was replaced
    by the same grid's flow with u scaled by 0.01 (which, used, gives a
    gel diffusivity a thousand times too large) estimates what the fit
    with an untouched cache estimates, and says that it solved the flow
    again."""
    data = FIT.parent / "gel_mid.csv"
    cache = tmp_path / "cache"

    def fit():
        done = subprocess.run([sys.executable, "-m", "questrand", "fit", str(FIT), str(data),
                               "--param", "diff_gel", "--no-grid-check", "--flow-cache", str(cache)],
                              capture_output=True, text=True, env=package_env(), cwd=tmp_path, timeout=120)
        assert done.returncode == 0, done.stderr
        row = [line for line in done.stdout.splitlines() if line.startswith("diff_gel")]
        return float(row[0].split()[2]), done.stderr

    clean, _ = fit()
    entry = next(p for p in cache.iterdir() if (p / "PROB.INP").is_file()
                 and questrand.Problem.read(p / "PROB.INP").ni == questrand.Problem.read(FIT).ni)
    restart = flow.read_restart(entry / "flow.sav")
    restart.fields["u"] *= np.float32(0.01)
    flow.write_restart(entry / "flow.sav", restart)
    again, err = fit()
    assert again == clean and 7e-10 < clean < 9e-10
    assert f"flow cache entry {entry} not used (flow.sav: sha256" in err


def test_what_a_killed_fill_left_is_removed(fit_problem, program, tmp_path):
    """A fill killed (SIGKILL) in its solve leaves its temporary directory
    .KEY.PID@HOST.XXXX and lock file .KEY.lock; the next use of the cache
    removes both, and a temporary directory untouched for two days, while
    the temporary directory of a live process and a lock a live process
    holds stay."""
    cache = tmp_path / "cache"
    cache.mkdir()
    marker = tmp_path / "solving"
    script = textwrap.dedent(f"""
        import pathlib, time, questrand
        from questrand.flow import solve
        def stuck(*args, **kwargs):
            pathlib.Path({str(marker)!r}).touch()
            time.sleep(300)
        solve.solve_steady_flow = stuck
        solve.steady_flow(questrand.Problem.read({str(FIT)!r}), {str(cache)!r}, {str(program)!r})
    """)
    child = subprocess.Popen([sys.executable, "-c", script], env=package_env())
    try:
        for _ in range(600):
            if marker.exists() or child.poll() is not None:
                break
            time.sleep(0.1)
        assert marker.exists()
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
    host = socket.gethostname()
    left = _hidden(cache)
    dead = [n for n in left if f".{child.pid}@{host}." in n]
    assert len(dead) == 1 and any(n.endswith(".lock") for n in left), left
    old = cache / f".{'a' * 32}.olddir1"
    old.mkdir()
    os.utime(old, (time.time() - 2 * 86400,) * 2)
    live = cache / f".{'b' * 32}.{os.getpid()}@{host}.live1"
    live.mkdir()
    with flow._lock(cache / f".{'c' * 32}.lock"):
        got = flow.steady_flow(fit_problem, cache, program)
        assert _hidden(cache) == sorted([live.name, f".{'c' * 32}.lock"])
    assert not got.cached and _entry_files(got.path.parent) == ["PROB.INP", "flow.json", "flow.sav"]
    assert _hidden(cache) == [live.name]  # the lock's holder removes it when it lets go


def test_two_fills_at_once_share_one_solve(fit_problem, program, tmp_path):
    """Two processes ask for one flow at once, with the cache's lock: one
    solves it, the other waits and takes the entry (cached), and neither
    leaves a temporary directory or lock file."""
    cache = tmp_path / "cache"
    script = textwrap.dedent(f"""
        import questrand
        from questrand import flow
        s = flow.steady_flow(questrand.Problem.read({str(FIT)!r}), {str(cache)!r}, {str(program)!r})
        print(s.cached, s.key)
    """)
    procs = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                              env=package_env()) for _ in range(2)]
    outputs = sorted(p.communicate(timeout=120)[0].split() for p in procs)
    assert all(p.returncode == 0 for p in procs)
    assert [o[0] for o in outputs] == ["False", "True"] and outputs[0][1] == outputs[1][1]
    assert _hidden(cache) == []
