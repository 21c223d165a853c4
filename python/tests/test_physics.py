"""PHYSICS.INP: the toolkit's reading and writing of it, how a problem
carries it (replace, read, write, the flow cache, a fit's parameters), a
sweep row that sets a physics key, and the program's judgement of it.

The checks the program makes are its own: the tests that need a program
that reads PHYSICS.INP skip while ``questrand --check`` still passes a
PHYSICS.INP holding ``partition_gel = 0``."""

import json
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import CASES_DIR, PYTHON_DIR

from questrand import Problem
from questrand.fit import FitError, make_parameters
from questrand.flow import flow_key, flow_problem, reuse_refusal
from questrand.physics import INLET_FILE, PHYSICS_FILE, Physics, PhysicsFileError
from questrand.program import start
from questrand.runner import unit_inlet
from questrand.sweep import Sweep, inputs_option
from questrand.sweep.execution import run_fault

BASE_CASE = CASES_DIR / "transient_flow_conc" / "PROB.INP"
RUN_CASE = PYTHON_DIR.parent / "workflow" / "scripts" / "run_case.py"


def base_problem(**changes) -> Problem:
    """The small transient reference case, three steps."""
    return Problem.read(BASE_CASE).replace(**{"nsteps": 3, **changes})


def program_check(program, directory: Path):
    done = start(program, ["-C", str(directory), "--check"], timeout=60)
    return done.returncode, done.stderr.decode("utf-8", "replace").strip()


@pytest.fixture(scope="module")
def physics_program(program, tmp_path_factory):
    """The program, when it judges PHYSICS.INP (else the test skips)."""
    work = tmp_path_factory.mktemp("physics-check")
    base_problem().write(work)
    (work / PHYSICS_FILE).write_text("partition_gel = 0\n")
    if program_check(program, work)[0] == 0:
        pytest.skip(f"{program} does not read PHYSICS.INP yet (--check passes partition_gel = 0)")
    return program


# -- the file -------------------------------------------------------------------------
def test_hand_written_file_reads_as_written_and_round_trips(tmp_path):
    """A file as a user writes it (comments, blank lines, blanks around =,
    a header line in the inlet table) gives the values written in it; the
    toolkit's text gives only what is not the default and reads back to
    the same files."""
    (tmp_path / "feed.csv").write_text("time,c_in\n0,0\n60,2.5\n\n600,0.5\n")
    (tmp_path / PHYSICS_FILE).write_text(
        "# gel with a sink behind it\n\n"
        "partition_gel=0.25   # K of the gel\n"
        "  gel_back =  sink\n"
        "rate_gel = 1.5e-3\n"
        "inlet = feed.csv\n"
        "c0_gel = 0.1\n"
        "lower_face = wall\n")
    read = Physics.read(tmp_path)
    assert (read.partition_memb, read.partition_gel, read.gel_back, read.rate_gel, read.washout_at,
            read.c0_gel, read.lower_face) == (1.0, 0.25, "sink", 1.5e-3, None, 0.1, "wall")
    assert read.inlet == tmp_path / "feed.csv"
    assert read.inlet_rows() == ((0.0, 0.0), (60.0, 2.5), (600.0, 0.5))

    out = tmp_path / "out"
    out.mkdir()
    read.write(out)
    keys = [line.split("=")[0].strip() for line in (out / PHYSICS_FILE).read_text().splitlines()
            if line and not line.startswith("#")]
    assert keys == ["partition_gel", "gel_back", "rate_gel", "inlet", "c0_gel", "lower_face"]
    assert (out / INLET_FILE).read_text() == "time,c_in\n0.0,0.0\n60.0,2.5\n600.0,0.5\n"
    again = Physics.read(out)
    assert again.files() == read.files()
    assert again.replace(inlet=again.inlet_rows()) == read.replace(inlet=read.inlet_rows())

    # rows given in Python are the same physics as the file with those rows
    assert Physics(inlet=[(0, 0), (60, 2.5), (600, 0.5)], partition_gel=0.25, gel_back="sink",
                   rate_gel=1.5e-3, c0_gel=0.1, lower_face="wall").files() == read.files()
    assert Physics().is_default and not read.is_default
    assert [line for line in Physics().text().splitlines() if not line.startswith("#")] == []
    washout = Physics(washout_at=120.0, partition_memb=3.0)
    assert Physics.parse(washout.text()) == washout


