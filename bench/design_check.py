#!/usr/bin/env python3
"""Predicted standard errors of ``questrand design`` against simulated fits.

For the slab problem of the tests (membrane and gel under a channel held
at c_in = 1, python/tests/test_accuracy.py) and two pairs of
diffusivities, the membrane-limited (diff_memb 5e-11, diff_gel 8e-10) and a
balanced one (5e-10, 8e-10), every design below is predicted and then
tried with N simulated experiments (noise sigma 0.002), each fitted on the
grid of the prediction.  Prints, per pair, design and parameter: the
predicted standard error, the spread of the fits and their ratio, and
whether the ranking by predicted half-width matches that by the spread.

    PYTHONPATH=python /usr/bin/python3 bench/design_check.py [N] [MAX_REFINE]     (default 30 fits, grid up to x4)

The questrand package must be importable: installed (``pip install
--no-build-isolation .`` from the repository root, docs/python.md), or from
the sources with PYTHONPATH=python as above.
"""

import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
# the tests' slab problem (python/tests, not part of the package)
sys.path.insert(0, str(ROOT / "python" / "tests"))

from questrand.design import Design, check, design  # noqa: E402
from questrand.design.runs import Runner  # noqa: E402
from test_accuracy import slab_problem  # noqa: E402

NAMES = ["diff_memb", "diff_gel"]
DESIGNS = [("mid600", "c_gel_mid", 10, 600, 60), ("top600", "c_gel_top", 10, 600, 60),
           ("memb600", "c_memb_mid", 10, 600, 60), ("mid1800", "c_gel_mid", 30, 1800, 60),
           ("mean1800", "c_gel_mean", 30, 1800, 60), ("mean600", "c_gel_mean", 10, 600, 60)]


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    max_factor = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    for label, dm, dg in (("membrane-limited", 5e-11, 8e-10), ("balanced", 5e-10, 8e-10)):
        started = time.perf_counter()
        designs = [Design(i, o, a, b, k, 0.002, {}, where=i) for i, o, a, b, k in DESIGNS]
        st = design(slab_problem(dm, dg), designs, NAMES, max_factor=max_factor)
        runner = Runner(Path("/tmp"))
        print(f"\n{label} pair (diff_memb {dm:g}, diff_gel {dg:g}), {n} fits per design")
        print(f"{'rank':>4s} {'design':<9s} {'grid':>4s} {'param':<10s} {'pred se':>8s} {'spread':>8s} "
              f"{'ratio':>6s} {'within hw':>9s} {'cover95':>7s} {'failed':>6s}")
        spreads = []
        for r in st.results:
            c = check(r, NAMES, st.nominal, n, seed=1, step=st.step, runner=runner)
            spreads.append(float(np.max(c.spread)))
            for k, name in enumerate(NAMES):
                print(f"{r.rank:>4d} {r.design.id:<9s} {'x' + str(r.factor):>4s} {name:<10s} "
                      f"{100 * c.predicted_se[k]:7.3g}% {100 * c.spread[k]:7.3g}% {c.ratio[k]:6.2f} "
                      f"{100 * c.within[k]:8.0f}% {100 * c.coverage[k]:6.0f}% {len(c.failed):>6d}")
        runner.close()
        print(ranking_verdict(st, spreads) + f" ({time.perf_counter() - started:.0f} s)")


def ranking_verdict(st, spreads) -> str:
    """Best and worst by prediction against best and worst by spread: the
    worst among the designs the prediction calls identifiable, and the rest
    (sharing the last rank) all spreading more than any identifiable one."""
    from questrand.design.fisher import criterion_identifiable

    ids = [r.design.id for r in st.results]
    ok = [criterion_identifiable(r.prediction, st.criterion) for r in st.results]
    measurable = [i for i in range(len(ids)) if ok[i]]
    by_spread = sorted(measurable, key=lambda i: spreads[i])
    line = (f"best by prediction {ids[0]}, by spread {ids[min(range(len(ids)), key=lambda i: spreads[i])]}; "
            f"worst identifiable by prediction {ids[measurable[-1]] if measurable else '-'}, "
            f"by spread {ids[by_spread[-1]] if by_spread else '-'}")
    rest = [i for i in range(len(ids)) if not ok[i]]
    if rest:
        least = min(spreads[i] for i in rest)
        most = max((spreads[i] for i in measurable), default=0.0)
        line += (f"; not identifiable (rank {st.results[rest[0]].rank}): {', '.join(ids[i] for i in rest)}, "
                 f"spread {100 * least:.3g} % and more against at most {100 * most:.3g} % "
                 + ("(all above)" if least > most else "(NOT all above)"))
    return line


if __name__ == "__main__":
    main()
