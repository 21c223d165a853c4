#!/usr/bin/env python3
"""Cost of a model run with the flow coupled and with the steady flow reused.

    PYTHONPATH=python /usr/bin/python3 bench/flow_bench.py [--program build/questrand] [--quick]

The questrand package must be importable: installed (``pip install
--no-build-isolation .`` from the repository root, docs/python.md), or from
the sources with PYTHONPATH=python as above.

Measures on this machine, in one run, for examples/fit (32 columns, 10/4/8
rows, 40 steps of 10 s) and for the same problem refined four times (122
columns, 40/16/32 rows, 160 steps of 2.5 s):

* one model run with the flow solved in every step (coupled);
* the steady flow alone, solved into an empty cache (nested grids, see
  questrand.flow);
* one model run with the flow reused (cache hit: restart file written, the
  concentration transient run);

each as wall time and as a ratio to the coupled run of examples/fit, and the
largest difference of m_gel, c_gel_mean and C(GelMid) between the reused and
the coupled run (relative to the largest value).  Then the fit of
examples/fit as its README makes it (diff_gel from gel_mid.csv,
``--scheme second-order --accuracy 0.01``), with the flow reused (steady
flows solved into an empty cache) and coupled (capped by ``--fit-limit``
seconds per refinement, since a coupled run of a refined grid takes
minutes).  ``--quick`` leaves out the
coupled run of the refined problem (minutes).  Wall times: the best of
``--repeat`` runs (default 3) for the short runs, one run for the long ones.
"""

import argparse
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import questrand
from questrand import flow
from questrand.refine import refined

ROOT = Path(__file__).resolve().parents[1]


def timed(function, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        began = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - began)
    return best, result


def difference(reused, coupled):
    out = {}
    for table, name in (("uptake", "m_gel"), ("uptake", "c_gel_mean"), ("monitor", "C(GelMid)")):
        a, b = getattr(reused, table)[name], getattr(coupled, table)[name]
        out[name] = float(np.abs(a - b).max() / np.abs(b).max())
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default=None)
    parser.add_argument("--quick", action="store_true", help="no coupled run of the refined problem")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--fit-limit", type=float, default=120.0,
                        help="--time-limit of the coupled accuracy-controlled fit (seconds)")
    args = parser.parse_args(argv)
    program = questrand.find_program(args.program)
    base = questrand.Problem.read(ROOT / "examples" / "fit" / "PROB.INP")
    rows = []
    with tempfile.TemporaryDirectory(prefix="flow_bench.") as work:
        work = Path(work)
        for label, problem in (("examples/fit", base), ("examples/fit x4", refined(base, 4))):
            tag = label.replace("/", "_").replace(" ", "_")
            coupled = None
            if not (args.quick and label.endswith("x4")):
                repeat = args.repeat if label == "examples/fit" else 1
                t_coupled, coupled = timed(lambda: questrand.run(problem, work / f"{tag}_coupled",
                                                                 program=program), repeat)
                rows.append((label, "coupled run", t_coupled, coupled_note(coupled)))

            def steady():
                cache = work / f"{tag}_cache"
                shutil.rmtree(cache, ignore_errors=True)
                return flow.steady_flow(problem, cache, program)

            t_flow, solved = timed(steady, args.repeat if label == "examples/fit" else 1)
            rows.append((label, "steady flow alone", t_flow,
                         f"{solved.info['iterations']} iterations on the finest grid, converged by "
                         f"{solved.info['converged_by']}"))
            t_reused, reused = timed(lambda: questrand.run(problem, work / f"{tag}_reused", program=program,
                                                           flow="reuse", flow_cache=work / f"{tag}_cache"),
                                     args.repeat)
            note = f"{len(reused.residuals)} outer iterations"
            if coupled is not None:
                diff = difference(reused, coupled)
                note += "; reused vs coupled: " + ", ".join(f"{k} {v:.1e}" for k, v in diff.items())
            rows.append((label, "reused-flow run", t_reused, note))
        rows.extend(accuracy_fits(base, work, program, args))
    unit = rows[0][2]
    print(f"{flow.program_id(program)}; unit = coupled run of examples/fit = {unit:.3f} s")
    print(f"{'problem':<17} {'what':<18} {'wall s':>8} {'ratio':>8}  notes")
    for label, what, seconds, note in rows:
        print(f"{label:<17} {what:<18} {seconds:8.3f} {seconds / unit:8.2f}  {note}")
    return 0


def accuracy_fits(base, work, program, args):
    """The README's accuracy-controlled fit of examples/fit, flow reused and coupled."""
    from questrand.fit import FitError, fit, read_data

    data = read_data(ROOT / "examples" / "fit" / "gel_mid.csv")
    out = []
    for mode in ("reuse",) + (() if args.quick else ("coupled",)):
        began = time.perf_counter()
        try:
            res = fit(base, data, ["diff_gel"], scheme="second-order", accuracy=0.01, program=program,
                      flow=mode, flow_cache=work / f"fit_cache_{mode}",
                      time_limit=None if mode == "reuse" else args.fit_limit)
        except FitError as exc:  # the coupled runs of a refined grid end at maxit
            out.append(("examples/fit", f"fit --accuracy, {mode}", time.perf_counter() - began,
                        f"stopped: {exc}"[:160]))
            continue
        seconds = time.perf_counter() - began
        grids = ",".join(f"x{g.factor}" for g in res.accuracy.grids)
        state = "reached" if res.accuracy.reached else f"not reached ({res.accuracy.stopped})"
        out.append(("examples/fit", f"fit --accuracy, {mode}", seconds,
                    f"D_gel {res.estimate[0]:.5g}, grid error {res.discretisation_error[0] / res.estimate[0]:.2%}, "
                    f"grids {grids}, {res.evaluations} runs, accuracy {state}"))
    return out


def coupled_note(run):
    warned = 0
    if run.console is not None:
        warned = run.console.count("CONVERGENCE CRITERION NOT SATISFIED")
    return f"{len(run.residuals)} outer iterations, {warned} steps at the iteration limit"


if __name__ == "__main__":
    sys.exit(main())
