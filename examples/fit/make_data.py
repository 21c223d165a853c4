#!/usr/bin/python3
"""Make the "measured" curves of the fit example: the program's own curves
at known diffusivities plus seeded Gaussian noise.

    PYTHONPATH=../../python QUESTRAND_PROGRAM=../../build/questrand /usr/bin/python3 make_data.py

runs the base problem of this folder (PROB.INP) with the true diffusivities
below in a scratch directory and writes

* gel_probe.csv: time and C(GelMid), the probe in the middle of the gel,
  with noise of standard deviation 0.005;
* gel_uptake.csv: time, m_gel (the amount in the gel) and sigma, with
  noise of 1 % of the largest amount (written only when the program writes
  the uptake file).

The same seed gives the same files.
"""

import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python"))

import questrand  # noqa: E402

TRUE_DIFF_MEMB = 5.0e-10
TRUE_DIFF_GEL = 8.0e-10
PROBE_NOISE = 0.005
UPTAKE_NOISE = 0.01  # of the largest amount
SEED = 2003


def write_csv(path, header, columns):
    lines = [",".join(header)]
    lines += [",".join(f"{v:.6g}" for v in row) for row in zip(*columns)]
    path.write_text("\n".join(lines) + "\n")
    print(f"wrote {path} ({len(columns[0])} points)")


def main():
    base = questrand.Problem.read(HERE / "PROB.INP")
    truth = base.replace(diff_memb=TRUE_DIFF_MEMB, diff_gel=TRUE_DIFF_GEL)
    rng = np.random.default_rng(SEED)
    with tempfile.TemporaryDirectory(prefix="questrand-fit-data-") as scratch:
        run = questrand.run(truth, scratch, timeout=600)
        t = run.monitor["time"]
        c = run.monitor["C(GelMid)"] + rng.normal(0.0, PROBE_NOISE, len(t))
        write_csv(HERE / "gel_probe.csv", ["time", "C(GelMid)"], [t, c])
        if run.uptake is not None:
            t, m = run.uptake["time"], run.uptake["m_gel"]
            sigma = np.full(len(t), UPTAKE_NOISE * float(np.max(m)))
            write_csv(HERE / "gel_uptake.csv", ["time", "m_gel", "sigma"],
                      [t, m + rng.normal(0.0, sigma), sigma])
        else:
            print("no uptake file from this build of the program: gel_uptake.csv not written")


if __name__ == "__main__":
    main()
