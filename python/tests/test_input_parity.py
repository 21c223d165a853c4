"""The program and the toolkit judge a problem input alike.

The toolkit's Problem takes its layout and checks from the program's own
description of its input (``questrand --describe-input``, kept as
questrand/input.json).  Here hostile inputs, generated from that description
and written by hand, go through ``questrand --check`` and through
``Problem.parse(..., check=True)`` / ``Problem.faults()``: both must accept or
refuse each one, and name the same line; for refused values (not unreadable
text) the messages must be the same line of text.
"""

import dataclasses
import re
import subprocess
from pathlib import Path

import pytest
from conftest import case_dirs

from questrand import Problem, ProblemFileError
from questrand.problem import INPUT

REFERENCE = next(c for c in case_dirs() if c.name == "transient_conc_only") / "PROB.INP"
_LINE = re.compile(r"^PROB\.INP: line (\d+): ")


def program_verdict(program, tmp_path, data: bytes):
    """(exit status, the last line on standard error) of questrand --check."""
    work = tmp_path / "check"
    work.mkdir(exist_ok=True)
    (work / "PROB.INP").write_bytes(data)
    done = subprocess.run([str(program), "-C", str(work), "--check"], capture_output=True, timeout=60)
    assert done.stdout == b"", "--check writes nothing on standard output"
    assert sorted(p.name for p in work.iterdir()) == ["PROB.INP"], "--check writes no file"
    lines = done.stderr.decode("utf-8", "surrogateescape").splitlines()
    return done.returncode, (lines[-1] if lines else "")


def toolkit_verdict(data: bytes):
    """None when Problem.parse(check=True) accepts the text, else its message."""
    try:
        Problem.parse(data, check=True)
    except ProblemFileError as exc:
        return str(exc)
    return None


def line_of(message):
    match = _LINE.match(message or "")
    return int(match.group(1)) if match else None


# -- cases generated from the description: every limit just broken ------------
def _base():
    return Problem.read(REFERENCE)


def _limit_cases():
    """(id, Problem with one value just outside its limit) for every limit,
    the switch it depends on set so that the limit applies; and the same
    value with the switch the other way, where the limit does not apply."""
    base = _base().replace(solve_u=True, solve_c=True, steady=False)
    cases = []
    for value in INPUT["values"]:
        limit, name = value["limit"], value["name"]
        kind = limit["kind"]
        if kind in ("positive", "not_negative"):
            bad = [0.0, -1.0] if kind == "positive" else [-1e-30]
        elif kind == "range":
            high = limit["high"]
            high = {"ni": base.ni, "nj": base.nj}.get(high, high)
            bad = [limit["low"] - 1, high + 1]
        elif kind == "at_least":
            bad = [limit["low"] - 1, -(2**31)]
        else:
            continue
        for x in bad:
            cases.append((f"{name}={x}", base.replace(**{name: x}), True))
            when = limit.get("when")
            if when:
                (switch, wanted), = when.items()
                cases.append((f"{name}={x},{switch}={not wanted}",
                              base.replace(**{name: x, switch: not wanted}), False))
    return cases


LIMIT_CASES = _limit_cases()


@pytest.mark.parametrize("case_id, problem, refused", LIMIT_CASES, ids=[c[0] for c in LIMIT_CASES])
def test_every_limit_judged_alike(program, tmp_path, case_id, problem, refused):
    status, line = program_verdict(program, tmp_path, problem.data())
    faults = problem.faults()
    assert (status == 2) == refused == bool(faults), (case_id, line, faults)
    if refused:
        assert faults[0].message() == line
        assert toolkit_verdict(problem.data()) == line


# -- rules over several values, run names, and hand-made hostile texts ----------
def _text(problem=None, **edits):
    """The text of the reference problem with lines replaced ({line: text})."""
    lines = (problem or _base()).data().split(b"\n")
    for number, text in edits.items():
        lines[int(number[1:]) - 1] = text if isinstance(text, bytes) else text.encode("utf-8")
    return b"\n".join(lines)


