#!/usr/bin/env python3
"""One run of a sweep: the job of the workflow's ``run_case`` rule.

    run_case.py --program PATH --problem TEXT [--inputs JSON] [--timeout S]
                [--flow reuse|coupled --flow-cache DIR] [--scheme standard|second-order|second-order-graded]
                [--start-dt SECONDS] RUNDIR

Empties RUNDIR (a rerun starts clean: the program appends to monitor.dat),
writes TEXT as RUNDIR/PROB.INP (and the files of JSON, {name: text}:
its PHYSICS.INP and inlet table), runs the program there (console output in
console.txt, standard error in stderr.txt) and writes RUNDIR/run.json:

    {"status": "ok" | "failed", "exit_status": N or null, "error": "...",
     "wall_time": seconds, "program": PATH, "scheme": "standard" | "second-order" | "second-order-graded",
     "start_dt": SECONDS (with --start-dt),
     "flow": "reuse" | "coupled" | "not solved",
     "files": {NAME: size in bytes, ...}}

``files`` lists every file the run left in RUNDIR (run.json and hidden
files aside); the sweep counts a run as done only while they are all there
with these sizes.  Ctrl-C ends the job with status 130 and no record.

With ``--flow reuse`` (the sweep's default) a transient problem whose flow
can be reused gets its steady flow from the cache DIR (solved there once per
distinct flow, see questrand.flow) and the run solves only the
concentration: PROB.INP is then the problem actually run (flow switch F,
restart file read) and the problem as given is kept in PROB.INP.given;
run.json adds "flow_key", "flow_cached" and "flow_time" (seconds spent
getting the flow).  Other problems run as given, with "flow_note" saying why.

A run the program ends with a non-zero exit status (or that exceeds the
timeout) is a result like any other: it is recorded as failed and this job
succeeds, so the sweep's summary lists it.  Only a job that cannot run the
program at all, or that is killed, fails.

The run is made by the toolkit's runner (questrand.runner.execute), which
the interpreter running this script must be able to import.
"""

import argparse
import contextlib
import json
import os
import shutil
import sys
import warnings
from pathlib import Path

from questrand.errors import QuestrandError, RunError
from questrand.program import SCHEMES
from questrand.runner import execute

RECORD = "run.json"


def error_line(stderr: str) -> str:
    """The program's error report: its first non-empty line on standard error."""
    for line in stderr.splitlines():
        if line.strip():
            return line.strip()
    return ""


def empty(directory: Path) -> None:
    for entry in directory.iterdir():
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
        else:
            entry.unlink()


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Run the questrand program for one run of a sweep.")
    parser.add_argument("--program", required=True)
    parser.add_argument("--problem", required=True, help="the text of PROB.INP")
    parser.add_argument("--inputs", default="{}", help="the other input files as JSON {name: text}")
    parser.add_argument("--timeout", type=float, default=None)
    parser.add_argument("--flow", choices=("reuse", "coupled"), default="coupled")
    parser.add_argument("--flow-cache", default="flow-cache")
    parser.add_argument("--scheme", choices=SCHEMES, default="standard")
    parser.add_argument("--start-dt", type=float, default=None,
                        help="the second-order start's time step (the program's --start-dt)")
    parser.add_argument("rundir")
    args = parser.parse_args(argv)

    try:
        return run(args)
    except KeyboardInterrupt:
        # Ctrl-C: subprocess.run has stopped the program; no record is written,
        # so the sweep runs this run again.
        return 130


