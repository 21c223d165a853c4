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
from questrand.runner import find_program

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
    names_a = sorted(p.name for p in a.iterdir() if p.name != "PROB.INP")
    names_b = sorted(p.name for p in b.iterdir() if p.name != "PROB.INP")
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
