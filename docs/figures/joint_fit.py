"""The figure of docs/fitting.md's joint-fit example: two gel thicknesses of
a membrane-limited stack, exact-series data, fitted together.

    /usr/bin/python3 docs/figures/joint_fit.py [OUT.png]

Makes the two experiments as python/tests/test_fit_joint.py does, in a
scratch directory, and runs the example's command with --plot.
"""
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "python" / "tests"))
os.environ.setdefault("QUESTRAND_PROGRAM", str(ROOT / "build" / "questrand"))

from test_fit_joint import THICK, THIN, gel_mean_data, stack  # noqa: E402

out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_suffix(".png")).resolve()
with tempfile.TemporaryDirectory() as scratch:
    work = Path(scratch)
    for name, th_gel, n_gel, seed in (("thin", THIN, 4, 1), ("thick", THICK, 8, 2)):
        (work / name).mkdir()
        stack(th_gel, n_gel).write(work / name / "PROB.INP")
        gel_mean_data(work / name / "data.csv", th_gel, seed)
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    subprocess.run([sys.executable, "-m", "questrand", "fit", "--experiment", "thin/PROB.INP", "thin/data.csv",
                    "--experiment", "thick/PROB.INP", "thick/data.csv", "--param", "diff_memb", "--param",
                    "diff_gel", "--scheme", "second-order", "--accuracy", "0.01", "--plot", str(out)],
                   cwd=work, env=env, check=True)
print(out)
