#!/usr/bin/python3
"""Run the passive sampler and plot the amount it has taken up.

    PYTHONPATH=../../python QUESTRAND_PROGRAM=../../build/questrand /usr/bin/python3 run.py [RUNDIR]

Copies PROB.INP and PHYSICS.INP to RUNDIR (default ./run), runs the program
there with the second-order scheme and writes RUNDIR/sampler.png: the amount
in the binding layer per unit area of the sampler's face (mg/m2) over time
(min), with the line of the steady flux.

The steady flux through membrane (thickness a, diffusivity D_m) and gel
(b, D_g) in series into a perfect sink, the solution at c on the face:

    J = c / (a / D_m + b / D_g),

and after a lag the amount taken up grows as J (t - t_lag).  The lag is read
off the run: the time axis intercept of the line of slope J through the last
point.  Solved for c this is how the sampler is read: c = m / ((t - t_lag)
/ (a / D_m + b / D_g)).
"""

import shutil
import subprocess
import sys
from pathlib import Path

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

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
    up = read_uptake(rundir / "SAMPLER.UPT")
    minutes = up["time"].to_numpy() / 60.0
    # m_sink is per unit depth of the channel: over its length, per unit face
    # area; c in mg/L = g/m3, so g/m2, times 1000 in mg/m2
    taken = up["m_sink"].to_numpy() / p.chlength * 1000.0
    flux = p.c_in / (p.th_memb / p.diff_memb + p.th_gel / p.diff_gel) * 1000.0 * 60.0  # mg/m2/min
    lag = minutes[-1] - taken[-1] / flux
    rate = (taken[-1] - taken[-61]) / (minutes[-1] - minutes[-61])  # the last 5 minutes
    print(f"steady flux {flux:.5g} mg/m2/min; rate of the last 5 min {rate:.5g} mg/m2/min; "
          f"lag {lag:.3g} min; taken up after {minutes[-1]:g} min: {taken[-1]:.4g} mg/m2")
    fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
    ax.plot(minutes, taken, label="in the binding layer (run)")
    ax.plot(minutes, flux * (minutes - lag), "--", label=f"steady flux {flux:.3g} mg/m²/min, lag {lag:.2f} min")
    ax.set_ylim(bottom=0.0)
    ax.set_xlabel("time (min)")
    ax.set_ylabel("amount taken up per face area (mg/m²)")
    ax.set_title(f"passive sampler in {p.c_in:g} mg/L: {1000 * p.th_memb:g} mm membrane, "
                 f"{1000 * p.th_gel:g} mm gel, binding layer behind", fontsize=10)
    ax.legend()
    ax.grid(alpha=0.3)
    fig.savefig(rundir / "sampler.png", dpi=110)
    return flux, rate, lag, taken[-1]


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("run"))
