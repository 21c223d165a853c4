"""PROB.INP: reading by the program's rules, writing, field checks."""

import re

import pytest
from conftest import case_dirs, case_id

from questrand import Problem, ProblemFileError


@pytest.fixture
def reference():
    return Problem.read(case_dirs()[0] / "PROB.INP")


@pytest.mark.parametrize("case", case_dirs(), ids=case_id)
def test_written_file_reads_back_equal(case, tmp_path):
    problem = Problem.read(case / "PROB.INP")
    written = problem.write(tmp_path)
    assert written == tmp_path / "PROB.INP"
    assert len(written.read_text().splitlines()) == 64
    assert Problem.read(written) == problem


def test_values_of_a_reference_file():
    p = Problem.read(next(c for c in case_dirs() if c.name == "transient_flow_conc") / "PROB.INP")
    assert (p.chlength, p.halfgap, p.th_memb, p.th_gel) == (0.02, 0.001, 1.0e-4, 5.0e-4)
    assert (p.ni, p.n_flow, p.n_memb, p.n_gel, p.nj) == (22, 10, 4, 8, 24)
    assert p.parabolic is True and p.steady is False and p.nsteps == 6 and p.dt == 0.5
    assert (p.imon, p.jmon, p.prt_step, p.runname) == (11, 6, 3, "TRANS.OUT")


def _with_line(problem, number, text):
    lines = problem.text().splitlines()
    lines[number - 1] = text
    return "\n".join(lines) + "\n"


def test_list_split_over_lines_shifts_the_rest(reference):
    lines = reference.text().splitlines()
    lines[5:6] = ["0.03 0.002", "2e-4 6E-4 trailing words are ignored"]
    p = Problem.parse("\n".join(lines) + "\n")
    assert (p.chlength, p.halfgap, p.th_memb, p.th_gel) == (0.03, 0.002, 2e-4, 6e-4)
    assert p.replace(chlength=0.02, halfgap=0.001, th_memb=1e-4, th_gel=5e-4) == reference


@pytest.mark.parametrize("text, expected", [
    ("1.0D-9, 2*3.5E-10", (1e-9, 3.5e-10, 3.5e-10)),
    ("1.0-9;5.0q-10\t8e-10", (1e-9, 5e-10, 8e-10)),
    ("3*7", (7.0, 7.0, 7.0)),
    (",, 4.0", (0.0, 0.0, 4.0)),          # null values keep the starting value 0
    ("2.0 / 9 9", (2.0, 0.0, 0.0)),        # a slash ends the list
    ("2* 5.0", (0.0, 0.0, 5.0)),           # r* alone: r null values
])
def test_list_read_forms(reference, text, expected):
    p = Problem.parse(_with_line(reference, 21, text))
    assert (p.diff_flow, p.diff_memb, p.diff_gel) == expected


@pytest.mark.parametrize("text, value", [("T", True), (".TRUE.", True), ("f", False),
                                         (".false.", False), ("Tomorrow", True)])
def test_logical_forms(reference, text, value):
    assert Problem.parse(_with_line(reference, 10, text)).parabolic is value


def test_run_name_is_the_first_12_characters(reference):
    p = Problem.parse(_with_line(reference, 60, "  RUN.ONE   and a comment"))
    assert p.runname == "  RUN.ONE"


def test_crlf_line_ends(reference):
    assert Problem.parse(reference.text().replace("\n", "\r\n")) == reference


def test_real_rounds_like_single_precision():
    # 1 + 2**-24 is exactly half-way between two singles; the digits after it
    # decide, which a conversion through double would lose.
    text = "1.00000005960464477539062500000000001"
    from questrand.problem import _parse
    assert _parse(float, text) == 1.0 + 2.0 ** -23


@pytest.mark.parametrize("line, text, message", [
    (8, "fast", 'line 8: inlet velocity (u_in): expected a real number, found "fast"'),
    (24, "22.5", 'line 24: number of grid columns (ni): expected an integer, found "22.5"'),
    (10, "yes", 'line 10: parabolic-profile switch (parabolic): expected a logical value T or F'),
    (26, "10 0*4 8", 'cell rows across the membrane (n_memb): expected an integer, found "0*4"'),
    (33, "1e39", "time-step size (dt): expected a real number"),
])
def test_malformed_values_name_line_and_field(reference, line, text, message):
    with pytest.raises(ProblemFileError, match=re.escape(message)):
        Problem.parse(_with_line(reference, line, text), name="case/PROB.INP")


def test_truncated_file(reference):
    text = "\n".join(reference.text().splitlines()[:40]) + "\n"
    with pytest.raises(ProblemFileError, match="line 40: maximum outer iterations per time step: "
                                               "end of file reached, expected an integer"):
        Problem.parse(text)


def test_missing_file(tmp_path):
    with pytest.raises(ProblemFileError, match="PROB.INP: cannot read the problem input"):
        Problem.read(tmp_path)


def test_unknown_field_and_wrong_types(reference):
    with pytest.raises(TypeError, match="unknown field 'diff_membrane'"):
        reference.replace(diff_membrane=1e-9)
    with pytest.raises(TypeError, match="Problem.ni: expected an integer, got 22.0"):
        reference.replace(ni=22.0)
    with pytest.raises(TypeError, match="Problem.steady: expected a bool"):
        Problem(steady=1)
    with pytest.raises(TypeError, match="Problem.dt: expected a real number, got '0.5'"):
        reference.replace(dt="0.5")
    with pytest.raises(TypeError, match="Problem.runname: expected at most 12 bytes of UTF-8 text"):
        reference.replace(runname="A_VERY_LONG_NAME")
    with pytest.raises(TypeError, match="Problem.u_in: expected a finite single-precision real"):
        reference.replace(u_in=1e40)
    with pytest.raises(TypeError, match="unknown field"):
        reference.not_a_field = 1


def test_replace_returns_a_converted_copy(reference):
    changed = reference.replace(diff_gel=2, ni=30)
    assert changed.diff_gel == 2.0 and isinstance(changed.diff_gel, float)
    assert changed.ni == 30 and reference.ni != 30
    assert changed.replace(diff_gel=reference.diff_gel, ni=reference.ni) == reference
