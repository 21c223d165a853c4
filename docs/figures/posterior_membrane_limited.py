"""The posterior example of docs/fitting.md: a membrane-limited stack (a
0.1 mm membrane at 5e-11 m2/s over a 0.1 mm gel at 8e-10 m2/s) seen
through its gel mean only, where the fit's linear interval of D_gel hides
a ridge of equal fits.

    /usr/bin/python3 docs/figures/posterior_membrane_limited.py [OUT_DIR]

The data are the exact two-layer series' c_gel_mean at 60 times (10 to
600 s) with seeded noise of sigma 2e-3 (python/tests/slab_series.py; no
part of the program computes it); the model is the slab problem of
python/tests/test_accuracy.py with a 4-row gel.  Runs

    questrand posterior PROB.INP data.csv --param diff_memb --param diff_gel
        --scheme second-order --no-grid-check --jobs 2 --max-steps 12000 --seed 1

and prints its wall time; the corner plot goes to
OUT_DIR/posterior_membrane_limited.png (default: beside this script).
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))
sys.path.insert(0, str(ROOT / "python" / "tests"))
os.environ.setdefault("QUESTRAND_PROGRAM", str(ROOT / "build" / "questrand"))

from slab_series import TwoLayerSlab  # noqa: E402
from test_accuracy import MEMBRANE, TIMES, slab_problem, write_curve  # noqa: E402

D_MEMB, D_GEL, TH_GEL, SIGMA = 5e-11, 8e-10, 1e-4, 2e-3

out_dir = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent).resolve()
out_dir.mkdir(parents=True, exist_ok=True)
with tempfile.TemporaryDirectory() as scratch:
    work = Path(scratch)
    slab_problem(3e-11, 1.5e-9, th_gel=TH_GEL, n_gel=4).write(work / "PROB.INP")
    exact = TwoLayerSlab(D_MEMB, MEMBRANE, D_GEL, TH_GEL, t_min=min(TIMES)).gel_mean(TIMES)
    noisy = exact + SIGMA * np.random.default_rng(1).standard_normal(len(TIMES))
    write_curve(work / "data.csv", "c_gel_mean", TIMES, noisy, np.full(len(TIMES), SIGMA))
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "questrand", "posterior", "PROB.INP", "data.csv",
                           "--param", "diff_memb", "--param", "diff_gel", "--scheme", "second-order",
                           "--no-grid-check", "--jobs", "2", "--max-steps", "12000", "--seed", "1",
                           "--out", "posterior"], cwd=work, env=env)
    print(f"wall time {time.perf_counter() - started:.0f} s, exit status {done.returncode}")
    shutil.copy(work / "posterior" / "corner.png", out_dir / "posterior_membrane_limited.png")
print(out_dir / "posterior_membrane_limited.png")
