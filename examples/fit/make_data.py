#!/usr/bin/python3
"""Make the "measured" curves of the fit example: curves of the instrument at
known diffusivities, free of the grid's error, plus seeded Gaussian noise.

    PYTHONPATH=../../python QUESTRAND_PROGRAM=../../build/questrand /usr/bin/python3 make_data.py

The questrand package must be importable: installed (``pip install
--no-build-isolation .`` from the repository root, docs/python.md), or from
the sources with PYTHONPATH as above.

A real measurement knows nothing of the model's grid, so the curves are not
the program's curves on the example's grid (which would hide the grid's
error from the fit): the base problem of this folder (PROB.INP) runs with
the true diffusivities below, with the second-order scheme, on grids 2 and
4 times finer (rows, columns and time step; the steady flow solved once and
reused), and the two curves are extrapolated to the grid-independent curve,
point by point, as a second-order scheme's errors fall by four when the
spacing halves: c(x4) + (c(x4) - c(x2)) / 3.  (`questrand converge
PROB.INP --scheme second-order` shows the two grids within 3e-4 of each
other.)  It writes

* gel_mid.csv: time and c_gel_mid, the concentration at mid-depth of the
  gel in the middle of the channel, with noise of standard deviation 0.005;
* gel_uptake.csv: time, m_gel (the amount in the gel) and sigma, with
  noise of 1 % of the largest amount.

The same seed gives the same files.  It takes about a minute.
"""

import tempfile
from pathlib import Path

import numpy as np

import questrand
from questrand.refine import refined

HERE = Path(__file__).resolve().parent

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


def grid_free(truth, name, scratch):
    """The extrapolated curve of ``name`` at the steps of the base problem."""
    curves = []
    for factor in (2, 4):
        run = questrand.run(refined(truth, factor), Path(scratch) / f"x{factor}", flow="reuse",
                            flow_cache=Path(scratch) / "flow-cache", timeout=1200,
                            scheme="second-order")
        curves.append((run.uptake["time"], run.uptake[name]))
    times = truth.dt * np.arange(1, truth.nsteps + 1)
    coarse, fine = (np.interp(times, t, v) for t, v in curves)
    return times, fine + (fine - coarse) / 3.0


def main():
    base = questrand.Problem.read(HERE / "PROB.INP")
    truth = base.replace(diff_memb=TRUE_DIFF_MEMB, diff_gel=TRUE_DIFF_GEL)
    rng = np.random.default_rng(SEED)
    with tempfile.TemporaryDirectory(prefix="questrand-fit-data-") as scratch:
        t, c = grid_free(truth, "c_gel_mid", scratch)
        write_csv(HERE / "gel_mid.csv", ["time", "c_gel_mid"], [t, c + rng.normal(0.0, PROBE_NOISE, len(t))])
        t, m = grid_free(truth, "m_gel", scratch)
        sigma = np.full(len(t), UPTAKE_NOISE * float(np.max(m)))
        write_csv(HERE / "gel_uptake.csv", ["time", "m_gel", "sigma"], [t, m + rng.normal(0.0, sigma), sigma])


if __name__ == "__main__":
    main()
