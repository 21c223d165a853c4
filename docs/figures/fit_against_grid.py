#!/usr/bin/python3
"""The figure of docs/fitting.md: the gel diffusivity fitted to exact uptake
curves, against the grid spacing, for three membrane/gel stacks.

    PYTHONPATH=python QUESTRAND_PROGRAM=build/questrand /usr/bin/python3 docs/figures/fit_against_grid.py [--scheme S ...]

The questrand package must be importable: installed (``pip install
--no-build-isolation .`` from the repository root, docs/python.md), or from
the sources with PYTHONPATH=python as above.

The data are the gel mean of the two-layer slab series (python/tests/
slab_series.py: membrane 0.1 mm over gel 0.5 mm, c = c_in on the membrane
face, every 10 s for 600 s, no noise); the model is the instrument's
membrane and gel under a channel held at c_in (a stream of 100 m/s), on the grid of the shipped
fit example (4 membrane and 8 gel rows, dt 10 s) and on grids 2, 4, 8 and
16 times finer.  Writes docs/figures/fit_against_grid.png and prints the
table of estimates.
"""

import argparse
import sys
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
# the tests' slab series and slab problem (python/tests, not part of the package)
sys.path.insert(0, str(ROOT / "python" / "tests"))

from questrand.fit import Data, fit  # noqa: E402
from slab_series import TwoLayerSlab  # noqa: E402
from test_accuracy import GEL, MEMBRANE, TIMES, slab_problem  # noqa: E402

STACKS = {"balanced (5e-10 / 8e-10)": (5e-10, 8e-10), "membrane-limited (5e-11 / 8e-10)": (5e-11, 8e-10),
          "gel-limited (5e-9 / 5e-10)": (5e-9, 5e-10)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scheme", action="append", default=None)
    parser.add_argument("--output", default=str(Path(__file__).with_suffix(".png")))
    args = parser.parse_args()
    schemes = args.scheme or ["standard"]
    from matplotlib.figure import Figure
    fig = Figure(figsize=(7.5, 5.0), layout="constrained", dpi=110)
    ax = fig.subplots()
    for scheme, style in zip(schemes, ("-o", "--s")):
        for (label, (dm, dg)), colour in zip(STACKS.items(), ("tab:blue", "tab:red", "tab:green")):
            truth = TwoLayerSlab(dm, MEMBRANE, dg, GEL, t_min=10.0)
            data = Data(path=Path("exact.csv"), observable="c_gel_mean", time=TIMES, value=truth.gel_mean(TIMES))
            # the channel at 100 m/s holds the membrane's face at c_in, as the series assumes
            res = fit(slab_problem(dm, 3e-10, u_in=100.0), data, ["diff_gel"], accuracy=1e-9, time_limit=90,
                      scheme=scheme)
            grids = res.accuracy.grids
            spacing = [1.0 / g.factor for g in grids]
            error = [abs(np.exp(g.theta[0]) / dg - 1.0) for g in grids]
            print(scheme, label, " ".join(f"x{g.factor}: {np.exp(g.theta[0]) / dg - 1:+.2%}" for g in grids))
            ax.loglog(spacing, error, style, color=colour, label=f"{label}, {scheme}")
    ax.set_xlabel("grid spacing and time step (shipped example's grid = 1: 4/8 rows, dt 10 s)")
    ax.set_ylabel("|fitted D_gel / true D_gel - 1|")
    ax.axhline(0.01, color="gray", lw=0.8, ls=":")
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize="small")
    ax.set_title("gel diffusivity fitted to exact gel-mean curves")
    fig.savefig(args.output)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
