"""Solution verification (``questrand converge``): how far a grid's answers
are from the grid-independent ones.

The problem runs on its own grid and on grids 2 and 4 times finer in rows,
columns and time step together (as far as the program's 350 nodes allow;
:func:`questrand.refine.refined`).  For each observable of the uptake file
(the layer means, the point values, the outlet concentration ...), over the
whole curve and at chosen times, :func:`questrand.refine.richardson` gives
the observed order, the extrapolated value, the error of the given grid and
its uncertainty (the safety factor included; two grids assume the lowest
order the scheme may show, three measure it, four or more fit it by least
squares).  The curves of the finer grids are interpolated linearly in time
to the given grid's step times (which they contain).

First comes, per observable, the worst uncertainty over the whole curve (at
every step time of the given grid), then the values at the chosen times:
by default 1/16, 1/8, 1/4, 1/2 and the whole of the run (the step times
nearest to them), so that the early uptake, where the grid's error is
often largest, is among them.  Every line says which estimate was used and
why (:attr:`questrand.refine.Extrapolation.method` and ``note``).
"""

from __future__ import annotations

import dataclasses
import json
import math
import shutil
import sys
import tempfile
import time as _time
from pathlib import Path

import numpy as np

from . import interrupts
from .errors import QuestrandError
from .options import (add_cell_width, add_jobs, add_program, add_report, add_timeout, cell_width, check_jobs,
                      check_report_path, check_seconds, default_jobs)
from .problem import Problem
from .refine import (FORMAL_ORDER, LOWEST_ORDER, Extrapolation, grid_size, refined, refinements,
                     richardson, scheme_orders)
from .results import UPTAKE_NAMES, UPTAKE_PHYSICS_NAMES
from .runner import FLOW_MODES

#: Observables studied unless others are asked for.
DEFAULT_OBSERVABLES = ("c_memb_mean", "c_gel_mean", "c_memb_mid", "c_gel_mid", "c_gel_top", "c_out")
#: Observables a study may name: the columns of the uptake file.
OBSERVABLES = tuple(UPTAKE_NAMES[1:]) + UPTAKE_PHYSICS_NAMES  # the last two: runs with physics
#: The times reported unless others are asked for, as shares of the run.
DEFAULT_SHARES = (1 / 16, 1 / 8, 1 / 4, 1 / 2, 1.0)


class ConvergeError(QuestrandError, ValueError):
    """A convergence study that cannot be made; the message says why."""


@dataclasses.dataclass
class Study:
    """The outcome of :func:`study`: the grids (refinement factors and
    problems), per observable the extrapolations at each time and the worst
    over the curve."""

    problem: Problem
    scheme: str
    flow: str
    factors: list
    problems: list
    times: np.ndarray
    at_times: dict          # name -> [Extrapolation per time]
    curve: dict             # name -> (Extrapolation at the worst time, that time, curve scale)
    curves: dict            # name -> [(times, values) per grid]
    wall_time: float = 0.0

    def as_json(self) -> dict:
        grids = [{"factor": f, "columns": p.ni, "rows": [p.n_flow, p.n_memb, p.n_gel],
                  "dt": None if p.steady else p.dt, "nsteps": None if p.steady else p.nsteps}
                 for f, p in zip(self.factors, self.problems)]
        out = {"scheme": self.scheme, "flow": self.flow, "formal_order": FORMAL_ORDER[self.scheme],
               "lowest_order": LOWEST_ORDER[self.scheme], "grids": grids,
               "method": METHOD_TEXT, "observables": {}}
        for name, rows in self.at_times.items():
            worst, t_worst, scale = self.curve[name]
            out["observables"][name] = {
                "curve": {"worst_time": float(t_worst), "scale": scale,
                          "relative_error": worst.error / scale if scale else None,
                          "relative_uncertainty": worst.uncertainty / scale if scale else None,
                          **worst.as_json()},
                "times": [{"time": float(t), **e.as_json()} for t, e in zip(self.times, rows)]}
        out["wall_time"] = round(self.wall_time, 3)
        return out


