"""The model runs of a design study: one program run per distinct problem.

Every run a study needs (each design's problem at the nominal parameters
and with each parameter moved, on each grid) is a whole PROB.INP; runs with
the same text are made once.  Each run gives every column of the uptake
file (and of the monitor file, when the study reads a probe), so designs
that differ only in what they measure or when share their runs.

Two ways of making them:

- local (default): a pool of ``jobs`` worker processes on this machine,
  the steady flow solved once per distinct flow and reused
  (:mod:`questrand.flow`); each run made in memory by the solver module of
  the program's build when the study's ``observables`` are uptake columns, else
  (a monitor probe, ``QUESTRAND_IN_PROCESS=0``, no module) as a process in
  a scratch directory (:func:`questrand.solver.model_tables`);
- ``profile`` (e.g. ``slurm``, ``--workflow-profile``): the runs are the
  rows of a sweep (:mod:`questrand.sweep`) in ``ROOT/sweep``, made by the
  sweep's Snakemake workflow with that profile (one Slurm job per run) and
  the study's scheme, the steady flows reused through the sweep's flow
  cache.  Snakemake skips runs that are already whole on disk, so a study
  run again reuses them.
"""

from __future__ import annotations

import dataclasses
import json
import shutil
import subprocess
from pathlib import Path

import numpy as np

from .. import files, interrupts
from ..problem import Problem
from ..results import MONITOR_FILE
from ..errors import OutputFileError
from ..program import find_program, read_record, run_fault
from ..runner import model_monitor, model_uptake, unit_inlet
from .table import DesignError


def _table_columns(uptake, monitor) -> dict:
    """Every column of an uptake table and of a monitor history (either None)."""
    out = {}
    if uptake is not None:
        out.update({name: np.array(uptake[name], dtype=float) for name in uptake.columns})
    if monitor is not None:
        out["@monitor"] = {name: np.array(monitor[name], dtype=float) for name in monitor.columns}
    return out


def _columns(workdir: Path, runname: str, scale: float) -> dict:
    """Every column of a sweep run's uptake file and last monitor history,
    its concentrations and amounts times ``scale`` (:func:`unit_inlet`)."""
    return _table_columns(model_uptake(workdir, runname, scale), model_monitor(workdir, scale))


def _one_run(program, problem, workdir, timeout, scheme, flow, flow_cache, monitor=True):
    """Run one problem in ``workdir``: ("ok", columns) or ("error", line).
    Without ``monitor`` (no design of the study measures a monitor probe)
    the run is made in memory when the solver module is there
    (:func:`questrand.solver.model_tables`): its uptake columns alone, the
    same numbers as the uptake file."""
    from ..solver import model_tables

    workdir = Path(workdir)
    try:
        done = model_tables(problem, workdir, program=program, scheme=scheme, timeout=timeout, flow=flow,
                            flow_cache=flow_cache, monitor=monitor)
        if done[0] != "ok":
            return done
        return ("ok", _table_columns(done[1], done[2]))
    except Exception as exc:  # reported as the run's own error line
        return ("error", f"{type(exc).__name__}: {exc}".splitlines()[0])
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


