"""The toolkit as an installed package: ``pip install`` of the repository into
a virtual environment, and ``cmake --install`` of a configured build."""

import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import CASES_DIR, PYTHON_DIR
from questrand import Problem, paths

REPOSITORY = PYTHON_DIR.parent
#: What the package's build reads (a copy of these is what pip installs from).
SOURCES = ["pyproject.toml", "setup.py", "docs/python.md", "python/questrand", "workflow"]
CASE = CASES_DIR / "transient_flow_conc"
INSTRUMENT = REPOSITORY / "examples" / "instrument" / "PROB.INP"
#: A clean environment: no PYTHONPATH, no user site, nothing of the caller's.
CLEAN_ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "PYTHONNOUSERSITE": "1"}


def _project_version():
    text = (REPOSITORY / "CMakeLists.txt").read_text()
    return re.search(r"project\(questrand VERSION (\S+)", text).group(1)


def _run(command, **kwargs):
    done = subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=300,
                          **kwargs)
    assert done.returncode == 0, f"{command}: {done.stderr}"
    return done


def test_pip_install_into_a_venv(program, tmp_path):
    for module, package in (("ensurepip", "python3-venv"), ("pip", "python3-pip"),
                            ("setuptools", "python3-setuptools"), ("wheel", "python3-wheel")):
        if importlib.util.find_spec(module) is None:
            pytest.skip(f"installing the package needs the Python module {module} (Debian's {package})")
    source = tmp_path / "source"
    for name in SOURCES:
        if (REPOSITORY / name).is_dir():
            shutil.copytree(REPOSITORY / name, source / name,
                            ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
        else:
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(REPOSITORY / name, source / name)
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=CLEAN_ENV)
    python = venv / "bin" / "python"
    _run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps", "--no-index",
          "--disable-pip-version-check", "--no-cache-dir", source], env=dict(CLEAN_ENV, HOME=str(tmp_path)),
         cwd=tmp_path)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    script = textwrap.dedent(f"""
        import json, sys, sysconfig
        from importlib import metadata
        import questrand
        from questrand import paths
        problem = questrand.Problem.read({str(INSTRUMENT)!r})
        print(json.dumps({{"file": questrand.__file__, "purelib": sysconfig.get_paths()["purelib"],
                          "runname": problem.runname, "version": metadata.version("questrand"),
                          "workflow": str(paths.workflow_dir())}}))
    """)
    info = json.loads(_run([python, "-c", script], env=CLEAN_ENV, cwd=elsewhere).stdout)
    package = venv / "lib" / f"python{sys.version_info.major}.{sys.version_info.minor}" \
        / "site-packages" / "questrand"
    assert Path(info["file"]).resolve() == (package / "__init__.py").resolve()
    assert Path(info["purelib"]).resolve() == package.parent.resolve()
    assert info["runname"] == Problem.read(INSTRUMENT).runname == "EXAMPLE.OUT"
    assert info["version"] == _project_version()
    # the workflow is shipped inside the package, whole
    assert Path(info["workflow"]).resolve() == (package / "_workflow").resolve()
    for name in ("Snakefile", "scripts/run_case.py", "profiles/slurm/config.yaml"):
        assert (package / "_workflow" / name).read_bytes() == (REPOSITORY / "workflow" / name).read_bytes()
    # the files each module reads beside itself
    for name in ("input.json", "run_name_rule.txt"):
        assert (package / name).read_bytes() == (PYTHON_DIR / "questrand" / name).read_bytes()

    # the console scripts, from the venv's bin, the command taken from their names
    for command in ("summary", "fit"):
        done = _run([venv / "bin" / f"questrand-{command}", "--help"], env=CLEAN_ENV, cwd=elsewhere)
        assert done.stdout.startswith(f"usage: questrand {command}")
    done = _run([venv / "bin" / "questrand-summary", CASE], env=CLEAN_ENV, cwd=elsewhere)
    assert "run TRANS.OUT" in done.stdout
    # `python -m questrand` as before
    done = _run([python, "-m", "questrand", "summary", "--json", CASE], env=CLEAN_ENV, cwd=elsewhere)
    assert json.loads(done.stdout)["final_time"] == 3.0
    # the packaged workflow, as the sweep gives it to snakemake from PATH
    if shutil.which("snakemake", path=CLEAN_ENV["PATH"]):
        (elsewhere / "sweep.json").write_text(json.dumps({
            "problem": str(INSTRUMENT), "program": str(program), "runs": [{"id": "a", "values": {"u_in": 0.002}}]}))
        script = ("import os, sys; from questrand import paths; os.execvpe('snakemake', ['snakemake', "
                  "'-s', str(paths.workflow_dir() / 'Snakefile'), '-d', '.', '--configfile', "
                  "'sweep.json', '-n', '-c1', '-q'], paths.package_env())")
        _run([python, "-c", script], env=dict(CLEAN_ENV, HOME=str(tmp_path)), cwd=elsewhere)
    # the build left nothing in the sources it was made from
    assert not list(source.glob("python/*.egg-info"))


def test_workflow_found_in_the_source_tree_and_a_cmake_installation(tmp_path):
    assert paths.workflow_dir() == REPOSITORY / "workflow"
    installed = tmp_path / "share" / "questrand"  # the layout of cmake --install
    (installed / "python" / "questrand").mkdir(parents=True)
    assert paths.workflow_dir(installed / "python" / "questrand") == installed / "workflow"


def test_cmake_install_gives_working_commands(program, tmp_path):
    """``cmake --install`` of the build the program under test comes from
    (skipped when that is not a configured CMake build)."""
    build = program.parent
    if not (build / "cmake_install.cmake").is_file() or shutil.which("cmake") is None:
        pytest.skip(f"{build} is not a configured CMake build")
    prefix = tmp_path / "prefix"
    _run(["cmake", "--install", build, "--prefix", prefix], env={k: v for k, v in os.environ.items() if k != "DESTDIR"})
    done = _run([prefix / "bin" / "questrand-summary", CASE], env=CLEAN_ENV, cwd=tmp_path)
    assert "run TRANS.OUT" in done.stdout
    assert (prefix / "share" / "questrand" / "workflow" / "Snakefile").is_file()
    script = "from questrand import paths; print(paths.workflow_dir())"
    done = _run(["/usr/bin/python3", "-c", script], cwd=tmp_path,
                env=dict(CLEAN_ENV, PYTHONPATH=str(prefix / "share" / "questrand" / "python")))
    assert done.stdout.strip() == str(prefix / "share" / "questrand" / "workflow")
