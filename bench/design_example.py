#!/usr/bin/python3
"""Benchmark (not a test) of the design study of examples/design with its
check by simulated fits, as docs/design-of-experiments.md runs it:

    questrand design PROB.INP designs.csv --param diff_memb --param diff_gel \\
        --rank halfwidth:diff_gel -o OUT --simulate 30

16 candidate experiments of the slab-like problem (flow not solved), grids
up to x8, then 30 simulated experiments of the best, the worst identifiable
and the last not identifiable design, each fitted.  Prints the wall time of
the study with its check (the call :func:`questrand.design.design` that
the command makes), the model runs of the study and of the check's fits
(those all the fits start with made once), the study's first output line
and per checked design its fits and model runs; ``--process`` runs it with QUESTRAND_IN_PROCESS=0
(every model run a process), ``--both`` runs the two ways one after the
other and says whether design.csv and check.csv are the same bytes.

    PYTHONPATH=python /usr/bin/python3 bench/design_example.py [--program build/questrand]
        [--simulate N] [--jobs J] [--process | --both] [--scratch DIR]
"""

import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
from questrand import solver  # noqa: E402
from questrand.design import design, format_study  # noqa: E402

EXAMPLE = ROOT / "examples" / "design"
NAMES = ["diff_memb", "diff_gel"]


def run_design(outdir: Path, in_process: bool, args):
    """One study with its check, its outputs in ``outdir``: (wall seconds, the study)."""
    os.environ[solver.IN_PROCESS_ENV] = "1" if in_process else "0"
    started = time.perf_counter()
    study = design(EXAMPLE / "PROB.INP", EXAMPLE / "designs.csv", NAMES, criterion="halfwidth:diff_gel",
                   check_fits=args.simulate, jobs=args.jobs, program=args.program, outdir=outdir)
    return time.perf_counter() - started, study


def report(label: str, wall: float, study, program) -> None:
    lines = format_study(study).splitlines()
    check_runs = sum(c.runs for c in study.checks)
    print(f"{label}: wall time {wall:.1f} s ({wall / 60:.2f} min); model runs {study.runs + check_runs} "
          f"(the study {study.runs} in {study.seconds:.1f} s, the check's fits {check_runs})")
    print(f"  model runs in memory: {'yes' if solver.load(program) is not None else 'no'}")
    print(f"  {lines[0]}")
    for c in study.checks:
        print(f"  check of {c.role} design {c.design_id}: {len(c.estimates)} fits, {len(c.failed)} failed, "
              f"{c.runs} model runs; spread/predicted "
              + ", ".join(f"{n} {r:.3g}" for n, r in zip(c.names, c.ratio)))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", help="the program (default: $QUESTRAND_PROGRAM or the build)")
    parser.add_argument("--simulate", type=int, default=30, metavar="N", help="simulated fits per design (30)")
    parser.add_argument("--jobs", type=int, help="parallel model runs and fits (default: one per core)")
    way = parser.add_mutually_exclusive_group()
    way.add_argument("--process", action="store_true", help="every model run a process (QUESTRAND_IN_PROCESS=0)")
    way.add_argument("--both", action="store_true", help="as processes, then in memory; compare the outputs")
    parser.add_argument("--scratch", help="where to write the outputs (default: a temporary directory, removed)")
    args = parser.parse_args()
    scratch = Path(args.scratch) if args.scratch else Path(tempfile.mkdtemp(prefix="questrand-design-bench-"))
    scratch.mkdir(parents=True, exist_ok=True)
    try:
        ways = [("as processes", False), ("in memory", True)] if args.both else \
            [("as processes", False)] if args.process else [("default", True)]
        outputs = []
        for label, in_process in ways:
            outdir = scratch / label.replace(" ", "-")
            wall, study = run_design(outdir, in_process, args)
            report(label, wall, study, args.program)
            outputs.append(outdir)
        if args.both:
            for name in ("design.csv", "check.csv", "sensitivity.csv"):
                same = (outputs[0] / name).read_bytes() == (outputs[1] / name).read_bytes()
                print(f"{name}: {'the same bytes' if same else 'DIFFERENT'} both ways")
    finally:
        if not args.scratch:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
