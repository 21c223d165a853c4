"""The ``sweep`` command: check the sweep, write its configuration, run the
workflow on it with snakemake and report the runs that failed."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

from .. import files, interrupts
from ..interrupts import cores
from ..options import (add_jobs, add_program, add_timeout, add_workflow_profile, check_jobs,
                       check_seconds, default_jobs, old_spelling)
from ..runner import SCHEMES
from .definition import FLOW_MODES, Sweep, SweepError, definition_key, read_prepared, write_prepared
from .execution import (CONFIG_FILE, RECORD_FILE, _record_or_none, _stop, finished, run_fault,
                        snakemake_command, snakemake_env, snakemake_launcher)
from .summary import PLOT_FILE, SUMMARY_FILE, _read_summary


def add_parser(subparsers):
    """The ``sweep`` command."""
    parser = subparsers.add_parser(
        "sweep", help="run a parameter sweep (Snakemake; local cores or a Slurm cluster)",
        description="Run the base problem once per row of SWEEP.csv (or per combination of "
                    "--grid values), one run directory each, with the Snakemake workflow "
                    "workflow/Snakefile; then write OUTDIR/summary.csv and OUTDIR/uptake.png. "
                    "Finished runs whose problem did not change are not run again.")
    parser.add_argument("problem", metavar="PROB.INP", help="the base problem")
    parser.add_argument("table", metavar="SWEEP.csv", nargs="?",
                        help="one run per row: a header of problem names (u_in, diff_gel, th_gel, "
                             "ni, ...) and an optional id column")
    parser.add_argument("--grid", nargs="+", metavar="NAME=v1,v2",
                        help="sweep every combination of these value lists instead of a CSV")
    parser.add_argument("-o", "--outdir", required=True, help="the sweep's directory")
    old_spelling(parser, "--cores", add_jobs(
        parser, "runs at once on this machine",
        f"the number of cores, here {cores()}; with --workflow-profile, the profile's setting"))
    add_workflow_profile(parser, "a Snakemake profile: 'slurm' (workflow/profiles/slurm: each run a "
                                 "Slurm job), another folder of workflow/profiles, or a path")
    add_timeout(parser, "a run", " (recorded as failed)")
    add_program(parser)
    parser.add_argument("--flow", choices=FLOW_MODES, default="reuse",
                        help="reuse (default): solve the steady flow of a transient problem once per "
                             "distinct flow (cached in OUTDIR/flow-cache) and run only the "
                             "concentration from it; coupled: solve the flow in every time step as "
                             "the input asks. Recorded in the summary's flow column")
    parser.add_argument("--scheme", choices=SCHEMES, default="standard",
                        help="the program's scheme for the concentration (default standard); "
                             "recorded in the summary's scheme column")
    parser.add_argument("--dry-run", action="store_true", help="show what would run, run nothing")
    parser.add_argument("--snakemake-args", metavar="ARGS", default="",
                        help="further snakemake options, as one quoted string")
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    from ..runner import find_program

    if (args.table is None) == (args.grid is None):
        raise SweepError("give either SWEEP.csv or --grid NAME=v1,v2,... (one of the two)")
    check_jobs(args.jobs)
    check_seconds("--timeout", args.timeout)
    program = str(find_program(args.program))
    # the names, values and ids now; the program's checks once, below, unless the
    # sweep's directory holds this very sweep already checked (its prepared file)
    options = {"program": program, "timeout": args.timeout, "flow": args.flow, "scheme": args.scheme,
               "check": False}
    if args.table is not None:
        sweep = Sweep.from_csv(args.problem, args.table, **options)
    else:
        sweep = Sweep.from_grid(args.problem, args.grid, **options)
    snakemake = snakemake_launcher()
    if snakemake is None:
        raise SweepError("snakemake not found on PATH: install the Debian package snakemake")

    outdir = Path(args.outdir).resolve()
    key = definition_key(sweep.to_config())
    if read_prepared(outdir, key) is None:
        sweep.check(base_label=args.problem)
        outdir.mkdir(parents=True, exist_ok=True)
        write_prepared(sweep, key, outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    try:
        return _sweep(args, sweep, outdir, snakemake)
    except KeyboardInterrupt:
        count = len(finished(sweep, outdir))
        raise interrupts.Interrupted(f"interrupted; {count} of {len(sweep.runs)} runs finished, "
                                     "run the same command to resume") from None


def _sweep(args, sweep: Sweep, outdir: Path, snakemake: list) -> int:
    """Write the configuration, run Snakemake on it and report."""
    import shlex

    config = json.dumps(sweep.to_config(), indent=1) + "\n"
    config_path = outdir / CONFIG_FILE
    if not config_path.is_file() or config_path.read_bytes() != config.encode():
        files.write_text(config_path, config)
    # Every run that is not whole on disk is run (again): a failed run (the record
    # of its failure is not a result to keep), a run never made or interrupted, and
    # a finished run whose directory lost files or changed (Snakemake itself only
    # looks at the records, and not at all once the summary is newer than they are).
    whole = {run.id for run in finished(sweep, outdir)}
    forcerun = []
    for run in sweep.runs:
        if run.id in whole:
            continue
        forcerun.append(f"{run.workdir}/{RECORD_FILE}")
        record = _record_or_none(outdir / run.workdir)
        if record is not None and record.get("status") == "ok":
            print(f"questrand sweep: run {run.id} is not whole on disk "
                  f"({run_fault(run, outdir / run.workdir, record)}): running it again",
                  file=sys.stderr)
    # snakemake's --cores: --jobs, else one run per core here (a profile keeps its own)
    jobs = args.jobs if args.jobs is not None or args.workflow_profile else default_jobs(None)
    command = snakemake_command(outdir, cores=jobs, profile=args.workflow_profile,
                                dry_run=args.dry_run, forcerun=forcerun, snakemake=snakemake)
    command += shlex.split(args.snakemake_args)
    env = snakemake_env()
    print(f"questrand sweep: {len(sweep.runs)} runs in {outdir}", file=sys.stderr)
    # snakemake runs in the sweep's directory: Slurm jobs start there (sbatch -D) and
    # write their logs under its .snakemake/slurm_logs.
    process = subprocess.Popen(command, env=env, cwd=outdir)
    try:
        returncode = process.wait()
    except KeyboardInterrupt:
        _stop(process)
        raise
    if args.dry_run:
        return returncode
    rows = _read_summary(outdir / SUMMARY_FILE) if (outdir / SUMMARY_FILE).is_file() else None
    if returncode != 0 or rows is None:
        print(f"questrand sweep: snakemake ended with exit status {returncode}; "
              f"see its log above and {outdir}/.snakemake/log", file=sys.stderr)
        return returncode or 1
    failed = [row for row in rows if row["status"] != "ok"]
    print(f"questrand sweep: {len(rows) - len(failed)} of {len(rows)} runs ok; "
          f"summary {outdir / SUMMARY_FILE}, plot {outdir / PLOT_FILE}", file=sys.stderr)
    for row in failed:
        status = f"exit status {row['exit_status']}" if row["exit_status"] != "" else row["status"]
        print(f"questrand sweep: run {row['id']} failed ({status}): {row['error']}", file=sys.stderr)
    return 1 if failed else 0

