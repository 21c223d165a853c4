"""The example notebook (examples/notebook/gel_uptake.ipynb) runs from start
to end in a Jupyter kernel of Debian's Python, and its key cells give the
values the gel-uptake example is known for."""

import json
import os

import pytest
from conftest import PYTHON_DIR

NOTEBOOK = PYTHON_DIR.parent / "examples" / "notebook" / "gel_uptake.ipynb"
PYTHON = "/usr/bin/python3"

#: Appended to the notebook: the key values of its cells, as one JSON line.
REPORT = """
import json
import sys
print(json.dumps({
    "python": sys.executable, "questrand": questrand.__file__,
    "uptake_rows": len(up), "final_c_gel_mean": float(final["c_gel_mean"]),
    "t_half": t_half, "t_90": t_90,
    "c_shape": list(ds.c.shape), "layers": sorted(set(ds.layer.values.tolist())),
    "diff_gel_attr": ds.attrs["diff_gel"], "gel_mean_gap": gel_mean_gap, "netcdf_same": netcdf_same,
    "estimate": estimate, "ci95": [float(low), float(high)], "true": TRUE_DIFF_GEL,
    "joint": joint_estimates, "true_memb": float(short.diff_memb),
    "orders": [e.observed_order for e in study.at_times["c_gel_mean"]],
    "values": [e.values for e in study.at_times["c_gel_mean"]],
    "extrapolated": [e.extrapolated for e in study.at_times["c_gel_mean"]],
    "work_removed": not work.exists(),
}))
"""


def test_notebook_runs_and_gives_the_examples_values(program, tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    if not os.path.exists(PYTHON):
        pytest.skip(f"no {PYTHON}")
    # A kernel "python3" of Debian's Python that finds this toolkit and the
    # program under test; Jupyter's files go to the test's directory.
    kernel_dir = tmp_path / "jupyter" / "kernels" / "python3"
    kernel_dir.mkdir(parents=True)
    env = {"PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(program)}
    (kernel_dir / "kernel.json").write_text(json.dumps({
        "argv": [PYTHON, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "Python 3 (Debian)", "language": "python", "env": env}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path / "jupyter"))
    monkeypatch.setenv("JUPYTER_RUNTIME_DIR", str(tmp_path / "runtime"))
    monkeypatch.setenv("IPYTHONDIR", str(tmp_path / "ipython"))
    monkeypatch.delenv("MPLBACKEND", raising=False)  # the kernel's own: figures inline

    notebook = nbformat.read(NOTEBOOK, as_version=4)
    code = [cell for cell in notebook.cells if cell.cell_type == "code"]
    assert code and all(not c.outputs and c.execution_count is None for c in code), \
        "the notebook is stored without outputs"
    notebook.cells.append(nbformat.v4.new_code_cell(REPORT))
    client = nbclient.NotebookClient(notebook, kernel_name="python3", timeout=300,
                                     resources={"metadata": {"path": str(NOTEBOOK.parent)}})
    client.execute()  # raises CellExecutionError naming the cell that failed

    outputs = [o for cell in notebook.cells[:-1] for o in cell.get("outputs", [])]
    assert not [o for o in outputs if o.output_type == "error" or o.get("name") == "stderr"]
    # the uptake, profile, layer-profile, fit and joint-fit figures, as PNG images
    assert sum("image/png" in o.get("data", {}) for o in outputs) >= 5
    report = json.loads("".join(o.text for o in notebook.cells[-1].outputs if o.output_type == "stream"))
    assert report["python"] == PYTHON and report["questrand"].startswith(str(PYTHON_DIR))
    # the gel-uptake example (examples/gel-uptake/README.md)
    assert report["uptake_rows"] == 180 and abs(report["final_c_gel_mean"] - 0.9951) < 5e-5
    assert abs(report["t_half"] - 260.0) < 0.5 and abs(report["t_90"] - 798.4) < 0.5
    # the Dataset: 7 field times (6 step files and the end) over 22 rows and 30 columns
    assert report["c_shape"] == [7, 22, 30] and report["layers"] == ["channel", "gel", "membrane"]
    assert report["diff_gel_attr"] == 8e-10 and report["netcdf_same"] is True
    assert report["gel_mean_gap"] < 1e-6  # the fields' gel mean is the uptake file's
    # the fit recovers the true value from 1 % noise, inside its interval
    assert abs(report["estimate"] / report["true"] - 1) < 0.05
    assert report["ci95"][0] < report["true"] < report["ci95"][1]
    # the curve and the slices at the end, fitted together, give both diffusivities
    assert abs(report["joint"]["diff_gel"] / report["true"] - 1) < 0.05
    assert abs(report["joint"]["diff_memb"] / report["true_memb"] - 1) < 0.05
    # first order: the error halves with the spacing; the finer grids take up faster
    assert all(0.8 < order < 1.3 for order in report["orders"])
    for values, extrapolated in zip(report["values"], report["extrapolated"]):
        assert values[0] < values[1] < values[2] < extrapolated
    assert report["work_removed"]
