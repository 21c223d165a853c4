"""Parameter sweeps (``questrand sweep``, workflow/Snakefile): four runs on a
small case, no rerun of finished runs, a changed row reruns alone, a failing
run is recorded while the others finish, runs lost or changed on disk run
again, checks before anything runs, the workflow used directly, and the same
sweep through a single-node Slurm cluster on this machine.  (Interrupted
sweeps: test_interrupts.py.)"""

import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pandas as pd
import pytest
from conftest import CASES_DIR, PYTHON_DIR

import questrand
from questrand import Problem
from questrand.errors import OutputFileError
from questrand.sweep import Sweep, SweepError, parse_value, write_summary
from questrand.sweep import read_summary as read_summary_frame

REPO = PYTHON_DIR.parent
BASE_CASE = CASES_DIR / "transient_flow_conc" / "PROB.INP"
NAMES = ["u_in", "diff_gel"]
ROWS = [("slow", "0.002", "8e-10"), ("mid", "0.005", "8e-10"),
        ("mid_slowgel", "0.005", "4e-10"), ("fast", "0.01", "8e-10")]

needs_snakemake = pytest.mark.skipif(shutil.which("snakemake") is None,
                                     reason="snakemake not installed (Debian package snakemake)")


def write_base(directory, **changes) -> Path:
    """The small base case: the reference transient case, three steps."""
    path = Path(directory) / "PROB.INP"
    Problem.read(BASE_CASE).replace(**{"nsteps": 3, **changes}).write(path)
    return path


def write_table(path, rows, names=NAMES) -> Path:
    lines = [",".join(["id", *names])] + [",".join(row) for row in rows]
    Path(path).write_text("\n".join(lines) + "\n")
    return Path(path)


def sweep(program, *args, env=None, **kwargs):
    """Run `python3 -m questrand sweep ARGS`; returns the CompletedProcess."""
    full_env = dict(env or os.environ)
    full_env["PYTHONPATH"] = str(PYTHON_DIR)
    full_env["QUESTRAND_PROGRAM"] = str(program)
    return subprocess.run([sys.executable, "-m", "questrand", "sweep", *map(str, args)],
                          env=full_env, capture_output=True, text=True, **kwargs)


def read_summary(outdir) -> list:
    with open(Path(outdir) / "summary.csv", newline="") as f:
        return list(csv.DictReader(f))


def stamps(outdir) -> dict:
    """The modification time of each run's record and listing, by run id."""
    return {d.name: ((d / "run.json").stat().st_mtime_ns, (d / "console.txt").stat().st_mtime_ns)
            for d in sorted((Path(outdir) / "runs").iterdir())}


def check_summary(outdir, ids, names=NAMES):
    """summary.csv has one row per run, in order, whose values equal what
    read_run finds in each run directory."""
    rows = read_summary(outdir)
    header = list(rows[0].keys())
    assert header == ["id", *names, "status", "exit_status", "error", "flow", "scheme", "steps", "outer_iterations",
                      "warning_steps", "final_time", "m_memb", "m_gel", "c_gel_mean", "wall_time"]
    assert [row["id"] for row in rows] == list(ids)
    for row in rows:
        if row["status"] != "ok":
            continue
        run = questrand.read_run(Path(outdir) / "runs" / row["id"])
        for name in names:
            assert parse_value(name, row[name]) == getattr(run.problem, name), (row["id"], name)
        assert row["exit_status"] == "0" and row["error"] == ""
        assert float(row["final_time"]) == float(run.monitor["time"].iloc[-1])
        assert int(row["outer_iterations"]) == len(run.residuals)
        assert int(row["steps"]) == len(set(run.residuals["step"])) == run.problem.nsteps
        assert int(row["warning_steps"]) == 0
        if run.uptake is not None:
            for name in ("m_memb", "m_gel", "c_gel_mean"):
                assert float(row[name]) == float(run.uptake[name].iloc[-1]), (row["id"], name)
        else:
            assert row["m_memb"] == row["m_gel"] == row["c_gel_mean"] == ""
        assert float(row["wall_time"]) > 0
    return rows


