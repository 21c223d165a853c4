"""Running the program: identical output after a PROB.INP round trip,
restart continuation, and the error paths."""

import filecmp
import os
import shutil
import stat

import pytest
from conftest import case_dirs, case_id

import questrand
from questrand import Problem, ProgramNotFoundError, RunError
from questrand.runner import execute, find_program

OUTPUT_OF_OTHER_RUNS = {"console.txt", "PROB.INP"}


def _run_in(program, directory, prob_inp_text, extra_files=()):
    """Run the program on a PROB.INP text in a fresh directory."""
    directory.mkdir()
    (directory / "PROB.INP").write_text(prob_inp_text)
    for source in extra_files:
        shutil.copy(source, directory / source.name)
    import subprocess
    done = subprocess.run([str(program)], cwd=directory, capture_output=True)
    assert done.returncode == 0, done.stderr
    (directory / "console.txt").write_bytes(done.stdout)
    return directory


@pytest.mark.parametrize("case", case_dirs(), ids=case_id)
def test_rewritten_input_gives_identical_output(case, program, tmp_path):
    """The original PROB.INP and the one Problem writes make the program
    produce the same files, byte for byte."""
    original = (case / "PROB.INP").read_text()
    problem = Problem.read(case / "PROB.INP")
    restart = []
    if problem.restart_in:  # a continued run starts from the earlier run's restart file
        earlier = case.parent / "run1"
        restart = [earlier / questrand.grid.restart_name(Problem.read(earlier).runname)]
        restart += [earlier / "monitor.dat"]
    a = _run_in(program, tmp_path / "original", original, restart)
    b = _run_in(program, tmp_path / "rewritten", problem.text(), restart)
    # every file but the input and the run record (which holds the wall time)
    names_a = sorted(p.name for p in a.iterdir() if p.name != "PROB.INP" and not p.name.endswith(".record.json"))
    names_b = sorted(p.name for p in b.iterdir() if p.name != "PROB.INP" and not p.name.endswith(".record.json"))
    assert names_a == names_b
    assert len(names_a) > 2
    _, mismatch, errors = filecmp.cmpfiles(a, b, names_a, shallow=False)
    assert mismatch == [] and errors == []


def test_run_and_restart_reproduce_the_reference(program, tmp_path):
    """run() writes the problem, runs the program and reads the results; a
    continued run reproduces the reference continuation."""
    case = next(c for c in case_dirs() if c.parent.name == "restart_transient" and c.name == "run1").parent
    first = questrand.run(Problem.read(case / "run1"), tmp_path / "run1", program=program)
    assert [s.step for s in first.steps] == [1, 3]
    second = questrand.run(Problem.read(case / "run2").replace(restart_in=False), tmp_path / "run2",
                           program=program, restart_from=first, timeout=60)
    assert second.problem.restart_in is True
    assert len(second.monitor) == 6
    for name in ("monitor.dat", "RSTT.B", "RSTT.CON", "RSTT.VEL", "RSTT.PRS", "T00006.CON", "console.txt"):
        assert filecmp.cmp(case / "run2" / name, tmp_path / "run2" / name, shallow=False), name


def test_failing_run_carries_status_and_stderr(program, tmp_path):
    problem = Problem.read(case_dirs()[0]).replace(ni=400)
    with pytest.raises(RunError) as caught:
        questrand.run(problem, tmp_path, program=program)
    error = caught.value
    assert error.returncode != 0
    assert "number of grid columns" in error.stderr
    assert f"exit status {error.returncode}" in str(error) and "number of grid columns" in str(error)


