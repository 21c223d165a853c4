"""The ``questrand fit`` command."""

from __future__ import annotations

import json
import sys

import numpy as np

from .. import files, interrupts
from ..options import (add_cell_width, add_data_units, add_jobs, add_program, add_report, add_timeout,
                       cell_amounts, cell_width, check_jobs, check_report_path, check_seconds, old_spelling)
from ..problem import Problem
from ..runner import FLOW_MODES, SCHEMES
from ..units import AMOUNTS_PER_DEPTH
from .data import DEFAULT_STEP, FitError, read_data
from .estimate import fit
from .parameters import parse_bounds
from .report import format_result, plot_fit


def add_parser(subparsers):
    """The ``fit`` command."""
    parser = subparsers.add_parser(
        "fit", help="fit reals of a problem (diffusivities, ...) to a measured curve",
        description="Fit reals of PROB.INP (diff_gel, diff_memb, ...) to a measured curve by "
                    "least squares on their logarithms, with standard errors, 95%% confidence "
                    "intervals and correlations.")
    parser.add_argument("problem", nargs="?",
                        help="base PROB.INP (a transient run whose time steps cover the data)")
    parser.add_argument("data", nargs="?", help="CSV with a header: 'time', one observable column (a monitor "
                                     "probe such as C(GelMid) or an uptake column such as m_gel), "
                                     "optionally 'sigma'; or 'depth' and c_gel_profile, the gel's "
                                     "profile at the run's end (slicing)")
    parser.add_argument("--experiment", action="append", nargs=2, metavar=("[NAME=]PROB.INP", "DATA"),
                        help="instead of PROB.INP DATA: one experiment of a joint fit (repeat for "
                             "several); every observable column of DATA is fitted, weighted by its "
                             "sigma_<observable> or sigma column; NAME defaults to the directory "
                             "of PROB.INP")
    parser.add_argument("--param", action="append", required=True, metavar="NAME",
                        help="a real of the problem to fit (repeat for several), or flow_rate (m3/s, "
                             "with --width) in place of u_in; in a joint fit shared by the experiments, "
                             "or EXPERIMENT:NAME for one of them only")
    parser.add_argument("--bounds", action="append", metavar="NAME=LO:HI",
                        help="limits of a parameter (default: within four decades of the start; a "
                             "diffusivity also at most the channel's diffusivity diff_flow, and a "
                             "fitted diff_flow at most 1e-8 m2/s)")
    add_data_units(parser)
    add_jobs(parser)
    parser.add_argument("--step", type=float, default=DEFAULT_STEP, metavar="REL",
                        help=f"relative parameter change of the finite differences (default {DEFAULT_STEP})")
    old_spelling(parser, "--profile", parser.add_argument(
        "--profile-likelihood", action="store_true", help="add profile-likelihood intervals"))
    parser.add_argument("--accuracy", type=float, metavar="REL",
                        help="refine the grid until the grid uncertainty and the iteration error of "
                             "every parameter are below REL of its estimate (e.g. 0.01)")
    parser.add_argument("--time-limit", type=float, metavar="S",
                        help="with --accuracy: no further grid after S seconds")
    parser.add_argument("--no-grid-check", dest="grid_check", action="store_false",
                        help="skip the refined grid that estimates the discretisation error and the "
                             "run at convtol/10 that estimates the iteration error")
    parser.add_argument("--scheme", default="standard", choices=SCHEMES,
                        help="the program's scheme for the concentration (default standard)")
    parser.add_argument("--flow", default="reuse", choices=FLOW_MODES,
                        help="reuse: solve the steady flow once and run the concentration from it "
                             "(default); coupled: solve the flow in every step as PROB.INP asks")
    parser.add_argument("--flow-cache", metavar="DIR",
                        help="where steady flows are kept (default $QUESTRAND_FLOW_CACHE or "
                             "~/.cache/questrand/flow)")
    parser.add_argument("--json", metavar="FILE", help="write the results as JSON")
    parser.add_argument("--plot", metavar="FILE.png", help="plot the data, the fitted curve and the residuals")
    add_report(parser, "the problem, the data, the estimates, the figure, the warnings and the command")
    add_cell_width(parser, c_in=False)
    parser.add_argument("--workdir", metavar="DIR", help="keep every model run in DIR/run-NNNN "
                                                         "(default: a temporary directory, removed)")
    add_timeout(parser)
    add_program(parser)
    parser.add_argument("--max-evaluations", type=int, metavar="N",
                        help="cap on the residual evaluations of the search (default 100 per "
                             "parameter); each also costs up to one model run per parameter")
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    check_jobs(args.jobs)
    check_seconds("--timeout", args.timeout)
    check_seconds("--time-limit", args.time_limit)
    check_report_path(args.report)
    width = cell_width(args.width)
    if not 0 < args.step < 1:
        raise FitError(f"--step {args.step:g}: expected a relative change between 0 and 1, e.g. 0.01")
    if args.experiment:
        return _main_joint(args)
    if args.problem is None or args.data is None:
        raise FitError("expected PROB.INP DATA, or --experiment [NAME=]PROB.INP DATA (repeated)")
    try:
        problem = Problem.read(args.problem)
        data = read_data(args.data, args.observable,
                         warn=lambda line: print(f"questrand fit: warning: {line}", file=sys.stderr),
                         time_unit=args.time_unit, conc_unit=args.conc_unit, c_in=args.c_in,
                         problem_c_in=problem.c_in)
        result = fit(problem, data, args.param, parse_bounds(args.bounds), jobs=args.jobs,
                     step=args.step, profile=args.profile_likelihood, workdir=args.workdir,
                     program=args.program,
                     timeout=args.timeout, max_evaluations=args.max_evaluations,
                     log=lambda line: print(line, file=sys.stderr), scheme=args.scheme,
                     accuracy=args.accuracy, time_limit=args.time_limit,
                     grid_check=args.grid_check, flow=args.flow, flow_cache=args.flow_cache, width=width)
    except KeyboardInterrupt:
        kept = f" but the model runs made so far, in {args.workdir}" if args.workdir else ""
        raise interrupts.Interrupted(f"interrupted; nothing kept{kept}") from None
    print(format_result(result))
    cell = None
    if data.observable in AMOUNTS_PER_DEPTH:
        cell = cell_amounts(width, args.c_in, problem, float(np.nanmax(np.abs(data.value))))
    if args.json:
        files.write_text(args.json, json.dumps(result.as_json(), indent=2) + "\n")
    if args.plot:
        files.save_figure(plot_fit(result, cell), args.plot)
    if args.report:
        from ..report_html import write_fit_report
        write_fit_report(args.report, result, problem, program=args.program, cell=cell)
    return 0 if result.converged else 3