def check_frame(outdir, rows):
    """read_summary's DataFrame holds the rows of summary.csv: the numbers
    as numbers (float64, or Int64 for counts; missing where the cell is
    empty), the texts as written."""
    frame = read_summary_frame(outdir)
    assert list(frame.columns) == list(rows[0].keys()) and len(frame) == len(rows)
    ints = {"exit_status", "steps", "outer_iterations", "warning_steps"}
    texts = {"id", "status", "error", "flow", "scheme"}
    for column in frame.columns:
        expected = "object" if column in texts else "Int64" if column in ints else "float64"
        assert str(frame[column].dtype) == expected, column
        for value, row in zip(frame[column], rows):
            text = row[column]
            if column in texts:
                assert value == text
            elif text == "":
                assert pd.isna(value), column
            else:
                assert value == (int(text) if column in ints else float(text)), column


def check_run_dirs(outdir, ids):
    for run_id in ids:
        d = Path(outdir) / "runs" / run_id
        assert {"PROB.INP", "run.json", "console.txt", "monitor.dat", "TRANS.OUT", "TRANS.CON"} \
            <= {p.name for p in d.iterdir()}, run_id
    assert sorted(p.name for p in (Path(outdir) / "runs").iterdir()) == sorted(ids)
    assert (Path(outdir) / "uptake.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# -- checks before anything runs -------------------------------------------------
@pytest.mark.parametrize("table, message", [
    ("id,u_inn\na,0.1\n", r"line 1 \(header\), column 2: 'u_inn' is not a problem value"),
    ("id,diff_gel\na,1e-9\nb,fast\n", r"row 2 \(line 3\), column diff_gel: expected a real number, found 'fast'"),
    ("ni\n22\n22.5\n", r"row 2 \(line 3\), column ni: expected an integer, found '22.5'"),
    # every run's problem is judged by the program: its line follows the row and column
    ("ni\n400\n", r"row 1 \(line 2\), column ni: PROB\.INP: line 24: number of grid columns: "
                  r"expected an integer in 3\.\.350, found 400$"),
    ("id,th_gel\na,1e-4\nb,-1e-4\n", r"row 2 \(line 3\), column th_gel: PROB\.INP: line 6: gel thickness: "
                                    r"expected a value greater than 0"),
    ("n_flow,n_memb,n_gel\n300,30,30\n", r"row 1 \(line 2\), column n_flow: PROB\.INP: line 26: number of grid "
                                       r"rows \(cell rows of channel, membrane and gel plus 2\): expected at most 350"),
    ("runname,restart_out\nABCDEFGHIJKL,T\n", r"row 1 \(line 2\), column runname: PROB\.INP: line 60: run name: "
                                              r"expected a name with a point or shorter than 12 characters"),
    ("runname\nmonitor.dat\n", r"row 1 \(line 2\), column runname: PROB\.INP: line 60: run name: expected a name "
                               r"different from the run's other files"),
    ("runname\n../../X.OUT\n", r"row 1 \(line 2\), column runname: .*without '/'"),
    ("id,solve_u,viscosity\na,F,0\nb,T,0\n", r"row 2 \(line 3\), column viscosity: PROB\.INP: line 19: fluid "
                                            r"viscosity \(flow solved\): expected a value greater than 0"),
    ("id,ni\nx,22\nx,24\n", r"row 2 \(line 3\), column id: the id 'x' is already used by row 1"),
    ("id,ni\n../x,22\n", r"row 1 \(line 2\), column id: expected a run id"),
    ("id,ni\na,22,3\n", r"row 1 \(line 2\): expected 2 values as in the header, found 3"),
    ("id,steady\na,maybe\n", r"column steady: expected a logical value T or F"),
])
def test_bad_table_is_refused_before_anything_runs(table, message, tmp_path):
    base = write_base(tmp_path)
    (tmp_path / "s.csv").write_text(table)
    with pytest.raises(SweepError, match=message):
        Sweep.from_csv(base, tmp_path / "s.csv")


def test_bad_table_from_the_command_line(program, tmp_path):
    base = write_base(tmp_path)
    (tmp_path / "s.csv").write_text("id,diff_gel\na,1e-9\nb,fast\n")
    done = sweep(program, base, tmp_path / "s.csv", "-o", tmp_path / "out")
    assert done.returncode == 1
    assert done.stderr.strip().splitlines() == [
        f"questrand sweep: error: {tmp_path / 's.csv'}: row 2 (line 3), column diff_gel: "
        "expected a real number, found 'fast'"]
    assert not (tmp_path / "out").exists()


def test_grid_is_the_product_of_value_lists(tmp_path):
    base = write_base(tmp_path)
    s = Sweep.from_grid(base, ["u_in=0.002,0.005", "th_gel=2e-4,5e-4,1e-3"])
    assert len(s.runs) == 6
    assert s.runs[0].id == "u_in=0.002__th_gel=2e-4"
    assert s.runs[-1].values == {"u_in": 0.005, "th_gel": 1e-3}
    assert Problem.parse(s.runs[-1].text).th_gel == 1e-3
    with pytest.raises(SweepError, match=r"--grid 'n_gel=4,four': expected an integer, found 'four'"):
        Sweep.from_grid(base, ["n_gel=4,four"])
    with pytest.raises(SweepError, match=r"'gel' is not a problem value"):
        Sweep.from_grid(base, ["gel=1"])
    with pytest.raises(SweepError, match=r"column jmon: PROB\.INP: line 56: monitoring row: expected an integer "
                                         r"in 1\.\.18"):
        Sweep.from_grid(base, ["n_gel=2,8", "jmon=20"])


def test_configuration_round_trip(tmp_path):
    base = write_base(tmp_path)
    s = Sweep.from_csv(base, write_table(tmp_path / "s.csv", ROWS), program="/bin/true", timeout=5.0)
    again = Sweep.from_config(s.to_config())
    assert [(r.id, r.values, r.text) for r in again.runs] == [(r.id, r.values, r.text) for r in s.runs]
    assert (again.program, again.timeout, again.names) == ("/bin/true", 5.0, NAMES)
    with pytest.raises(SweepError, match="exactly one of the keys"):
        Sweep.from_config({"problem": str(base)})


def test_summary_as_a_dataframe_types_the_swept_values(tmp_path):
    """Swept integers as Int64, logicals as boolean, texts as written; a
    cell that is not of its column's type is refused naming the column."""
    columns = "id,ni,steady,runname,status,exit_status,error,flow,scheme,steps,outer_iterations," \
              "warning_steps,final_time,m_memb,m_gel,c_gel_mean,wall_time"
    (tmp_path / "summary.csv").write_text(
        f"{columns}\n"
        "1e3,22,T,NA,ok,0,,reuse,standard,3,6,0,1.5,1e-08,2e-10,3e-05,0.018\n"
        "b,,F,x.y,missing,,,,,,,,,,,,\n")
    frame = read_summary_frame(tmp_path)
    assert frame["id"].tolist() == ["1e3", "b"] and frame["runname"].tolist() == ["NA", "x.y"]
    assert str(frame["ni"].dtype) == "Int64" and frame["ni"][0] == 22 and pd.isna(frame["ni"][1])
    assert str(frame["steady"].dtype) == "boolean" and frame["steady"].tolist() == [True, False]
    assert frame["m_gel"][0] == 2e-10 and pd.isna(frame["wall_time"][1])
    (tmp_path / "bad.csv").write_text(f"{columns}\n" + "a,22.5,T,x,ok" + ",0" * 12 + "\n")
    with pytest.raises(OutputFileError, match=r"bad\.csv: row 1, column ni: expected an integer, found '22\.5'$"):
        read_summary_frame(tmp_path / "bad.csv")
    (tmp_path / "other.csv").write_text("id,u_in\na,0.1\n")
    with pytest.raises(OutputFileError, match=r"other\.csv: expected the summary of a sweep.*missing status"):
        read_summary_frame(tmp_path / "other.csv")


# -- sweeps on this machine ------------------------------------------------------
@pytest.fixture(scope="module")
def four_runs(program, tmp_path_factory):
    """The four-run sweep, run once on two local cores."""
    work = tmp_path_factory.mktemp("sweep")
    base = write_base(work)
    table = write_table(work / "SWEEP.csv", ROWS)
    done = sweep(program, base, table, "-o", work / "out", "--cores", "2")  # the old spelling of --jobs
    assert done.returncode == 0, done.stderr[-3000:]
    return work, base, table, done


@needs_snakemake
def test_four_runs_and_their_summary(four_runs):
    work, _, _, done = four_runs
    ids = [row[0] for row in ROWS]
    check_run_dirs(work / "out", ids)
    rows = check_summary(work / "out", ids)
    assert [(r["u_in"], r["diff_gel"]) for r in rows] == [(row[1], row[2]) for row in ROWS]
    assert all(r["status"] == "ok" for r in rows)
    assert "4 of 4 runs ok" in done.stderr


@needs_snakemake
def test_second_invocation_runs_nothing_and_a_changed_row_reruns_alone(four_runs, program):
    work, base, table, _ = four_runs
    before = stamps(work / "out")
    summary_before = (work / "out" / "summary.csv").stat().st_mtime_ns
    done = sweep(program, base, table, "-o", work / "out", "--jobs", "2")
    assert done.returncode == 0, done.stderr[-3000:]
    assert "Nothing to be done" in done.stderr
    assert stamps(work / "out") == before
    assert (work / "out" / "summary.csv").stat().st_mtime_ns == summary_before

    changed = [row if row[0] != "mid_slowgel" else ("mid_slowgel", "0.005", "2e-10") for row in ROWS]
    write_table(table, changed)
    done = sweep(program, base, table, "-o", work / "out", "--jobs", "2")
    assert done.returncode == 0, done.stderr[-3000:]
    after = stamps(work / "out")
    assert [i for i in after if after[i] != before[i]] == ["mid_slowgel"]
    rows = check_summary(work / "out", [row[0] for row in ROWS])
    assert rows[2]["diff_gel"] == "2e-10"
    assert questrand.read_run(work / "out" / "runs" / "mid_slowgel").problem.diff_gel == 2e-10
    write_table(table, ROWS)


@needs_snakemake
def test_failing_run_is_recorded_while_the_others_finish(program, tmp_path):
    base = write_base(tmp_path)
    rows = [("a", "0.002", "0.5"), ("b", "0.005", "5.0"), ("c", "0.005", "0.5"), ("d", "0.01", "0.5")]
    table = write_table(tmp_path / "s.csv", rows, names=["u_in", "relax_u"])
    done = sweep(program, base, table, "-o", tmp_path / "out", "--jobs", "2")
    assert done.returncode == 1
    summary = check_summary(tmp_path / "out", ["a", "b", "c", "d"], names=["u_in", "relax_u"])
    assert [r["status"] for r in summary] == ["ok", "failed", "ok", "ok"]
    failed = summary[1]
    assert failed["exit_status"] == "3"  # the program's status of a diverged run
    assert "DIVERGED" in failed["error"] and "\n" not in failed["error"]
    assert failed["final_time"] == failed["m_gel"] == ""
    assert "run b failed (exit status 3)" in done.stderr
    check_frame(tmp_path / "out", summary)
    for run_id in ("a", "c", "d"):
        assert (tmp_path / "out" / "runs" / run_id / "TRANS.CON").is_file()

    # the next invocation tries the failed run again, and only that one
    before = stamps(tmp_path / "out")
    sweep(program, base, table, "-o", tmp_path / "out", "--jobs", "2")
    after = stamps(tmp_path / "out")
    assert [i for i in after if after[i] != before[i]] == ["b"]


@needs_snakemake
def test_runs_lost_or_changed_on_disk_are_run_again(program, tmp_path):
    """The summary describes what is on disk: a deleted run directory, a
    file of a run cut short, a file removed, are each run again (alone)."""
    base = write_base(tmp_path)
    rows = [("a", "0.002", "8e-10"), ("b", "0.005", "8e-10"), ("c", "0.01", "8e-10"),
            ("d", "0.01", "4e-10")]
    table = write_table(tmp_path / "s.csv", rows)
    out = tmp_path / "out"
    assert sweep(program, base, table, "-o", out, "--jobs", "2").returncode == 0
    before = stamps(out)
    shutil.rmtree(out / "runs" / "b")
    (out / "runs" / "c" / "TRANS.CON").write_text("")
    (out / "runs" / "d" / "monitor.dat").unlink()
    done = sweep(program, base, table, "-o", out, "--jobs", "2")
    assert done.returncode == 0, done.stderr[-3000:]
    assert "questrand sweep: run c is not whole on disk (TRANS.CON has 0 bytes, the run left" in done.stderr
    assert "questrand sweep: run d is not whole on disk (monitor.dat is missing)" in done.stderr
    assert done.stderr.count("rule run_case:") == 3 and "4 of 4 runs ok" in done.stderr
    after = stamps(out)
    assert [i for i in after if after[i] != before.get(i)] == ["b", "c", "d"]
    check_run_dirs(out, ["a", "b", "c", "d"])
    assert [r["status"] for r in check_summary(out, ["a", "b", "c", "d"])] == ["ok"] * 4

    # the summary of a directory that lost a file, made by the workflow alone
    (out / "runs" / "a" / "TRANS.OUT").unlink()
    rows = write_summary(Sweep.from_csv(base, table), out, tmp_path / "again.csv", tmp_path / "again.png")
    assert (rows[0]["status"], rows[0]["error"]) == ("incomplete", "TRANS.OUT is missing")


@needs_snakemake
def test_dry_run_runs_nothing(program, tmp_path):
    base = write_base(tmp_path)
    done = sweep(program, base, "--grid", "u_in=0.002,0.005", "-o", tmp_path / "out", "--dry-run")
    assert done.returncode == 0, done.stderr[-3000:]
    assert "run_case" in done.stdout + done.stderr
    assert not (tmp_path / "out" / "runs").exists()


@needs_snakemake
def test_the_sweep_is_checked_once_and_prepared_again_when_its_definition_changes(program, tmp_path):
    """The program, behind a wrapper that counts its starts, checks each
    run's problem once in `questrand sweep`; the Snakefile's parse (in the
    command's snakemake, as in every Slurm job) starts no program; a changed
    base problem makes the prepared rows stale: snakemake started by hand
    prepares them again, once."""
    calls = tmp_path / "calls.log"
    wrapper = tmp_path / "counting-questrand"
    wrapper.write_text(f'#!/bin/sh\necho "$*" >> {calls}\nexec {program} "$@"\n')
    wrapper.chmod(0o755)
    base = write_base(tmp_path)
    table = write_table(tmp_path / "s.csv", ROWS)
    out = tmp_path / "out"

    def starts():
        text = calls.read_text() if calls.exists() else ""
        calls.unlink(missing_ok=True)
        return sum("--check" in line for line in text.splitlines()), len(text.splitlines())

    def parse():
        done = subprocess.run([sys.executable, "-m", "snakemake", "-s", str(REPO / "workflow" / "Snakefile"),
                               "-d", str(out), "--configfile", str(out / "sweep.json"), "--cores", "1",
                               "--dry-run"], capture_output=True, text=True, cwd=tmp_path,
                              env={**os.environ, "PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(wrapper)})
        assert done.returncode == 0, done.stderr[-3000:]

    done = sweep(wrapper, base, table, "-o", out, "--dry-run")
    assert done.returncode == 0, done.stderr[-3000:]
    assert starts() == (4, 4)          # one check per run, nothing run
    assert sweep(wrapper, base, table, "-o", out, "--dry-run").returncode == 0
    assert starts() == (0, 0)          # the same sweep: already checked, and no parse checks
    # the base problem changed: the prepared rows are stale, the parse prepares them once
    write_base(tmp_path, dt=0.25)
    parse()
    assert starts() == (4, 4)
    prepared = json.loads((out / "sweep.prepared.json").read_text())
    assert [Problem.parse(row["text"]).dt for row in prepared["runs"]] == [0.25] * 4


@needs_snakemake
def test_workflow_runs_directly_with_a_configuration_file(program, tmp_path):
    """snakemake with the repository's Snakefile and a hand-written config."""
    base = write_base(tmp_path)
    (tmp_path / "sweep.yaml").write_text(
        f"problem: {base}\nprogram: {program}\ngrid:\n  th_gel: [2.0e-4, 5.0e-4]\n")
    done = subprocess.run(["snakemake", "-s", str(REPO / "workflow" / "Snakefile"), "-d",
                           str(tmp_path / "out"), "--configfile", str(tmp_path / "sweep.yaml"),
                           "--jobs", "2"], capture_output=True, text=True, cwd=tmp_path,
                          env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)})
    assert done.returncode == 0, done.stderr[-3000:]
    check_summary(tmp_path / "out", ["th_gel=0.0002", "th_gel=0.0005"], names=["th_gel"])


# -- the same sweep on a Slurm cluster -----------------------------------------------
@pytest.fixture(scope="module")
def slurm():
    """A single-node Slurm cluster on this machine (skipped, with the reason,
    where its daemons cannot start).  Its scratch folder is outside pytest's
    private temporary folder: munged runs as the munge user."""
    import slurm_cluster

    if shutil.which("snakemake") is None:
        pytest.skip("Slurm test skipped: snakemake not installed")
    scratch = Path(tempfile.mkdtemp(prefix="questrand-slurm-"))
    try:
        cluster = slurm_cluster.start(scratch, partition=_profile_partition())
    except slurm_cluster.ClusterUnavailable as exc:
        shutil.rmtree(scratch, ignore_errors=True)
        pytest.skip(f"Slurm test skipped: {exc}")
    yield cluster
    cluster.stop()
    shutil.rmtree(scratch, ignore_errors=True)


def _profile_partition() -> str:
    """The partition the repository's Slurm profile sends runs to."""
    text = (REPO / "workflow" / "profiles" / "slurm" / "config.yaml").read_text()
    for line in text.splitlines():
        line = line.split("#")[0].strip()
        if line.startswith("- slurm_partition="):
            return line.split("=", 1)[1].strip().strip("\"'")
    return "main"


def test_four_runs_through_slurm(slurm, program, tmp_path):
    base = write_base(tmp_path)
    table = write_table(tmp_path / "SWEEP.csv", ROWS)
    done = sweep(program, base, table, "-o", tmp_path / "out", "--workflow-profile", "slurm",
                 env=slurm.env, timeout=600)
    assert done.returncode == 0, done.stderr[-3000:] + "\n" + slurm.logs()
    assert "submitted with SLURM jobid" in done.stderr
    ids = [row[0] for row in ROWS]
    check_run_dirs(tmp_path / "out", ids)
    check_summary(tmp_path / "out", ids)
    # the same values as the sweep on this machine's cores
    local = sweep(program, base, table, "-o", tmp_path / "local", "--jobs", "2")
    assert local.returncode == 0, local.stderr[-3000:]
    keep = [c for c in read_summary(tmp_path / "local")[0] if c != "wall_time"]
    assert [[r[c] for c in keep] for r in read_summary(tmp_path / "out")] == \
        [[r[c] for c in keep] for r in read_summary(tmp_path / "local")]


# -- the example ---------------------------------------------------------------------
@needs_snakemake
def test_example_sweep_gives_what_its_readme_states(program, tmp_path):
    """examples/sweep: the README's summary table is what the sweep gives
    (to the digits stated), and its plot is drawn."""
    example = REPO / "examples" / "sweep"
    done = sweep(program, example / "PROB.INP", example / "SWEEP.csv", "-o", tmp_path / "out",
                 "--jobs", "2")
    assert done.returncode == 0, done.stderr[-3000:]
    text = (example / "README.md").read_text()
    lines = text[text.index("<!-- summary -->"):].splitlines()[1:]
    header = [cell.strip() for cell in lines[0].strip("|").split("|")]
    columns = {"id": "id", "u_in (m/s)": "u_in", "steps": "steps", "outer iterations": "outer_iterations",
               "warning steps": "warning_steps", "m_memb": "m_memb", "m_gel": "m_gel",
               "c_gel_mean": "c_gel_mean"}
    assert header == list(columns)
    stated = []
    for line in lines[2:]:
        if not line.startswith("|"):
            break
        stated.append(dict(zip(header, (cell.strip() for cell in line.strip("|").split("|")))))
    rows = read_summary(tmp_path / "out")
    assert [row["id"] for row in rows] == [s["id"] for s in stated]
    for row, want in zip(rows, stated):
        assert row["status"] == "ok" and float(row["final_time"]) == 300.0
        for title, column in columns.items():
            if column == "id":
                continue
            if column in ("steps", "outer_iterations", "warning_steps"):
                assert row[column] == want[title], (row["id"], column, row[column])
                continue
            mantissa = want[title].lower().split("e")[0].replace(".", "").lstrip("0")
            tolerance = 0.5 * 10.0 ** -(len(mantissa) - 1) * abs(float(want[title])) * 1.0001
            assert abs(float(row[column]) - float(want[title])) <= tolerance, (row["id"], column, row[column])
    assert (tmp_path / "out" / "uptake.png").stat().st_size > 10000
