"""Model runs in memory (questrand._solver) against the program as a
process: the curves are the very numbers of the uptake file the program
writes (read by the toolkit's reader), a fit gives the same estimate bit
for bit either way, and a refused input is the program's own line.  The
process path is the reference: the program writing its files, which the
module's code does not touch."""

from pathlib import Path

import pandas as pd
import pytest

import questrand
from questrand import Problem, solver
from questrand.fit import FitError, fit
from questrand.runner import execute_model

from test_fit import BASE, synthetic

FIT_EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "fit" / "PROB.INP"


# The module of the program under test's build (beside it: docs/python.md).
MODULE = solver.load()
if MODULE is None:
    pytest.skip("the solver module questrand._solver is not built beside the program (pybind11: docs/python.md)",
                allow_module_level=True)


@pytest.fixture(scope="module")
def module():
    return MODULE


def process_uptake(problem, workdir, program, scheme):
    done, fault = execute_model(problem, workdir, program=program, scheme=scheme, flow="reuse")
    assert fault is None, fault
    return done.uptake_table()


@pytest.mark.parametrize("scheme", ["standard", "second-order"])
def test_curves_are_the_uptake_files_values_with_a_reused_flow(module, program, tmp_path, scheme, monkeypatch):
    # 20 steps of 5 s with the start of 10 s steps (--start-dt, as a refined grid has it; the standard
    # scheme has no start): the start, where the run changes most
    problem = Problem.read(FIT_EXAMPLE).replace(nsteps=20, dt=5.0, start_dt=10.0)
    outcome = solver.model_curves(module, problem, program=program, scheme=scheme, flow="reuse")
    assert outcome[0] == "ok", outcome
    in_memory = outcome[1]
    from_file = process_uptake(problem, tmp_path / "process", program, scheme)
    assert len(from_file) == 20 and list(in_memory.columns) == list(from_file.columns)
    pd.testing.assert_frame_equal(in_memory, from_file, check_exact=True)
    # the end-of-run field is the end-of-run concentration file's, node for node
    from questrand.profile import field_from_node_file
    end_file = field_from_node_file(tmp_path / "process" / "FIT.CON", problem)
    assert (in_memory.attrs["c"][1:-1, 1:-1] == end_file[1:-1, 1:-1]).all()
    # the next run takes the flow this process already holds, and gives the same bits; another
    # cache directory is another flow
    import questrand.flow.solve as flow_solve

    def no_cache_read(*args, **kwargs):
        raise AssertionError("the steady flow was looked up again")

    monkeypatch.setattr(flow_solve, "steady_flow", no_cache_read)
    again = solver.model_curves(module, problem.replace(diff_gel=problem.diff_gel), program=program, scheme=scheme,
                                flow="reuse")
    pd.testing.assert_frame_equal(again[1], in_memory, check_exact=True)
    with pytest.raises(AssertionError, match="looked up again"):
        solver.model_curves(module, problem, program=program, scheme=scheme, flow="reuse",
                            flow_cache=tmp_path / "another")


def test_a_fit_gives_the_same_estimate_in_memory_and_as_processes(module, program, tmp_path, monkeypatch):
    flowing = BASE.replace(solve_u=True)  # the flow solved: the fit reuses its steady flow
    data, _ = synthetic(program, tmp_path, "m_gel", noise=0.01, seed=7, problem=flowing)
    start = flowing.replace(diff_gel=2e-10)
    processes = []
    real_execute = questrand.runner.execute_model
    monkeypatch.setattr(questrand.runner, "execute_model",
                        lambda *a, **k: processes.append(1) or real_execute(*a, **k))
    in_memory = fit(start, data, ["diff_gel"], jobs=1, program=program, grid_check=False)
    assert not processes  # every model run was made in memory
    monkeypatch.setenv(solver.IN_PROCESS_ENV, "0")
    as_processes = fit(start, data, ["diff_gel"], jobs=1, program=program, grid_check=False)
    assert processes  # and now as processes
    assert in_memory.converged and abs(in_memory.estimate[0] / 5e-10 - 1) < 0.05
    assert in_memory.estimate[0] == as_processes.estimate[0] and in_memory.rss == as_processes.rss
    assert (in_memory.stderr == as_processes.stderr).all()
    monkeypatch.delenv(solver.IN_PROCESS_ENV)
    in_workers = fit(start, data, ["diff_gel"], jobs=2, program=program, grid_check=False)  # each loads it
    assert in_workers.estimate[0] == in_memory.estimate[0] and in_workers.rss == in_memory.rss


