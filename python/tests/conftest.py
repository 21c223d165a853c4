"""Shared fixtures: the reference cases and the program under test.

The tests import the package from python/ (pytest's ``pythonpath``, set in
the repository's pyproject.toml); a test that starts ``python3 -m questrand``
gives it PYTHONPATH=PYTHON_DIR.
"""

import os
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]

CASES_DIR = PYTHON_DIR.parent / "tests" / "data" / "cases"


def case_dirs():
    """Every reference run directory (a case, or each run of a multi-run case)."""
    dirs = []
    for case in sorted(d for d in CASES_DIR.iterdir() if d.is_dir()):
        if (case / "PROB.INP").is_file():
            dirs.append(case)
        else:
            dirs.extend(sorted(d for d in case.iterdir() if (d / "PROB.INP").is_file()))
    return dirs


def case_id(path):
    return str(path.relative_to(CASES_DIR))


@pytest.fixture(scope="session")
def program():
    """The questrand program (QUESTRAND_PROGRAM or the repository build)."""
    from questrand.runner import find_program

    try:
        return find_program()
    except FileNotFoundError as exc:
        pytest.skip(f"no questrand program: {exc}")


UPT_HEADER = ("time,m_flow,m_memb,m_gel,c_memb_mean,c_gel_mean,flux_memb_gel,c_out,balance,"
              "c_memb_mid,c_gel_mid,c_gel_top")


def write_uptake(path, times):
    """A small synthetic uptake file: one line per time."""
    lines = [UPT_HEADER]
    for t in times:
        lines.append(",".join(f"{v:.9g}" for v in (t, 1.0, 0.1 * t, 0.01 * t * t, 0.2, 0.02 * t,
                                                   0.003, 0.9, 1e-7, 0.3, 0.01 * t, 0.005 * t)))
    Path(path).write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="session", autouse=True)
def flow_cache(tmp_path_factory):
    """Steady flows of the tests go to a cache of this session, not the user's."""
    path = tmp_path_factory.mktemp("flow-cache")
    saved = os.environ.get("QUESTRAND_FLOW_CACHE")
    os.environ["QUESTRAND_FLOW_CACHE"] = str(path)
    yield path
    if saved is None:
        os.environ.pop("QUESTRAND_FLOW_CACHE", None)
    else:
        os.environ["QUESTRAND_FLOW_CACHE"] = saved


# -- a run whose every test skipped ---------------------------------------------------
#: Exit status, when set in the environment, of a run in which tests were collected, none
#: failed and none passed (all skipped): ctest's SKIP_RETURN_CODE, so such a run is reported
#: as skipped, not passed.
SKIPPED_EXIT_ENV = "QUESTRAND_ALL_SKIPPED_EXIT"
_PASSED = []


def pytest_runtest_logreport(report):
    if report.when == "call" and report.passed:
        _PASSED.append(report.nodeid)


def pytest_sessionfinish(session, exitstatus):
    code = os.environ.get(SKIPPED_EXIT_ENV)
    if code and exitstatus == 0 and session.testscollected and not _PASSED:
        session.exitstatus = int(code)