#: How the uncertainties are estimated, in one line.
METHOD_TEXT = ("uncertainty of the given grid's value: two grids with the lowest order the scheme may "
               "show and Fs 3; three grids with the observed order (Fs 1.25 within 25 % of the "
               "formal order, else 3 with the order clipped); four or more by least squares "
               "(Eca and Hoekstra 2014)")


def _describe(problem: Problem) -> str:
    ni, nj = grid_size(problem)
    text = f"{ni} columns, {problem.n_flow}/{problem.n_memb}/{problem.n_gel} rows"
    return text if problem.steady else f"{text}, dt {problem.dt:g}"


def _one_run(problem: Problem, workdir: str, program, scheme: str, timeout, flow: str, flow_cache,
             keep: bool = True):
    """Run one grid; return (times, {name: values}) of the uptake file.  The
    run is made in memory by the solver module beside the program
    (:mod:`questrand.solver`) when there is one and ``workdir`` is not
    kept, else as a process."""
    from .runner import find_program
    from .solver import model_tables

    program = find_program(program)
    flow = "reuse" if flow == "reuse" else "coupled"
    done = model_tables(problem, workdir, program=program, scheme=scheme, flow=flow, flow_cache=flow_cache,
                        timeout=timeout, in_memory=not keep)
    fault, table = (None, done[1]) if done[0] == "ok" else (done[1], None)
    if fault is not None:
        raise ConvergeError(f"the run on the grid {_describe(problem)} failed: {fault}")
    if table is None:
        raise ConvergeError(f"the run on the grid {_describe(problem)} wrote no uptake file")
    return table["time"].to_numpy().copy(), {name: table[name].to_numpy().copy()
                                             for name in table.columns if name != "time"}


def study(problem: Problem, *, levels: int = 3, observables=None, times=None, scheme="standard",
          jobs=None, program=None, workdir=None, timeout=None, log=None, flow="reuse",
          flow_cache=None) -> Study:
    """Run ``problem`` on ``levels`` grids (factors 1, 2, 4 ...) and estimate
    the discretisation error of its observables (see the module notes).

    ``times`` (transient runs): the times to report (default: the step
    times nearest to 1/16, 1/8, 1/4, 1/2 and the whole of the run,
    :data:`DEFAULT_SHARES`); ``workdir`` keeps the runs
    (``xF`` per factor; default: a temporary directory, removed); ``jobs``
    parallel runs (default: one per grid, at most one per core).  ``flow``
    "reuse" (default, where the problem solves its flow) runs each grid's
    concentration from its steady flow, solved once and cached
    (:mod:`questrand.flow`); "coupled" solves the flow in every step.
    """
    from .flow import flow_label
    started = _time.perf_counter()
    say = log or (lambda line: None)
    if scheme not in FORMAL_ORDER:
        raise ConvergeError(f"--scheme {scheme}: expected one of {', '.join(FORMAL_ORDER)}")
    if problem.restart_in:
        raise ConvergeError("the problem reads a restart file (restart_in T); a convergence study "
                            "needs runs that start from time zero on every grid")
    if not problem.solve_c:
        raise ConvergeError("the problem does not solve the concentration (solve_c F)")
    names = list(observables or DEFAULT_OBSERVABLES)
    for name in names:
        if name not in OBSERVABLES:
            raise ConvergeError(f"--observable {name}: not a column of the uptake file "
                                f"({', '.join(OBSERVABLES)})")
    factors = refinements(problem, levels)
    if len(factors) < 2:
        raise ConvergeError(f"a grid twice as fine as {_describe(problem)} exceeds the program's "
                            "350 columns or rows: nothing to compare with")
    if len(factors) < levels:
        say(f"grids limited to x{factors[-1]} by the program's 350 columns or rows")
    problems = [refined(problem, f) for f in factors]
    flow = flow_label(problem, flow)
    own = workdir is None
    root = Path(tempfile.mkdtemp(prefix="questrand-converge-")) if own else Path(workdir)
    try:
        jobs = default_jobs(jobs, len(factors))
        args = [(p, str(root / f"x{f}"), program, scheme, timeout, flow,
                 None if flow_cache is None else str(flow_cache), not own) for f, p in zip(factors, problems)]
        workers = interrupts.Workers(jobs)
        try:
            results = workers.map(_one_run, args)
        finally:
            workers.close()
    finally:
        if own:
            shutil.rmtree(root, ignore_errors=True)
    base_times = results[0][0]
    for name in names:  # m_sink and m_reacted are written by runs with physics only
        if name not in results[0][1]:
            raise ConvergeError(f"--observable {name}: the runs' uptake files have no such column "
                                "(m_sink and m_reacted come with a PHYSICS.INP)")
    if problem.steady:
        chosen = base_times[-1:]
    elif times is None:
        end = float(base_times[-1])
        chosen = np.unique([base_times[np.argmin(np.abs(base_times - q * end))] for q in DEFAULT_SHARES])
    else:
        chosen = np.asarray(times, dtype=float)
        if np.any(chosen < base_times[0] - 1e-9) or np.any(chosen > base_times[-1] * (1 + 1e-9)):
            raise ConvergeError(f"--times: every time must lie within the run, "
                                f"{base_times[0]:g} .. {base_times[-1]:g}")
    formal, lowest = scheme_orders(scheme)
    at_times, curve, curves = {}, {}, {}
    for name in names:
        series = [(t, v[name]) for t, v in results]
        curves[name] = series
        on_base = [np.interp(base_times, t, v) for t, v in series]
        at_times[name] = [richardson([np.interp(tc, base_times, v) for v in on_base], 2.0, formal, lowest)
                          for tc in chosen]
        every = [richardson([v[k] for v in on_base], 2.0, formal, lowest) for k in range(len(base_times))]
        finite = [k for k, e in enumerate(every) if math.isfinite(e.uncertainty)]
        worst = max(finite, key=lambda k: every[k].uncertainty) if finite else len(every) - 1
        scale = float(np.nanmax(np.abs(on_base[-1]))) if len(on_base[-1]) else 0.0
        curve[name] = (every[worst], float(base_times[worst]), scale)
    return Study(problem=problem, scheme=scheme, flow=flow, factors=factors, problems=problems, times=chosen,
                 at_times=at_times, curve=curve, curves=curves,
                 wall_time=_time.perf_counter() - started)