#: Files the program refuses, with the one line it writes (that of the
#: program's build that first read PHYSICS.INP).
REFUSED = [
    ("partition_gel = 2\n# note\nbuffer_ph = 7\n", 'PHYSICS.INP: line 3: unknown key "buffer_ph", expected one '
     "of partition_memb, partition_gel, gel_back, rate_gel, inlet, washout_at, c0_gel, lower_face"),
    ("rate_gel = 0.1\nrate_gel = 0.2\n", "PHYSICS.INP: line 2: rate_gel: given twice (first on line 1)"),
    ("\n\npartition_memb = 0\n", 'PHYSICS.INP: line 3: partition_memb: expected a number greater than 0, found "0"'),
    ("partition_gel = 2 3\n", 'PHYSICS.INP: line 1: partition_gel: expected a number greater than 0, found "2 3"'),
    ("partition_gel =\n", "PHYSICS.INP: line 1: partition_gel: expected a number greater than 0, found nothing"),
    ("gel_back = open\n", 'PHYSICS.INP: line 1: gel_back: expected closed or sink, found "open"'),
    ("washout_at = 10\ninlet = feed.csv\n",
     'PHYSICS.INP: line 2: inlet: expected no inlet record together with washout_at (line 1), found "feed.csv"'),
    ("c0_gel = nan\n", 'PHYSICS.INP: line 1: c0_gel: expected a number of at least 0, found "nan"'),
    ("rate_gel 0.1\n", 'PHYSICS.INP: line 1: expected key = value, found "rate_gel 0.1"'),
    ("inlet = missing.csv\n", "missing.csv: cannot open the inlet record (time, c_in): No such file or directory"),
    ("inlet = back.csv\n", "back.csv: line 4: time: expected a time after the row before's, found 30"),
    ("inlet = odd.csv\n", 'odd.csv: line 3: expected two numbers, time,c_in, found "x,y"'),
]


def _refused(directory: Path, text: str) -> Path:
    (directory / "feed.csv").write_text("0,1\n")
    (directory / "back.csv").write_text("time,c_in\n0,1\n30,2\n30,3\n")
    (directory / "odd.csv").write_text("time,c_in\n0,1\nx,y\n")
    (directory / PHYSICS_FILE).write_text(text)
    return directory


@pytest.mark.parametrize("text, message", REFUSED)
def test_refused_lines_are_named_as_the_program_names_them(text, message, tmp_path):
    with pytest.raises(PhysicsFileError) as caught:
        Physics.read(_refused(tmp_path, text))
    assert str(caught.value) == message


@pytest.mark.parametrize("text, message", REFUSED)
def test_program_refuses_them_with_that_line_and_writes_nothing(text, message, physics_program, tmp_path):
    """The program's own check: that one line last on standard error, exit
    status 2, nothing written."""
    base_problem().write(tmp_path)
    _refused(tmp_path, text)
    before = sorted(p.name for p in tmp_path.iterdir())
    status, stderr = program_check(physics_program, tmp_path)
    assert (status, stderr.splitlines()[-1]) == (2, message)
    assert sorted(p.name for p in tmp_path.iterdir()) == before