def test_a_refused_value_is_the_programs_own_line(module, program, tmp_path):
    bad = BASE.replace(ni=400)
    done, fault = execute_model(bad, tmp_path / "process", program=program)
    line = done.stderr.strip().splitlines()[-1]
    assert fault == f"exit status 2: {line}" and "number of grid columns" in line
    data, _ = synthetic(program, tmp_path, "m_gel", noise=0.01, seed=1)
    with pytest.raises(FitError) as caught:
        fit(bad, data, ["diff_gel"], jobs=1, program=program, grid_check=False)
    assert str(caught.value) == f"model run with diff_gel=5e-10 failed: exit status 2: {line}"


def test_a_convergence_study_is_the_same_in_memory_and_as_processes(module, program, monkeypatch):
    from questrand.converge import study

    flowing, names = BASE.replace(solve_u=True), ["m_gel", "c_out"]
    in_memory = study(flowing, observables=names, program=program, jobs=1)
    monkeypatch.setenv(solver.IN_PROCESS_ENV, "0")
    as_processes = study(flowing, observables=names, program=program, jobs=1)
    assert in_memory.flow == "reuse" and len(in_memory.factors) == 3
    for name in names:
        for (t1, v1), (t2, v2) in zip(in_memory.curves[name], as_processes.curves[name], strict=True):
            assert (t1 == t2).all() and (v1 == v2).all(), name
    report, again = in_memory.as_json(), as_processes.as_json()
    report.pop("wall_time"), again.pop("wall_time")  # the first study solved the steady flows too
    assert report == again


def test_a_design_study_is_the_same_in_memory_and_as_processes(module, program, tmp_path, monkeypatch):
    """The outputs of a small design study (two designs of uptake columns,
    grids x1 and x2, two simulated fits of each checked design) are the
    same bytes whether the model runs are made in memory or as processes
    (the program writing its files); a design of a monitor probe reads
    monitor.dat, so its runs stay processes."""
    from questrand.design import design, simulate
    from test_accuracy import slab_problem

    base = slab_problem(5e-11, 8e-10)
    table = tmp_path / "designs.csv"
    table.write_text("id,observable,t_start,t_end,n_samples,sigma\n"
                     "memb300,c_memb_mid,10,300,30,0.002\n"
                     "mean600,c_gel_mean,10,600,30,0.002\n")
    processes = []
    real_execute = questrand.runner.execute_model
    monkeypatch.setattr(questrand.runner, "execute_model",
                        lambda *a, **k: processes.append(1) or real_execute(*a, **k))
    common = dict(names=["diff_memb", "diff_gel"], check_fits=2, jobs=1, max_factor=2)
    in_memory = design(base, table, outdir=tmp_path / "memory", **common)
    assert not processes and in_memory.runs == 20  # (nominal, 2 up, 2 down) x 2 designs x 2 grids
    monkeypatch.setenv(solver.IN_PROCESS_ENV, "0")
    as_processes = design(base, table, outdir=tmp_path / "process", **common)
    assert len(processes) > as_processes.runs == in_memory.runs  # the study's runs and the fits'
    for name in ("design.csv", "sensitivity.csv", "check.csv"):
        assert (tmp_path / "memory" / name).read_bytes() == (tmp_path / "process" / name).read_bytes(), name
    assert [len(c.estimates) for c in in_memory.checks] == [2] * len(in_memory.checks)
    # the runs every fit starts with, made once for all the fits of a check, change nothing
    monkeypatch.setattr(simulate, "start_runs", lambda *a, **k: {})
    monkeypatch.delenv(solver.IN_PROCESS_ENV)
    each_its_own = design(base, table, outdir=tmp_path / "each", **common)
    assert (tmp_path / "each" / "check.csv").read_bytes() == (tmp_path / "memory" / "check.csv").read_bytes()
    assert [c.runs for c in in_memory.checks] == [c.runs - 3 for c in each_its_own.checks]  # 2 fits: 3 saved
    monkeypatch.undo()
    monkeypatch.setattr(questrand.runner, "execute_model",
                        lambda *a, **k: processes.append(1) or real_execute(*a, **k))
    processes.clear()
    probe = tmp_path / "probe.csv"
    probe.write_text("id,observable,t_start,t_end,n_samples,sigma\nprobe300,C(GelMid),10,300,30,0.002\n")
    design(base, probe, names=["diff_gel"], jobs=1, max_factor=2)
    assert len(processes) == 6  # (nominal, up, down) x 2 grids