def cell_amounts_of(st: Study, width=None, c_in=None) -> dict:
    """Per amount-per-depth observable of the study (m_gel, m_memb ...), the
    :class:`~questrand.units.CellAmount` of a cell ``width`` (m) wide
    ({} without a width)."""
    from .options import cell_amounts
    from .units import AMOUNTS_PER_DEPTH

    if width is None:
        return {}
    return {name: cell_amounts(width, c_in, st.problem, st.curve[name][2])
            for name in st.at_times if name in AMOUNTS_PER_DEPTH}


def in_cell_rows(st: Study, cells: dict) -> list:
    """Per amount observable and chosen time: (name, time, given grid,
    extrapolated, U) as amounts in the whole cell, in its unit."""
    return [(name, t, cell(e.values[0]), cell(e.extrapolated), cell(e.uncertainty))
            for name, cell in cells.items() for t, e in zip(st.times, st.at_times[name])]


def format_study(st: Study, source="PROB.INP", cells=None) -> str:
    """The study as a text table: per observable the worst over the curve
    first, then the chosen times; each with the estimate used and why.
    ``cells`` (:func:`cell_amounts_of`): the amounts also in the whole cell."""
    grids = "; ".join(f"x{f}: {_describe(p)}" for f, p in zip(st.factors, st.problems))
    formal, lowest = scheme_orders(st.scheme)
    lines = [f"convergence of {source} ({st.scheme} scheme, formal order {formal:g}, lowest order "
             f"{lowest:g}; flow {st.flow}): {grids}",
             "error = |given grid - extrapolated|; U = uncertainty of the given grid's value (safety "
             "factor Fs included); rel = U / |extrapolated|",
             METHOD_TEXT]
    head = f"{'observable':<13s} {'time':>9s} " + "".join(f"{'x' + str(f):>13s}" for f in st.factors)
    head += (f" {'order':>6s} {'extrapolated':>13s} {'error(x1)':>11s} {'U(x1)':>11s} {'rel':>8s} "
             f"{'Fs':>5s}  estimate")
    lines.append(head)
    notes = []

    def row(name, label, e: Extrapolation):
        text = f"{name:<13s} {label:>9s} " + "".join(f"{v:>13.6g}" for v in e.values)
        observed = "-" if e.observed_order is None else ("inf" if math.isinf(e.observed_order)
                                                         else f"{e.observed_order:.2f}")
        text += (f" {observed:>6s} {e.extrapolated:>13.6g} {e.error:>11.3g} {e.uncertainty:>11.3g} "
                 f"{e.gci[0]:>8.2%} {e.safety:>5g}  {e.method}")
        if e.note:
            notes.append(f"  {name} at {label}: {e.note}")
        return text

    for name, rows in st.at_times.items():
        worst, t_worst, scale = st.curve[name]
        if len(st.times) > 1 or not st.problem.steady:
            share = worst.uncertainty / scale if scale else math.nan
            lines.append(f"{name:<13s} {'curve':>9s}  worst U {worst.uncertainty:.3g} at time {t_worst:g} "
                         f"({share:.2%} of the curve's largest value {scale:.4g}; error "
                         f"{worst.error:.3g}); {worst.method}: {worst.note}")
        for t, e in zip(st.times, rows):
            lines.append(row(name, f"{t:g}", e))
    if notes:
        lines.append("notes:")
        lines.extend(dict.fromkeys(notes))
    for name, cell in (cells or {}).items():
        lines.append(f"{name} {cell.label()}, in {cell.unit}: " + "; ".join(
            f"t {t:g}: given grid {given:.4g}, extrapolated {f0:.4g}, U {u:.3g}"
            for _, t, given, f0, u in in_cell_rows(st, {name: cell})))
    lines.append(f"{len(st.factors)} runs, {st.wall_time:.2f} s")
    return "\n".join(line.rstrip() for line in lines)