# -- the problem --------------------------------------------------------------------
def test_replace_routes_physics_keys_and_the_flow_keeps_only_the_lower_face(program, tmp_path):
    plain = base_problem()
    gel = plain.replace(partition_gel=2.5, rate_gel=1e-3)
    assert plain.physics is None and plain.partition_gel == 1.0
    assert gel.physics == Physics(partition_gel=2.5, rate_gel=1e-3)
    assert gel.text() == plain.text() and gel != plain and gel.identity() != plain.identity()
    assert gel.replace(partition_gel=4.0).physics == Physics(partition_gel=4.0, rate_gel=1e-3)
    assert gel.replace(physics=None) == plain
    with pytest.raises(TypeError, match=r"Problem\.partition_gel: expected a number greater than 0"):
        plain.replace(partition_gel=-1.0)

    # the files: read back beside PROB.INP; a run directory loses stale physics files
    gel.replace(inlet=[(0.0, 1.0), (5.0, 0.0)]).write(tmp_path)
    assert (tmp_path / INLET_FILE).is_file()
    assert Problem.read(tmp_path).physics.files() == gel.replace(inlet=[(0, 1), (5, 0)]).physics.files()
    plain.write(tmp_path)  # not a run directory: left alone
    assert (tmp_path / PHYSICS_FILE).is_file()
    plain.write(tmp_path, run_directory=True)
    assert not (tmp_path / PHYSICS_FILE).exists() and not (tmp_path / INLET_FILE).exists()
    assert Problem.read(tmp_path) == plain

    # the flow: physics that does not act on it leaves the key of a problem without physics
    assert flow_problem(gel).identity() == flow_problem(plain).text()
    assert flow_key(gel, program) == flow_key(plain, program)
    walled = gel.replace(lower_face="wall")
    assert flow_problem(walled).physics == Physics(lower_face="wall")
    assert flow_key(walled, program) != flow_key(plain, program)
    # a start the time-zero restart file does not hold: not reused, not scaled by c_in
    for changes in ({"c0_gel": 0.2}, {"inlet": [(0.0, 1.0)]}):
        varied = plain.replace(c_in=2.0, **changes)
        assert reuse_refusal(varied) is not None and unit_inlet(varied) == (varied, 1.0)
    assert reuse_refusal(gel) is None and unit_inlet(gel.replace(c_in=2.0))[0] == gel.replace(c_in=1.0)


def test_physics_reals_are_fit_parameters_with_physical_bounds():
    problem = base_problem(partition_gel=2.0, rate_gel=1e-3)
    k, rate = make_parameters(problem, ["partition_gel", "rate_gel"])
    assert (k.start, k.low, k.high) == (2.0, 1e-3, 1e4)
    assert (rate.start, rate.low, rate.high) == (1e-3, pytest.approx(1e-7), 1.0)
    assert rate.bound_text("upper").startswith("upper bound 1 1/s")
    with pytest.raises(FitError, match="rate_gel: the start value 0"):
        make_parameters(base_problem(), ["rate_gel"])