_B = _base()
HOSTILE = {
    # refused values and rules: the same message
    "grid rows beyond 350": (_text(l26="300 30 30"), "exact"),
    "channel too short for its columns": (_text(l6="1e-44 0.001 1e-4 5e-4"), "exact"),
    "membrane below its neighbours": (_text(l6="0.02 1e8 1e-4 5e-4"), "exact"),
    "run name climbing out": (_text(l60="../../X.OUT"), "line"),
    "run name dot dot": (_text(l60=".."), "line"),
    "blank run name": (_text(l60=""), "line"),
    "run name with a tab": (_text(l60="A\tB.OUT"), "line"),
    "run name not UTF-8": (_text(l60=b"CONC\xff.OUT"), "line"),
    "run name cut at column 12": (_text(l60="ABCDEFGHIJK\u00e9"), "line"),
    "12-byte name and a restart write": (_text(l60="ABCDEFGHIJKL", l62="T"), "exact"),
    "run name is the monitor file": (_text(l60="monitor.dat"), "exact"),
    "run name is the problem input": (_text(l60="PROB.INP"), "exact"),
    "run name is the uptake file": (_text(l60="CONC.UPT"), "exact"),
    "run name is a profile file": (_text(l60="CONC.CPR"), "exact"),
    "run name is the restart file read": (_text(l60="CONC.sav", l64="T"), "exact"),
    "run name is the restart part file": (_text(l60="X.sav.part", l62="T"), "exact"),
    "velocity save name, flow solved": (_text(l36="T", l60="CONC.VEL"), "exact"),
    "velocity save name, flow not solved": (_text(l60="CONC.VEL"), "accepted"),
    # unreadable text: the same line
    "infinite time step": (_text(l33="1e39"), "line"),
    "NaN velocity": (_text(l8="nan"), "line"),
    "column count beyond 32 bits": (_text(l24="2147483648"), "line"),
    "a word for a count": (_text(l31="ten"), "line"),
    "logical that is not": (_text(l29="maybe"), "line"),
    "file ends early": (b"\n".join(_B.data().split(b"\n")[:40]), "line"),
    "empty file": (b"", "line"),
    # order: a refused value before an unreadable one, and after
    "refused columns, then an unreadable switch": (_text(l24="400", l29="maybe"), "line"),
    "unreadable density, then refused columns": (_text(l17="dense", l24="400"), "line"),
    "viscosity refused when the flow switch is read": (_text(l19="0", l36="T", l41="many"), "line"),
    "list over two lines shifts the rest": (_text(l6="0.02 0.001", l7="1e-4 5e-4"), "line"),
    # accepted
    "values left over on a line": (_text(l21="1e-9 1e-10 8e-10 9e-10"), "accepted"),
    "comment after the values": (_text(l24="22   columns of the grid"), "accepted"),
    "the reference": (_B.data(), "accepted"),
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_inputs_judged_alike(program, tmp_path, name):
    data, kind = HOSTILE[name]
    status, line = program_verdict(program, tmp_path, data)
    mine = toolkit_verdict(data)
    if kind == "accepted":
        assert status == 0 and mine is None, (line, mine)
        return
    assert status == 2, line
    assert mine is not None, f"the program refuses it ({line}), the toolkit accepts it"
    assert line_of(mine) == line_of(line), (mine, line)
    if kind == "exact":
        assert mine == line


# -- the description itself -----------------------------------------------------
def test_description_is_the_programs(program):
    """questrand/input.json is what the program prints, byte for byte (after a
    change of the program's table: questrand --describe-input > input.json)."""
    printed = subprocess.run([str(program), "--describe-input"], capture_output=True, check=True).stdout
    kept = (Path(__file__).resolve().parents[1] / "questrand" / "input.json").read_bytes()
    assert printed == kept


def test_problem_fields_are_the_described_values():
    """The Problem's fields: the described values, in file order, of the
    described types; the commented file puts each on its described line."""
    types = {"real": "float", "integer": "int", "logical": "bool", "text": "str"}
    fields = [(f.name, f.type) for f in dataclasses.fields(Problem)]
    assert fields == [(v["name"], types[v["type"]]) for v in INPUT["values"]]
    lines = _base().text().splitlines()
    assert len(lines) == INPUT["lines"]
    for value in INPUT["values"]:
        shown = lines[value["line"] - 1]
        assert value["name"] in shown or value["type"] == "text", (value["name"], shown)