def plot_study(st: Study, cells=None):
    """Curves of every grid and the extrapolated value (left), and the error
    of each grid at the reported times against the refinement (right); each
    observable's title gives its worst uncertainty over the curve and the
    estimate used.  ``cells`` (:func:`cell_amounts_of`): an amount's left
    panel also reads the amount in the whole cell on its right-hand axis."""
    from .plots import show_cell_amount
    from matplotlib.figure import Figure

    from .units import axis_label, output_unit

    names = list(st.at_times)
    fig = Figure(figsize=(10.0, 2.9 * len(names) + 0.6), layout="constrained", dpi=100)
    axes = fig.subplots(len(names), 2, squeeze=False)
    for (left, right), name in zip(axes, names):
        for f, (t, v) in zip(st.factors, st.curves[name]):
            left.plot(t, v, label=f"x{f}")
        extrap = [e.extrapolated for e in st.at_times[name]]
        left.plot(st.times, extrap, "k*", ms=8, label="extrapolated")
        unit = output_unit(name)
        left.set_ylabel(axis_label(name, unit))
        show_cell_amount(left, (cells or {}).get(name))
        left.set_xlabel(axis_label("time", "s"))
        left.grid(alpha=0.3)
        left.legend(fontsize="small")
        worst, t_worst, scale = st.curve[name]
        share = worst.uncertainty / scale if scale else math.nan
        left.set_title(f"{name}: worst U {share:.2%} of its largest value, at t = {t_worst:g}\n"
                       f"{worst.method} ({worst.note})", fontsize="small", loc="left", wrap=True)
        spacing = [1.0 / f for f in st.factors]
        for t, e in zip(st.times, st.at_times[name]):
            right.loglog(spacing, [max(v, 1e-300) for v in e.errors], "o-", label=f"t = {t:g}")
        right.set_xlabel(axis_label("grid spacing (given grid = 1)", "1"))
        right.set_ylabel(axis_label("|value - extrapolated|", unit))
        right.grid(alpha=0.3, which="both")
        right.legend(fontsize="small")
    fig.suptitle(f"convergence study ({st.scheme} scheme)")
    return fig