def test_program_lookup(tmp_path, monkeypatch):
    missing = tmp_path / "no-such-program"
    with pytest.raises(ProgramNotFoundError, match="no-such-program"):
        find_program(missing)
    monkeypatch.setenv("QUESTRAND_PROGRAM", str(missing))
    with pytest.raises(ProgramNotFoundError, match=r"\$QUESTRAND_PROGRAM"):
        questrand.run(Problem(), tmp_path / "work")
    fake = tmp_path / "questrand"
    fake.write_text("#!/bin/sh\necho 'PROB.INP: line 6: broken' >&2\nexit 3\n")
    fake.chmod(fake.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("QUESTRAND_PROGRAM", str(fake))
    assert find_program() == fake.resolve()
    with pytest.raises(RunError, match="exit status 3:\nPROB.INP: line 6: broken"):
        questrand.run(Problem(), tmp_path / "work")
    monkeypatch.delenv("QUESTRAND_PROGRAM")
    monkeypatch.setenv("PATH", str(tmp_path) + os.pathsep + os.environ.get("PATH", ""))
    assert find_program() == fake.resolve()


def test_execute_reports_how_a_run_ended(program, tmp_path):
    """execute(): the text written as given, the program's streams, a stop at
    the timeout, a reused flow, a refused one and a flow it cannot get."""
    fake = tmp_path / "fake"
    fake.write_text("#!/bin/sh\necho \"ran $*\"\necho 'step 2 ended without convergence after maxit = 7' >&2\n"
                    "[ -f STOP ] || exit 0\nsleep 5\n")
    fake.chmod(fake.stat().st_mode | stat.S_IXUSR)
    text = Problem().text().replace("written by", "WRITTEN BY")
    done = execute(text, tmp_path / "a", program=fake, scheme="second-order")
    assert (tmp_path / "a" / "PROB.INP").read_text() == done.text == text
    assert (done.returncode, done.timed_out, done.stdout) == (0, False, "ran --scheme second-order\n")
    # a program that writes no run record: the run is judged by nothing it printed
    assert done.maxit_steps == () and "no run record" in done.record_error and done.flow is None
    assert "no run record" in done.model_fault()
    assert (tmp_path / "a" / "console.txt").read_text() == done.stdout
    assert not (tmp_path / "a" / "stderr.txt").exists()
    (tmp_path / "b").mkdir()
    (tmp_path / "b" / "STOP").touch()
    done = execute(text, tmp_path / "b", program=fake, timeout=0.5, streams=True)
    assert (done.returncode, done.timed_out, done.stdout) == (None, True, "ran \n")
    assert (tmp_path / "b" / "stderr.txt").read_text() == done.stderr != ""

    case = next(c for c in case_dirs() if c.name == "transient_flow_conc")
    given = Problem.read(case)
    with pytest.warns(questrand.flow.FlowWarning):  # the caller's to show
        done = execute(given, tmp_path / "reuse", program=program, flow="reuse", flow_cache=tmp_path / "flows")
    assert (done.returncode, done.flow, done.flow_note, done.flow_error) == (0, "reuse", None, None)
    assert done.problem == given.replace(solve_u=False, restart_in=True) == Problem.read(tmp_path / "reuse")
    assert done.steady.key and done.flow_time > 0
    done = execute(given.replace(steady=True), tmp_path / "steady", program=program, flow="reuse")
    assert (done.returncode, done.flow, done.problem.steady) == (0, "coupled", True)
    assert "steady problem" in done.flow_note
    broken = tmp_path / "broken"
    broken.write_text("#!/bin/sh\necho 'PROB.INP: line 6: broken' >&2\nexit 3\n")
    broken.chmod(broken.stat().st_mode | stat.S_IXUSR)
    with pytest.warns(questrand.flow.FlowWarning):
        done = execute(given, tmp_path / "nosteady", program=broken, flow="reuse", flow_cache=tmp_path / "none")
    assert isinstance(done.flow_error, RunError) and done.flow_error.returncode == 3
    assert done.returncode is None and not (tmp_path / "nosteady" / "console.txt").exists()


def test_the_commands_run_the_program_given_and_no_more_runs_at_once_than_cores(program, tmp_path):
    """``--program PATH`` reaches every run of fit and converge (the
    environment names a program that does not exist), and ``--jobs``
    defaults to the cores this process may use: under ``taskset -c 0`` (one
    core of the machine's) the three grids of a convergence study run one
    after the other.  Each run is logged by a wrapper that holds it 0.3 s,
    so runs made at once would overlap in the log."""
    import subprocess
    import sys

    from conftest import PYTHON_DIR
    from test_fit import BASE

    log = tmp_path / "runs.log"
    wrapper = tmp_path / "wrapped-questrand"
    wrapper.write_text(f"#!/bin/sh\necho start $(date +%s.%N) >> {log}\nsleep 0.3\n{program} \"$@\"\n"
                       f"status=$?\necho end $(date +%s.%N) >> {log}\nexit $status\n")
    wrapper.chmod(0o755)
    BASE.replace(nsteps=5).write(tmp_path / "PROB.INP")
    (tmp_path / "data.csv").write_text("time,c_gel_mean\n10,0.01\n20,0.02\n30,0.03\n40,0.04\n50,0.05\n")
    env = {**os.environ, "PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(tmp_path / "absent")}

    def toolkit(*args):
        return subprocess.run(["taskset", "-c", "0", sys.executable, "-m", "questrand", *map(str, args),
                               "--program", wrapper], cwd=tmp_path, env=env, capture_output=True, text=True)

    done = toolkit("converge", "PROB.INP", "--levels", "3")
    assert done.returncode == 0, done.stderr
    lines = [line.split() for line in log.read_text().splitlines()]
    assert len(lines) >= 6   # three grids: their runs (and steady flows, when solved)
    assert [kind for kind, _ in lines] == ["start", "end"] * (len(lines) // 2), "runs overlapped"
    log.unlink()
    done = toolkit("fit", "PROB.INP", "data.csv", "--param", "diff_gel", "--no-grid-check")
    assert done.returncode in (0, 3), done.stderr
    assert log.read_text().count("start") >= 3
