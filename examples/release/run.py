#!/usr/bin/python3
"""Run the release of the loaded gel and plot its emptying.

    PYTHONPATH=../../python QUESTRAND_PROGRAM=../../build/questrand /usr/bin/python3 run.py [RUNDIR]

Copies PROB.INP and PHYSICS.INP to RUNDIR (default ./run), runs the program
there with the second-order scheme and writes RUNDIR/release.png: the gel's
mean concentration (mg/L, logarithmic axis) and the share of the load
released (%) over time (min).

The gel (thickness b, diffusivity D_g) under the membrane (a, D_m), loaded
at c0 and closed behind, empties through the membrane into a clean stream;
late on only the slowest mode is left, c_gel_mean ~ exp(-mu_1 t): the rate
mu_1 is read off the second half of the run (a straight line of
ln c_gel_mean over time).
"""

import shutil
import subprocess
import sys
from pathlib import Path

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from questrand.problem import Problem  # noqa: E402
from questrand.results import read_uptake  # noqa: E402
from questrand.runner import find_program  # noqa: E402

HERE = Path(__file__).resolve().parent


def main(rundir):
    rundir.mkdir(parents=True, exist_ok=True)
    for name in ("PROB.INP", "PHYSICS.INP"):
        shutil.copy(HERE / name, rundir / name)
    subprocess.run([str(find_program()), "--scheme", "second-order"], cwd=rundir, check=True,
                   stdout=subprocess.DEVNULL)
    p = Problem.read(rundir / "PROB.INP")
    c0 = p.physics.c0_gel  # PHYSICS.INP, read beside PROB.INP
    up = read_uptake(rundir / "RELEASE.UPT")
    minutes = up["time"].to_numpy() / 60.0
    mean = up["c_gel_mean"].to_numpy()
    released = 100.0 * (1.0 - mean / c0)
    half = float(np.interp(0.5 * c0, mean[::-1], minutes[::-1]))
    late = minutes >= minutes[-1] / 2
    observed = -np.polyfit(minutes[late], np.log(mean[late]), 1)[0]  # 1/min
    print(f"half released after {half:.3g} min; gel mean after {minutes[-1]:g} min: {mean[-1]:.3g} mg/L "
          f"({released[-1]:.4f} % released); late decay {observed:.4g} 1/min (e-folding {1 / observed:.3g} min)")
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 6), layout="constrained")
    top.semilogy(minutes, mean)
    top.set_ylabel("gel mean concentration (mg/L)")
    top.set_title(f"release of a {1000 * p.th_gel:g} mm gel loaded at {c0:g} mg/L through a "
                  f"{1000 * p.th_memb:g} mm membrane", fontsize=10)
    bottom.plot(minutes, released)
    bottom.set_ylabel("released (% of the load)")
    bottom.set_xlabel("time (min)")
    for ax in (top, bottom):
        ax.grid(alpha=0.3)
    fig.savefig(rundir / "release.png", dpi=110)
    return half, mean[-1], observed


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("run"))