def plain_warnings(st: Study) -> list:
    """What a reader of the study must know, in plain sentences: where the
    grids could not measure the order (and why), and the observables whose
    given grid is off by more than 1 % of their largest value."""
    said = []
    if len(st.factors) == 2:
        said.append("Only two grids: no order could be measured; the scheme's lowest order was assumed "
                    "with the safety factor 3.")
    for name, rows in st.at_times.items():
        worst, t_worst, scale = st.curve[name]
        doubtful = [(f"{t:g}", e) for t, e in zip(st.times, rows)
                    if e.method not in ("three grids, observed order",) and not e.method.startswith("least squares")
                    and len(st.factors) > 2]
        if doubtful:
            said.append(f"{name}: at time{'s' if len(doubtful) > 1 else ''} {', '.join(t for t, _ in doubtful)} "
                        f"the grids do not converge as the scheme should ({doubtful[0][1].note}); the "
                        "uncertainty there is a cautious bound, not a measured error.")
        if scale and worst.uncertainty > 0.01 * scale:
            said.append(f"{name}: the given grid may be off by {worst.uncertainty:.3g} at t = {t_worst:g}, "
                        f"{worst.uncertainty / scale:.2%} of the curve's largest value; a finer grid or "
                        "--scheme second-order brings it down.")
    return said


def converge_report(st: Study, source="PROB.INP", command=None, program_version: str = "", cells=None):
    """The report of a convergence study (:mod:`questrand.report_html`):
    the problem, the grids, per observable the worst uncertainty over the
    curve and the values at the chosen times with the estimate used and
    why (``cells``: the amounts also in the whole cell), the figure, the
    warnings."""
    from .report_html import Report, add_problem, add_reproduce, add_warnings

    formal, lowest = scheme_orders(st.scheme)
    report = Report(f"Convergence study of {source}: how far its grid is from the grid-independent answer")
    add_problem(report, st.problem, "The given problem, run on its own grid and on finer ones.")
    report.add("heading", "The grids").add("items", [f"x{f}: {_describe(p)}" for f, p in zip(st.factors, st.problems)])
    report.add("text", f"{st.scheme} scheme (formal order {formal:g}, lowest order {lowest:g}); flow {st.flow}; "
                       f"{len(st.factors)} runs, {st.wall_time:.1f} s. error = |given grid − extrapolated|; "
                       f"U = uncertainty of the given grid's value (safety factor Fs included); "
                       f"rel = U / |extrapolated|. {METHOD_TEXT}.")
    head = ["observable", "time [s]", *[f"x{f}" for f in st.factors], "order", "extrapolated",
            "error (x1)", "U (x1)", "rel", "Fs", "estimate used"]
    rows, why = [], []
    for name, at_times in st.at_times.items():
        worst, t_worst, scale = st.curve[name]
        if not st.problem.steady:
            share = worst.uncertainty / scale if scale else math.nan
            rows.append([name, f"worst, at {t_worst:g}", *[f"{v:.6g}" for v in worst.values],
                         "-" if worst.observed_order is None else f"{worst.observed_order:.2f}",
                         f"{worst.extrapolated:.6g}", f"{worst.error:.3g}", f"{worst.uncertainty:.3g}",
                         f"{share:.2%} of max", f"{worst.safety:g}", worst.method])
            why.append(f"{name}, worst over the curve (t = {t_worst:g}): {worst.note}")
        for t, e in zip(st.times, at_times):
            observed = "-" if e.observed_order is None else ("inf" if math.isinf(e.observed_order)
                                                             else f"{e.observed_order:.2f}")
            rows.append([name, f"{t:g}", *[f"{v:.6g}" for v in e.values], observed, f"{e.extrapolated:.6g}",
                         f"{e.error:.3g}", f"{e.uncertainty:.3g}", f"{e.gci[0]:.2%}", f"{e.safety:g}",
                         e.method])
            why.append(f"{name} at {t:g} s: {e.note}")
    report.add("heading", "The errors").add("table", (head, rows))
    report.add("text", "Why each estimate was used:").add("items", why)
    for name, cell in (cells or {}).items():
        report.add("text", f"{name} {cell.label()}: the amount per metre of depth times the width.")
        report.add("table", (["observable", "time [s]", f"given grid [{cell.unit}]", f"extrapolated [{cell.unit}]",
                              f"U (x1) [{cell.unit}]"],
                             [[n, f"{t:g}", f"{g:.4g}", f"{f0:.4g}", f"{u:.3g}"]
                              for n, t, g, f0, u in in_cell_rows(st, {name: cell})]))
    report.add("heading", "Figure").add("figure", (plot_study(st, cells), "curves of every grid and their errors"))
    add_warnings(report, plain_warnings(st))
    return add_reproduce(report, command, program_version)


