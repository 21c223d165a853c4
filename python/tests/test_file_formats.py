"""Files as users make them: run names in UTF-8 that the program and the
toolkit judge alike (one rule, python/questrand/run_name_rule.txt), tables
saved by spreadsheets (byte-order mark, CR LF, blank lines) with messages
that name the line an editor shows, and errors of any kind reported by the
command line in one line.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import PYTHON_DIR
from test_fit import BASE

import questrand
from questrand import Problem, ProblemFileError
from questrand.cli import TRACEBACK_ENV, build_parser, run_command
from questrand.fit import FitError, read_data
from questrand.sweep import Sweep, SweepError

RUN_NAME_LINE = 60
SMALL = BASE.replace(nsteps=2, runname="X")


def with_run_name(directory, raw: bytes) -> Path:
    """A small problem in ``directory`` whose run name line holds ``raw``."""
    lines = SMALL.data().split(b"\n")
    lines[RUN_NAME_LINE - 1] = raw
    directory.mkdir()
    (directory / "PROB.INP").write_bytes(b"\n".join(lines))
    return directory


def toolkit(*args, env=None):
    full = dict(os.environ, PYTHONPATH=str(PYTHON_DIR), **(env or {}))
    return subprocess.run([sys.executable, "-m", "questrand", *map(str, args)], env=full,
                          capture_output=True, text=True)


NAMES = {  # the run name's bytes -> does the program take it
    b"RESULT.": True,
    "GÉLÜ.OUT".encode(): True,
    "測定.A".encode(): True,
    "😀.X".encode(): True,
    b" LEAD.OUT": True,
    b"...": True,
    b"ABCDEF\xc3\x89": True,          # stem ABCDEF + É: 8 bytes, whole
    b"G\xc9L.OUT": False,             # Latin-1
    b"ABCDEFGHIJK\xc3\x89": False,    # column 12 cuts the É
    b"ABCDEFG\xc3\x89": False,        # the 8-byte stem cuts the É
    b"A\xc2\x85B": False,             # U+0085, a control character
    b"\xed\xa0\x80.A": False,         # a UTF-16 surrogate
    b"A\x7fB": False,
    b"a/b": False,
    b"..": False,
    b"": False,
}


def test_program_and_toolkit_take_the_same_run_names(program, tmp_path):
    for k, (raw, taken) in enumerate(NAMES.items()):
        workdir = with_run_name(tmp_path / f"case{k}", raw)
        done = subprocess.run([str(program)], cwd=workdir, capture_output=True)
        assert done.returncode == (0 if taken else 2), (raw, done.stderr)
        if taken:
            problem = Problem.read(workdir)
            assert problem.runname.encode() == raw.rstrip(b" ")
            run = questrand.read_run(workdir)  # finds the listing and the uptake file by name
            assert run.residuals is not None and run.uptake is not None, raw
            assert Problem.parse(problem.text()) == problem
        else:
            assert f"PROB.INP: line {RUN_NAME_LINE}: run name".encode() in done.stderr, raw
            with pytest.raises(ProblemFileError, match=f"line {RUN_NAME_LINE}: run name: expected"):
                Problem.read(workdir)
        # the toolkit's own problems: the same verdict
        name = raw.decode("utf-8", errors="surrogateescape")
        if taken:
            assert SMALL.replace(runname=name).data().split(b"\n")[RUN_NAME_LINE - 1] == raw
        else:
            with pytest.raises(TypeError, match="Problem.runname: expected"):
                SMALL.replace(runname=name)


def test_utf8_run_name_through_the_command_line(program, tmp_path):
    run = questrand.run(SMALL.replace(runname="GÉLÜ.OUT"), tmp_path / "run", program=program)
    assert (tmp_path / "run" / "GÉLÜ.OUT").is_file() and run.uptake is not None
    done = toolkit("summary", tmp_path / "run", "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["runname"] == "GÉLÜ.OUT"

    (tmp_path / "run" / "PROB.INP").write_bytes(
        (tmp_path / "run" / "PROB.INP").read_bytes().replace("GÉLÜ".encode(), "GÉLÜ".encode("latin-1")))
    done = toolkit("summary", tmp_path / "run", "--json")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines() == [
        f"questrand summary: error: {tmp_path / 'run' / 'PROB.INP'}: line 60: run name: expected a file "
        "name of printable UTF-8 characters, none cut in two by column 12 or by the stem of the save "
        "files, without '/', not . or .., found \"G\\xC9L\\xDC.OUT\""]


# -- tables from spreadsheets ----------------------------------------------------
def test_data_file_from_a_spreadsheet(tmp_path):
    path = tmp_path / "data.csv"
    # CSV UTF-8 of a spreadsheet: byte-order mark, CR LF; a blank line after the header
    lines = ["time,C(GelMid),sigma", "", *[f"{10 * k},{0.01 * k},0.001" for k in range(1, 11)]]
    path.write_bytes(("\ufeff" + "\r\n".join(lines) + "\r\n").encode())
    data = read_data(path)
    assert (data.observable, len(data), data.time[0], data.value[-1]) == ("C(GelMid)", 10, 10.0, 0.1)
    assert data.sigma is not None

    lines[11] = "100,fast,0.001"  # line 12 of the file
    path.write_bytes(("\ufeff" + "\r\n".join(lines) + "\r\n").encode())
    with pytest.raises(FitError, match=r"data.csv: line 12: column 'C\(GelMid\)': expected a finite "
                                       r"number, found 'fast'$"):
        read_data(path)
    # form feeds and other separators some programs put in are not line ends; a
    # byte neither UTF-8 nor Windows-1252 (0x81 is unassigned there) is refused
    path.write_bytes(b"time,m_gel\n1,2\n\x0c\n3,4\x1c\n5,\x816\n")
    with pytest.raises(FitError, match=r"data.csv: line 5: expected UTF-8 text \(data file\), "
                                       r"found the byte 0x81"):
        read_data(path)
    path.write_bytes(b"time,m_gel\n1,2\n\x0c\n3,4\x1c\n5,bad\n")
    with pytest.raises(FitError, match=r"data.csv: line 5: column 'm_gel': expected a finite number"):
        read_data(path)


def test_data_file_saved_as_windows_1252(program, tmp_path):
    # a spreadsheet's "CSV" on Windows: the unit in a column the fit ignores
    # is the byte 0xB0 (degree sign) of Windows-1252, and 0x96 an en dash;
    # read as such, with one warning line; the same text as UTF-8 says nothing
    rows = ["time,C(GelMid),T (\u00b0C),note", "10,0.1,21.5,start \u2013 ok", "20,0.2,21.6,", "30,0.3,21.4,"]
    text = "\r\n".join(rows) + "\r\n"
    (tmp_path / "win.csv").write_bytes(text.encode("cp1252"))
    (tmp_path / "utf8.csv").write_bytes(text.encode("utf-8"))
    warned = []
    data = read_data(tmp_path / "win.csv", warn=warned.append)
    assert (data.time.tolist(), data.value.tolist()) == ([10.0, 20.0, 30.0], [0.1, 0.2, 0.3])
    assert warned == [f"{tmp_path / 'win.csv'}: not UTF-8 text; read as Windows-1252 (the encoding of "
                      "a spreadsheet's CSV on Windows); save it as UTF-8 to silence this"]
    assert read_data(tmp_path / "utf8.csv", warn=warned.append).value.tolist() == [0.1, 0.2, 0.3]
    assert len(warned) == 1
    # the command: one warning line on standard error, the fit made
    done = toolkit("fit", BASE.write(tmp_path / "PROB.INP"), tmp_path / "win.csv", "--param", "diff_gel",
                   "--no-grid-check", env={"QUESTRAND_PROGRAM": str(program)})
    assert done.returncode == 0, done.stderr
    assert [line for line in done.stderr.splitlines() if "warning" in line] == [
        f"questrand fit: warning: {warned[0]}"]


def test_time_outside_the_run_names_its_line(program, tmp_path):
    # SMALL runs 2 steps of 10 s; the point at 50 s stands on line 5 (a blank line 2)
    (tmp_path / "data.csv").write_text("time,C(GelMid)\n\n10,0.1\n20,0.2\n50,0.3\n")
    done = toolkit("fit", SMALL.write(tmp_path / "PROB.INP"), tmp_path / "data.csv", "--param",
                   "diff_gel", env={"QUESTRAND_PROGRAM": str(program)})
    assert (done.returncode, done.stderr.splitlines()[-1]) == (1, (
        f"questrand fit: error: {tmp_path / 'data.csv'}: line 5: time 50 lies outside the run, after "
        "its last step at 20 (dt = 10, nsteps = 2)"))


def test_sweep_table_lines_as_an_editor_shows_them(tmp_path):
    SMALL.write(tmp_path / "PROB.INP")
    table = tmp_path / "s.csv"
    table.write_bytes("\ufeffid,u_in\r\n# comment\r\n\r\na,0.002\rb,fast\r\n".encode())
    with pytest.raises(SweepError, match=r"s.csv: row 2 \(line 5\), column u_in: expected a real number"):
        Sweep.from_csv(tmp_path / "PROB.INP", table)


# -- the command line --------------------------------------------------------------
def test_a_command_loads_only_its_own_modules():
    # meshio made unimportable: the fit's help still works, vtk names the package
    code = ("import sys; sys.modules['meshio'] = None\n"
            "from questrand import cli\n"
            "sys.exit(cli.main(sys.argv[1:]))")
    fit = subprocess.run([sys.executable, "-c", code, "fit", "--help"], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)})
    assert fit.returncode == 0 and "--accuracy" in fit.stdout
    vtk = subprocess.run([sys.executable, "-c", code, "vtk", "somewhere"], capture_output=True, text=True,
                         env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)})
    assert vtk.returncode == 1 and vtk.stderr.strip().splitlines() == [
        "questrand vtk: error: needs the Python module meshio: install Debian's python3-meshio "
        "(and run /usr/bin/python3)"]
    listing = subprocess.run([sys.executable, "-c", code, "--help"], capture_output=True, text=True,
                             env={**os.environ, "PYTHONPATH": str(PYTHON_DIR)})
    assert listing.returncode == 0 and "converge" in listing.stdout and "vtk" in listing.stdout


def test_every_error_is_one_line(tmp_path, capsys, monkeypatch):
    parser, _ = build_parser("summary")
    args = parser.parse_args(["summary", str(tmp_path)])

    def fault(args):
        raise KeyError("x")

    args.func = fault
    monkeypatch.delenv(TRACEBACK_ENV, raising=False)
    assert run_command(args) == 1
    assert capsys.readouterr().err.splitlines() == [
        f"questrand summary: internal error: KeyError: 'x' (set {TRACEBACK_ENV}=1 to see where; "
        "please report it)"]
    monkeypatch.setenv(TRACEBACK_ENV, "1")
    assert run_command(args) == 1
    err = capsys.readouterr().err
    assert err.startswith("Traceback") and "raise KeyError" in err

    # an OSError: the file and the reason
    monkeypatch.delenv(TRACEBACK_ENV)
    done = toolkit("plot", tmp_path / "nowhere")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        f"questrand plot: error: {tmp_path / 'nowhere' / 'PROB.INP'}: cannot read the problem "
        "input: No such file or directory"]