def _main_joint(args) -> int:
    """``questrand fit --experiment PROB DATA ...``: one fit of all the experiments."""
    from .joint import fit_experiments, parse_experiment

    if args.problem is not None:
        raise FitError("give the experiments with --experiment only, not also PROB.INP DATA")
    if args.observable:
        raise FitError("--observable: a joint fit fits every observable column of each experiment's file")
    if args.width:
        raise FitError("--width: not for a joint fit yet (the amounts in the cell); give --json and --plot")
    warn = lambda line: print(f"questrand fit: warning: {line}", file=sys.stderr)  # noqa: E731
    try:
        experiments = [parse_experiment(prob, data, warn=warn) for prob, data in args.experiment]
        result = fit_experiments(experiments, args.param, parse_bounds(args.bounds), jobs=args.jobs,
                                 step=args.step, workdir=args.workdir, program=args.program,
                                 timeout=args.timeout, max_evaluations=args.max_evaluations,
                                 log=lambda line: print(line, file=sys.stderr), scheme=args.scheme,
                                 accuracy=args.accuracy, time_limit=args.time_limit,
                                 grid_check=args.grid_check, flow=args.flow, flow_cache=args.flow_cache,
                                 profile=args.profile_likelihood)
    except KeyboardInterrupt:
        raise interrupts.Interrupted("interrupted; nothing kept") from None
    print(format_result(result))
    if args.json:
        files.write_text(args.json, json.dumps(result.as_json(), indent=2) + "\n")
    if args.plot:
        files.save_figure(plot_fit(result), args.plot)
    if args.report:
        from ..report_html import write_joint_fit_report
        write_joint_fit_report(args.report, result, experiments, program=args.program)
    return 0 if result.converged else 3