@dataclasses.dataclass
class Runner:
    """Makes the runs of a study (see the module notes) and remembers them."""

    root: Path
    program: str | None = None
    jobs: int | None = None
    timeout: float | None = None
    scheme: str = "standard"
    flow: str = "reuse"
    flow_cache: str | None = None
    profile: str | None = None
    base_path: Path | None = None
    observables: tuple | None = None   # what the study reads (None: any column, the monitor's too)

    def __post_init__(self):
        self.root = Path(self.root)
        self.program = str(find_program(self.program))
        self.workers = interrupts.Workers(self.jobs)
        self.jobs = self.workers.jobs
        self.runs = 0
        self._cache = {}

    def close(self):
        self.workers.close()

    def tables(self, problems, labels=None) -> list:
        """The columns of each problem's run (runs made as needed);
        ``labels`` name the runs in an error message."""
        # a run is known by its problem's identity: its PROB.INP and physics files
        texts = [p.identity() for p in problems]
        named = dict(zip(texts, labels or ()))
        by_text = dict(zip(texts, problems))
        todo = list(dict.fromkeys(t for t in texts if t not in self._cache))
        if todo:
            todo_problems = [by_text[t] for t in todo]
            results = self._sweep(todo_problems) if self.profile else self._local(todo_problems)
            for text, result in zip(todo, results):
                if result[0] != "ok":
                    what = named.get(text, "a model run")
                    raise DesignError(f"model run of {what} failed: {result[1]}")
                self._cache[text] = result[1]
        return [self._cache[t] for t in texts]

    def _local(self, problems) -> list:
        from ..fit import UPTAKE_OBSERVABLES

        # the monitor history (monitor.dat) is read from a process's files alone
        monitor = self.observables is None or any(name not in UPTAKE_OBSERVABLES for name in self.observables)
        arguments = []
        for problem in problems:
            self.runs += 1
            arguments.append((self.program, problem, str(self.root / f"run-{self.runs:05d}"), self.timeout,
                              self.scheme, self.flow, self.flow_cache, monitor))
        return self.workers.map(_one_run, arguments)

    def _sweep(self, problems) -> list:
        """The runs as rows of a sweep made by the workflow with the profile."""
        from .. import sweep as qsweep

        outdir = (self.root / "sweep").resolve()
        outdir.mkdir(parents=True, exist_ok=True)
        # the runs are made at c_in = 1 and scaled back, as every model run is
        runs = [unit_inlet(problem) for problem in problems]
        base = self.base_path or outdir / "base.INP"
        if self.base_path is None:
            runs[0][0].write(base)  # with its physics beside it
        base_problem = Problem.read(base)
        known = getattr(self, "_rows", {})
        rows = {}   # problems that differ in c_in alone share one run
        for problem, _ in runs:
            text = problem.identity()
            values = {k: v for k, v in problem.as_dict().items() if getattr(base_problem, k) != v}
            values.update(physics_changes(base_problem, problem))
            if problem.start_dt != base_problem.start_dt:  # a refined grid's start (Problem.start_dt)
                values["start_dt"] = problem.start_dt
            known.setdefault(text, f"r{len(known) + 1:05d}")
            rows.setdefault(known[text], (f"run {known[text]}", known[text], values))
        rows = list(rows.values())
        self._rows = known
        self.runs += len(rows)
        sweep = qsweep.Sweep.from_rows(base, rows, sorted({k for _, _, v in rows for k in v}),
                                       source="design runs", program=self.program,
                                       timeout=self.timeout, flow=self.flow, scheme=self.scheme)
        config = json.dumps(sweep.to_config(), indent=1) + "\n"
        files.write_text(outdir / qsweep.CONFIG_FILE, config)
        # the rows are checked already: the workflow reads them without checking again
        qsweep.write_prepared(sweep, qsweep.definition_key(sweep.to_config()), outdir)
        command = qsweep.snakemake_command(outdir, cores=self.jobs, profile=self.profile)
        done = subprocess.run(command, cwd=outdir, capture_output=True, text=True, env=qsweep.snakemake_env())
        if done.returncode != 0:
            tail = " ".join(done.stderr.strip().splitlines()[-2:])
            raise DesignError(f"snakemake ended with exit status {done.returncode} in {outdir}: {tail}")
        made = {row[1]: run for row, run in zip(rows, sweep.runs)}
        results = []
        for problem, scale in runs:
            run = made[known[problem.identity()]]
            record = qsweep.read_record(outdir / run.workdir) or {}
            if record.get("status") != "ok":
                results.append(("error", record.get("error") or "no record of the run"))
                continue
            # judged as a local model run is: by the program's record, no step at maxit
            try:
                fault = run_fault(read_record(outdir / run.workdir, run.problem.runname), run.problem.maxit)
            except OutputFileError as exc:
                fault = str(exc)
            if fault:
                results.append(("error", fault))
            else:
                results.append(("ok", _columns(outdir / run.workdir, run.problem.runname, scale)))
        return results


def physics_changes(base: Problem, problem: Problem) -> dict:
    """The physics keys whose values differ between ``base`` and
    ``problem``, as a sweep row's values; an inlet table cannot be a value
    of a row, so the two must share it."""
    from ..physics import REAL_KEYS, CHOICES

    def inlet(p):
        return p.physics.inlet_rows() if p.physics is not None else None

    if inlet(base) != inlet(problem):
        raise DesignError("the design's runs differ in their inlet table: a sweep of them cannot be made")
    return {k: getattr(problem, k) for k in (*REAL_KEYS, *CHOICES) if getattr(problem, k) != getattr(base, k)}


def column(table: dict, observable: str):
    """``(times, values)`` of an observable in a run's columns."""
    from ..fit import UPTAKE_OBSERVABLES
    if observable in UPTAKE_OBSERVABLES:
        if observable not in table:
            raise DesignError(f"the program wrote no uptake file with {observable}")
        return table["time"], table[observable]
    monitor = table.get("@monitor")
    if monitor is None or observable not in monitor:
        raise DesignError(f"the program wrote no {MONITOR_FILE} with {observable}")
    return monitor["time"], monitor[observable]
