#!/usr/bin/python3
"""Make the "measured" curves of the fit example: curves of the instrument at
known diffusivities, free of the grid's error, plus seeded Gaussian noise.

    PYTHONPATH=../../python QUESTRAND_PROGRAM=../../build/questrand /usr/bin/python3 make_data.py

The questrand package must be importable: installed (``pip install
--no-build-isolation .`` from the repository root, docs/python.md), or from
the sources with PYTHONPATH as above.

A real measurement knows nothing of the model's grid, so the curves are not
the program's curves on any grid (which would hide the grid's error from
the fit, and the program's own extrapolated fine grids share its faults):
they come from the independent flow reference of the test suite
(python/tests/flow_reference.py: a double-precision second-order
finite-volume solution of the same continuous problem on graded meshes,
three levels extrapolated with their observed order, about 1e-5 of c_in
from the grid-independent curve), for the base problem of this folder
(PROB.INP) with the true diffusivities below.  It writes

* gel_mid.csv: time and c_gel_mid, the concentration at mid-depth of the
  gel in the middle of the channel, with noise of standard deviation 0.005;
* gel_uptake.csv: time, m_gel (the amount in the gel) and sigma, with
  noise of 1 % of the largest amount.

The same seed gives the same files.  It takes about two minutes.
"""

import sys
from pathlib import Path

import numpy as np

import questrand

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "python" / "tests"))
from flow_reference import Instrument, Resolution, reference  # noqa: E402

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
    times = truth.dt * np.arange(1, truth.nsteps + 1)
    ref = reference(Instrument.from_problem(truth), times, levels=(2, 3, 4),
                    resolution=Resolution(dt=truth.dt / 4))
    rng = np.random.default_rng(SEED)
    c = ref.extrapolated["c_gel_mid"]
    write_csv(HERE / "gel_mid.csv", ["time", "c_gel_mid"], [times, c + rng.normal(0.0, PROBE_NOISE, len(times))])
    m = ref.extrapolated["m_gel"]
    sigma = np.full(len(times), UPTAKE_NOISE * float(np.max(m)))
    write_csv(HERE / "gel_uptake.csv", ["time", "m_gel", "sigma"], [times, m + rng.normal(0.0, sigma), sigma])


if __name__ == "__main__":
    main()