def run(args) -> int:
    rundir = Path(args.rundir)
    rundir.mkdir(parents=True, exist_ok=True)
    empty(rundir)
    (rundir / "PROB.INP").write_bytes(os.fsencode(args.problem))  # the bytes given
    record = {"status": "ok", "exit_status": 0, "error": "", "wall_time": None,
              "program": args.program, "scheme": args.scheme,
              **({"start_dt": args.start_dt} if args.start_dt is not None else {})}
    if args.flow != "reuse":
        record["flow"] = flow_label_coupled(args.problem)
    # the warnings of the steady flow go into the record
    recording = warnings.catch_warnings(record=True) if args.flow == "reuse" else contextlib.nullcontext([])
    with recording as caught:
        if args.flow == "reuse":
            from questrand.flow import FlowWarning
            warnings.simplefilter("always", FlowWarning)
        try:
            done = execute(args.problem, rundir, program=args.program, scheme=args.scheme,
                           timeout=args.timeout, flow=args.flow, flow_cache=Path(args.flow_cache),
                           streams=True, inputs=json.loads(args.inputs), start_dt=args.start_dt)
        except OSError as exc:
            print(f"run_case: {args.program}: cannot run the program: {exc.strerror}", file=sys.stderr)
            return 1
    if args.flow == "reuse":
        failure = reuse_flow(args, rundir, record, done, caught)
        if failure is not None:
            return failure
    if record["status"] != "ok":
        write_record(rundir, record)
        return 0
    record["exit_status"] = done.returncode
    if done.timed_out:
        record.update(status="failed", exit_status=None,
                      error=f"no end after {args.timeout:g} s (stopped)")
    record["wall_time"] = done.wall_time
    if record["exit_status"] is not None and record["exit_status"] < 0:
        # killed by a signal (out of memory, a scheduler's limit): not a result
        print(f"run_case: {args.program} in {rundir} was killed by signal {-record['exit_status']}",
              file=sys.stderr)
        return 1
    if record["exit_status"]:
        record["status"] = "failed"
        record["error"] = (error_line(done.stderr)
                           or "(nothing on standard error)")
    elif record["exit_status"] == 0 and done.record is None:  # the program's own record is the judge
        record.update(status="failed", error=done.record_error)
    elif done.record is not None:
        record["maxit_steps"] = list(done.record.maxit_steps)
    write_record(rundir, record)
    return 0


def write_record(rundir: Path, record: dict) -> None:
    # Every file the run left, with its size: the sweep checks the directory
    # still holds them before it counts the run as done.
    record["files"] = {p.name: p.stat().st_size for p in sorted(rundir.iterdir())
                       if p.is_file() and not p.name.startswith(".") and p.name != RECORD}
    partial = rundir / (RECORD + ".part")
    partial.write_text(json.dumps(record, indent=1) + "\n")
    os.replace(partial, rundir / RECORD)


def flow_label_coupled(problem_text: str) -> str:
    """The flow entry of a run made as given: "coupled", or "not solved"
    when its flow switch is off ("" when the text is no problem)."""
    from questrand.problem import Problem

    try:
        return "coupled" if Problem.parse(problem_text).solve_u else "not solved"
    except ValueError:
        return ""


def reuse_flow(args, rundir: Path, record: dict, done, caught):
    """Record how a reused-flow run got its steady flow; returns an exit
    status when the job itself fails, else None."""
    record["flow"] = done.flow
    if done.flow_note is not None:  # not reusable: run as given
        record["flow_note"] = done.flow_note
        return None
    exc = done.flow_error
    if isinstance(exc, RunError):  # the program failed on the steady flow: a result like any other
        if exc.returncode is not None and exc.returncode < 0:
            print(f"run_case: {args.program} was killed by signal {-exc.returncode} (steady flow)",
                  file=sys.stderr)
            return 1
        record.update(status="failed", exit_status=exc.returncode,
                      error="steady flow: " + (error_line(exc.stderr) or "(nothing on standard error)"))
        # the steady run's outputs stand for the run's
        (rundir / "console.txt").write_text(exc.stdout or "", errors="replace")
        (rundir / "stderr.txt").write_text(exc.stderr or "", errors="replace")
        return None
    if isinstance(exc, QuestrandError):
        record.update(status="failed", exit_status=None, error=f"steady flow: {str(exc).splitlines()[0]}")
        return None
    if isinstance(exc, OSError):
        print(f"run_case: steady flow: {exc}", file=sys.stderr)
        return 1
    if exc is not None:
        raise exc
    record.update(flow_key=done.steady.key, flow_cached=done.steady.cached, flow_time=done.flow_time)
    if caught:
        record["flow_note"] = str(caught[0].message)
    (rundir / "PROB.INP.given").write_bytes(os.fsencode(args.problem))
    return None


if __name__ == "__main__":
    sys.exit(main())