def add_parser(subparsers):
    """The ``converge`` command."""
    parser = subparsers.add_parser(
        "converge", help="run a problem on refined grids and estimate its discretisation error",
        description="Run PROB.INP on its grid and on grids 2 and 4 times finer (rows, columns and "
                    "time step together) and report, per observable of the uptake file, the observed "
                    "order, the Richardson-extrapolated value and the discretisation error of the "
                    "given grid and its uncertainty, worst over the curve first.")
    parser.add_argument("problem", help="PROB.INP")
    parser.add_argument("--observable", action="append", metavar="NAME",
                        help=f"an uptake-file column (repeat; default {', '.join(DEFAULT_OBSERVABLES)})")
    parser.add_argument("--times", metavar="T1,T2,...", help="times to report (default: 1/16, 1/8, "
                                                            "1/4, 1/2 and the whole of the run)")
    parser.add_argument("--levels", type=int, default=3, metavar="N",
                        help="number of grids, each twice as fine as the one before (default 3)")
    parser.add_argument("--scheme", default="standard", choices=sorted(FORMAL_ORDER),
                        help="the program's scheme for the concentration (default standard)")
    add_jobs(parser, "parallel runs", "one per grid, at most the number of cores")
    parser.add_argument("--flow", default="reuse", choices=FLOW_MODES,
                        help="reuse: each grid's steady flow solved once, the concentration run from "
                             "it (default); coupled: the flow solved in every step")
    parser.add_argument("--flow-cache", metavar="DIR", help="where steady flows are kept")
    parser.add_argument("--json", metavar="FILE", help="write the study as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="plot the curves and the errors")
    add_report(parser, "the problem, the grids, the errors with the estimate used and why, the figure, "
                       "the warnings and the command")
    add_cell_width(parser)
    parser.add_argument("--workdir", metavar="DIR", help="keep the runs in DIR/x1, DIR/x2 ...")
    add_timeout(parser, "a run")
    add_program(parser)
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    check_jobs(args.jobs)
    check_seconds("--timeout", args.timeout)
    check_report_path(args.report)
    width = cell_width(args.width)
    if args.levels < 2:
        raise ConvergeError(f"--levels {args.levels}: expected at least 2")
    times = None
    if args.times:
        try:
            times = [float(v) for v in args.times.split(",")]
        except ValueError:
            raise ConvergeError(f"--times {args.times}: expected numbers separated by commas") from None
    problem = Problem.read(args.problem)
    st = study(problem, levels=args.levels, observables=args.observable, times=times,
               scheme=args.scheme, jobs=args.jobs, program=args.program, workdir=args.workdir,
               timeout=args.timeout, flow=args.flow, flow_cache=args.flow_cache,
               log=lambda line: print(line, file=sys.stderr))
    cells = cell_amounts_of(st, width, args.c_in)
    print(format_study(st, args.problem, cells))
    if args.json:
        from .files import write_text
        write_text(args.json, json.dumps(st.as_json(), indent=2) + "\n")
    if args.plot:
        from .files import save_figure
        save_figure(plot_study(st, cells), args.plot)
    if args.report:
        from .report_html import program_version, write_report
        write_report(args.report, converge_report(st, args.problem, program_version=program_version(args.program),
                                                  cells=cells))
    return 0
