#!/usr/bin/python3
"""Benchmark (not a test) of a joint fit of two experiments with the flow
solved: the fit example's problem (examples/fit/PROB.INP, 32 columns,
40/4/8 rows, 60 steps of 10 s) with a gel of 0.5 mm on 8 rows (experiment
``thick``) and of 0.25 mm on 4 rows (``thin``), both diffusivities fitted
at once,

    questrand fit --experiment thick/PROB.INP thick/data.csv \\
        --experiment thin/PROB.INP thin/data.csv \\
        --param diff_memb --param diff_gel --accuracy 0.01

The data are the program's own c_gel_mean curves at D_memb = 5e-10,
D_gel = 8e-10 m2/s on the given grids (flow reused), plus seeded noise of
sigma 1e-3 with a sigma column.  The program's curves hide the grid's error
from the fit, so this measures time only, not accuracy.  The fit starts
from D_memb = 2e-10, D_gel = 3e-10.  Prints the wall time, the model runs,
whether the model runs are made in memory (the solver module beside the
program) and the estimates.  Target: within 60 s on 2 cores.

    PYTHONPATH=python /usr/bin/python3 bench/joint_fit.py [--program build/questrand] [--scratch DIR]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
import questrand  # noqa: E402
from questrand import solver  # noqa: E402

TRUE_DIFF_MEMB, TRUE_DIFF_GEL = 5.0e-10, 8.0e-10
START_DIFF_MEMB, START_DIFF_GEL = 2.0e-10, 3.0e-10
SIGMA = 1.0e-3
#: name, gel thickness (m), gel rows (the same cell depth), noise seed
EXPERIMENTS = (("thick", 5.0e-4, 8, 1), ("thin", 2.5e-4, 4, 2))


def make_experiment(directory, base, th_gel, n_gel, seed, program, flow_cache):
    """Write ``directory``/PROB.INP (the base problem with this gel, at the
    fit's start) and ``directory``/data.csv (time, c_gel_mean, sigma: the
    program's curve at the true diffusivities plus noise of SIGMA)."""
    directory.mkdir(parents=True, exist_ok=True)
    experiment = base.replace(th_gel=th_gel, n_gel=n_gel)
    experiment.replace(diff_memb=START_DIFF_MEMB, diff_gel=START_DIFF_GEL).write(directory / "PROB.INP")
    truth = questrand.run(experiment.replace(diff_memb=TRUE_DIFF_MEMB, diff_gel=TRUE_DIFF_GEL),
                          directory / "truth", program=program, flow="reuse", flow_cache=flow_cache)
    times = truth.uptake["time"].to_numpy()
    curve = truth.uptake["c_gel_mean"].to_numpy()
    noisy = curve + SIGMA * np.random.default_rng(seed).standard_normal(len(curve))
    lines = ["time,c_gel_mean,sigma"] + [f"{t:.6g},{c:.6g},{SIGMA:.6g}" for t, c in zip(times, noisy)]
    (directory / "data.csv").write_text("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default=os.environ.get("QUESTRAND_PROGRAM", str(ROOT / "build" / "questrand")))
    parser.add_argument("--scratch", type=Path, default=None)
    args = parser.parse_args()
    program = str(Path(args.program).resolve())
    scratch = args.scratch or Path(tempfile.mkdtemp(prefix="questrand-joint-bench."))
    scratch.mkdir(parents=True, exist_ok=True)
    data_cache = scratch / "data-flow-cache"
    base = questrand.Problem.read(ROOT / "examples" / "fit" / "PROB.INP")
    for name, th_gel, n_gel, seed in EXPERIMENTS:
        make_experiment(scratch / name, base, th_gel, n_gel, seed, program, data_cache)

    env = dict(os.environ, QUESTRAND_PROGRAM=program, PYTHONPATH=str(ROOT / "python"),
               QUESTRAND_FLOW_CACHE=str(scratch / "flow-cache"))  # cold: the fit solves its own flows
    command = [sys.executable, "-m", "questrand", "fit"]
    for name, *_ in EXPERIMENTS:
        command += ["--experiment", f"{name}/PROB.INP", f"{name}/data.csv"]
    command += ["--param", "diff_memb", "--param", "diff_gel", "--accuracy", "0.01", "--json", "fit.json"]
    began = time.perf_counter()
    done = subprocess.run(command, cwd=scratch, env=env, capture_output=True, text=True)
    wall = time.perf_counter() - began
    (scratch / "fit.txt").write_text(done.stdout + done.stderr)
    if done.returncode != 0:
        sys.exit(f"fit failed ({done.returncode}), see {scratch / 'fit.txt'}:\n{done.stderr[-2000:]}")
    result = json.loads((scratch / "fit.json").read_text())
    output = (done.stdout + done.stderr).splitlines()
    runs = next((line for line in output if line.endswith(" s") and "model runs" in line), "?")
    shortfalls = [line for line in output if line.startswith("warning:")]
    module = solver.module_path(program) if solver.load(program) is not None else None
    print(f"joint fit, 2 experiments, cold flow cache: {wall:.1f} s wall "
          f"(the fit's own figure {result['wall_time']:.1f} s)")
    print(f"model runs: {result['evaluations']} (report: {runs})")
    print(f"in-process solver: {'yes, ' + str(module) if module else 'no, every model run a process'}")
    for line in output:
        if line.startswith(("grid x", "iteration error", "least squares", "grid check")):
            print(f"  {line}")
    print("accuracy 0.01: " + ("reached" if not shortfalls else "; ".join(shortfalls)))
    for name, truth in (("diff_memb", TRUE_DIFF_MEMB), ("diff_gel", TRUE_DIFF_GEL)):
        entry = result["parameters"][name]
        print(f"{name}: {entry['estimate']:.5g} (truth {truth:.3g}, "
              f"{100 * (entry['estimate'] / truth - 1):+.2f} %), 95 % [{entry['ci95'][0]:.4g}, {entry['ci95'][1]:.4g}]")
    print(f"output in {scratch}")


if __name__ == "__main__":
    main()