# -- a sweep row ----------------------------------------------------------------------
def test_sweep_row_with_partition_gel_makes_a_run_directory_with_physics(program, tmp_path):
    """A sweep column partition_gel: the row's run job (as the workflow
    starts it, through the shell's quoting) writes PHYSICS.INP beside
    PROB.INP; a row without physics leaves none; a changed PHYSICS.INP on
    disk makes the run not done."""
    base = base_problem().write(tmp_path / "PROB.INP")
    table = tmp_path / "SWEEP.csv"
    table.write_text("id,partition_gel,u_in\nstiff,2.5,\nplain,,0.004\n")
    sweep = Sweep.from_csv(base, table, flow="coupled", program=str(program))
    rows = {row["id"]: row for row in sweep.to_prepared("key")["runs"]}
    assert rows["stiff"]["inputs"][PHYSICS_FILE].splitlines()[-1] == "partition_gel = 2.5"
    assert "inputs" not in rows["plain"]
    runs = {run.id: run for run in Sweep.from_prepared(sweep.to_prepared("key")).runs}
    assert runs["stiff"].problem == sweep.runs[0].problem

    rundir = tmp_path / "runs" / "one"
    for row_id in ("stiff", "plain"):
        command = f"{shlex.quote(sys.executable)} {shlex.quote(str(RUN_CASE))} --program {shlex.quote(str(program))}" \
                  f" --flow coupled --problem {shlex.quote(rows[row_id]['text'])}{inputs_option(rows[row_id])}" \
                  f" {shlex.quote(str(rundir))}"
        done = subprocess.run(command, shell=True, capture_output=True, text=True,
                              env={"PYTHONPATH": str(PYTHON_DIR), "PATH": "/usr/bin:/bin"})
        assert done.returncode == 0, done.stderr
        record = json.loads((rundir / "run.json").read_text())
        if row_id == "stiff":
            physics = Physics.read(rundir)
            assert physics == Physics(partition_gel=2.5)
            assert Problem.read(rundir) == runs["stiff"].problem
            assert run_fault(runs["stiff"], rundir, record) is None
            (rundir / PHYSICS_FILE).write_text("partition_gel = 3\n")
            assert run_fault(runs["stiff"], rundir, record) == "PHYSICS.INP differs from the sweep's problem"
        else:
            assert not (rundir / PHYSICS_FILE).exists()
            assert run_fault(runs["plain"], rundir, record) is None


def test_run_with_physics_writes_its_columns_and_record(physics_program, tmp_path):
    """With PHYSICS.INP the uptake file ends with m_sink and m_reacted and
    the run record holds every physics value used; no sink and no uptake
    leave both at zero."""
    from questrand.results import read_uptake
    from questrand.runner import execute

    problem = base_problem(partition_gel=2.0)
    done = execute(problem, tmp_path, program=physics_program)
    assert done.returncode == 0, done.stderr
    uptake = read_uptake(tmp_path / "TRANS.UPT")
    assert list(uptake.columns[-2:]) == ["m_sink", "m_reacted"]
    assert (uptake["m_sink"] == 0).all() and (uptake["m_reacted"] == 0).all()
    recorded = done.record.physics
    assert recorded["partition_gel"] == 2.0 and recorded["gel_back"] == "closed"


def test_fit_recovers_the_gel_partition_coefficient_of_a_simulated_curve(physics_program, tmp_path):
    """The gel's amount m_gel simulated at K_gel = 2.5 (one program run
    with that PHYSICS.INP) and fitted from K_gel = 1 with the steady flow
    reused: the fit's model runs must carry the physics to move the curve
    at all, and a noise-free curve of the model's own grid gives back the K
    it was made with (to the search's tolerance, 1e-4 here)."""
    from questrand.fit import Data, fit
    from questrand.flow import FlowWarning
    from questrand.results import read_uptake
    from questrand.runner import execute

    truth = base_problem(nsteps=12, partition_gel=2.5)
    with pytest.warns(FlowWarning):  # the flow's start-up (1 s) is a sixth of the run
        done = execute(truth, tmp_path / "truth", program=physics_program, flow="reuse")
    assert done.returncode == 0 and done.flow == "reuse", done.stderr
    uptake = read_uptake(tmp_path / "truth" / "TRANS.UPT")
    data = Data(path=Path("simulated.csv"), observable="m_gel", time=uptake["time"].to_numpy(),
                value=uptake["m_gel"].to_numpy())
    result = fit(truth.replace(partition_gel=1.0), data, ["partition_gel"], jobs=1, program=physics_program,
                 grid_check=False, workdir=tmp_path / "fit")
    assert result.converged
    assert result.estimate[0] == pytest.approx(2.5, rel=1e-4)
    assert (result.parameters[0].low, result.parameters[0].high) == (1e-3, 1e4)
    run_dirs = sorted((tmp_path / "fit").rglob(PHYSICS_FILE))
    assert len({Physics.read(path).partition_gel for path in run_dirs}) > 2  # the K of each model run
