"""Design of experiments (``questrand design``): which experiment will
measure the parameters, before it is made.

    questrand design PROB.INP DESIGNS.csv --param diff_gel --param diff_memb -o OUT

Each row of DESIGNS.csv is a candidate experiment (:mod:`.table`); for
each, the sensitivities of its observable to the log-parameters at the
nominal values give the predicted standard errors, 95 % half-widths,
correlation, D-criterion and identifiability (:mod:`.fisher`), on a grid
fine enough for them (:mod:`.core`); the designs are ranked, written to
OUT/design.csv with the plots (:mod:`.report`), and with ``--simulate N`` the
best, the worst identifiable and the last not identifiable are tried by N
simulated experiments, each fitted (:mod:`.simulate`).  Designs that cannot
identify the parameters ranked by share the last rank.  From Python: :func:`design`.
"""

from __future__ import annotations

import shutil
import sys
import tempfile
from pathlib import Path

from .. import interrupts
from ..options import (add_cell_width, add_jobs, add_program, add_report, add_timeout, add_workflow_profile,
                       cell_width, check_jobs, check_report_path, check_seconds, old_spelling)
from ..problem import Problem
from ..runner import FLOW_MODES, SCHEMES
from .simulate import Check, check
from .core import DEFAULT_STEP, MAX_FACTOR, SE_TOLERANCE, DesignResult, Study, study
from .fisher import CRITERIA, DEFAULT_LIMIT, Prediction, criterion_identifiable, predict
from .report import format_study, write_outputs
from .runs import Runner
from .table import Design, DesignError, parse_at, read_designs


def design(problem, designs, names, *, at=None, grid=None, outdir=None, criterion="max-halfwidth",
           limit=DEFAULT_LIMIT, check_fits=0, seed=0, jobs=None, profile=None, program=None,
           timeout=None, scheme="standard", flow="reuse", flow_cache=None, step=DEFAULT_STEP,
           se_tolerance=SE_TOLERANCE, max_factor=MAX_FACTOR, log=None, combine=(), width=None,
           c_in=None) -> Study:
    """Predict, rank and (``check_fits`` > 0) check the designs.

    ``problem``: a :class:`~questrand.Problem` or the path of a PROB.INP;
    ``designs``: the path of a design table (with ``grid``, a list of
    ``NAME=v1,v2`` texts) or a list of :class:`Design`; ``names``: the
    parameters to measure, at the nominal values ``at`` ({NAME: value},
    default the problem's).  ``outdir`` receives the output files (none
    when None).  ``profile`` makes the model runs with the sweep's
    workflow and that Snakemake profile (e.g. "slurm"); otherwise ``jobs``
    local processes.  ``combine``: lists of design ids made together (a
    joint fit of their data), each ranked with the designs by their summed
    Fisher information.  ``width`` (m) and ``c_in`` ("10 mg/L"): the
    cell's, for the best design's plot of an amount per metre of depth
    (default: the design's own width column).  Returns the :class:`Study`.
    """
    base_path = None
    if not isinstance(problem, Problem):
        base_path = Path(problem).resolve()
        problem = Problem.read(base_path)
    names = list(names)
    if not isinstance(designs, (list, tuple)):
        designs = read_designs(designs, names, grid)
    if check_fits < 0 or (0 < check_fits < 2):
        raise DesignError(f"--simulate {check_fits}: expected at least 2 simulated experiments")
    keep = outdir is not None
    root = Path(outdir) / "model-runs" if keep and profile else Path(tempfile.mkdtemp(prefix="questrand-design-"))
    runner = Runner(root, program=program, jobs=jobs, timeout=timeout, scheme=scheme, flow=flow,
                    flow_cache=flow_cache, profile=profile, base_path=base_path,
                    observables=tuple(sorted({d.observable for d in designs})))
    try:
        result = study(problem, designs, names, at=at, criterion=criterion, limit=limit, step=step,
                       se_tolerance=se_tolerance, max_factor=max_factor, runner=runner, log=log,
                       combinations=[list(g) for g in combine])
        if check_fits:
            for r, role in check_roles(result):
                result.checks.append(check(r, names, result.nominal, check_fits, role=role, seed=seed,
                                           step=step, runner=runner, log=log))
    finally:
        runner.close()
        if not (keep and profile):
            shutil.rmtree(root, ignore_errors=True)
    if outdir is not None:
        write_outputs(result, outdir, width, c_in)
    return result


def check_roles(result: Study) -> list:
    """The designs ``--simulate`` tries: the best; the worst of those the
    prediction calls identifiable (the last it can order); and, when some
    are not identifiable, the last of them, whose simulated fits show how
    far from measurable they are.  ``[(DesignResult, role), ...]``."""
    # a combination is not one experiment to simulate: its members are
    ranked = [r for r in result.results if not r.combination]
    measurable = [r for r in ranked if criterion_identifiable(r.prediction, result.criterion)]
    roles = [(ranked[0], "best")]
    if measurable and measurable[-1] is not ranked[0]:
        roles.append((measurable[-1], "worst"))
    if ranked[-1] not in measurable and ranked[-1] is not ranked[0]:
        roles.append((ranked[-1], "not identifiable"))
    return roles


# -- command line -------------------------------------------------------------------
def add_parser(subparsers):
    """The ``design`` command."""
    parser = subparsers.add_parser(
        "design", help="rank candidate experiments by how well they would measure parameters",
        description="For each candidate experiment of DESIGNS.csv (observable, sampling times, noise, "
                    "problem values), predict from the sensitivities at the nominal parameters the "
                    "standard errors, 95%% half-widths, correlation and identifiability of the "
                    "parameters; rank the designs; write OUT/design.csv, OUT/design.png and the "
                    "sensitivity curves of the best design.")
    parser.add_argument("problem", metavar="PROB.INP", help="the base problem (a transient run)")
    parser.add_argument("designs", metavar="DESIGNS.csv",
                        help="one candidate per row: id, observable, t_start, t_end, n_samples, sigma "
                             "[, sigma_rel], then problem values (u_in, th_gel, ...)")
    parser.add_argument("--param", action="append", required=True, metavar="NAME",
                        help="a parameter to measure (a real of the problem; repeat for several)")
    parser.add_argument("-o", "--outdir", required=True, metavar="OUT", help="the output directory")
    parser.add_argument("--at", action="append", metavar="NAME=VALUE",
                        help="the nominal value of a parameter (default: the problem's)")
    parser.add_argument("--grid", nargs="+", metavar="NAME=v1,v2",
                        help="repeat every design for every combination of these values")
    parser.add_argument("--rank", default="max-halfwidth", metavar="CRITERION",
                        help="max-halfwidth (default: the largest relative half-width of the "
                             "parameters), halfwidth:NAME, or d-criterion")
    parser.add_argument("--limit", type=float, default=DEFAULT_LIMIT, metavar="REL",
                        help=f"a parameter is identifiable when its half-width is at most REL "
                             f"(default {DEFAULT_LIMIT:g}: +-{100 * DEFAULT_LIMIT:g} %%)")
    old_spelling(parser, "--check", parser.add_argument(
        "--simulate", type=int, default=0, metavar="N",
        help="fit N simulated experiments of the best design, the worst identifiable one and the "
             "last not identifiable one"))
    parser.add_argument("--seed", type=int, default=0, help="seed of the simulated noise (default 0)")
    add_jobs(parser, "parallel model runs and simulated fits")
    add_workflow_profile(parser, "make the model runs with the sweep's Snakemake workflow and this "
                                 "profile (e.g. slurm); kept in OUT/model-runs/sweep")
    parser.add_argument("--step", type=float, default=DEFAULT_STEP, metavar="REL",
                        help=f"relative parameter change of the sensitivities (default {DEFAULT_STEP})")
    parser.add_argument("--se-tolerance", type=float, default=SE_TOLERANCE, metavar="REL",
                        help=f"refine the grid while the predicted standard errors change by more than "
                             f"REL (default {SE_TOLERANCE:g})")
    parser.add_argument("--max-refine", type=int, default=MAX_FACTOR, metavar="F",
                        help=f"the finest grid, as a factor of the given one (default {MAX_FACTOR})")
    parser.add_argument("--scheme", default="standard", choices=SCHEMES)
    parser.add_argument("--flow", default="reuse", choices=FLOW_MODES,
                        help="reuse (default): the steady flow solved once and reused; coupled: "
                             "solved in every step")
    parser.add_argument("--flow-cache", metavar="DIR", help="where steady flows are kept")
    add_report(parser, "the problem, the ranked designs, the figures, the warnings and the command")
    add_cell_width(parser)
    parser.add_argument("--combine", action="append", metavar="ID+ID",
                        help="rank these designs made together (a joint fit of their data) beside "
                             "the single ones: their Fisher information summed (repeat for several)")
    add_timeout(parser)
    add_program(parser)
    parser.set_defaults(func=_main)
    return parser


def _main(args) -> int:
    check_jobs(args.jobs)
    check_seconds("--timeout", args.timeout)
    check_report_path(args.report)
    width = cell_width(args.width)
    if not 0 < args.step < 1:
        raise DesignError(f"--step {args.step:g}: expected a relative change between 0 and 1, e.g. 0.01")
    if not args.limit > 0:
        raise DesignError(f"--limit {args.limit:g}: expected a relative half-width greater than 0")
    if args.max_refine < 2 or args.max_refine & (args.max_refine - 1):
        raise DesignError(f"--max-refine {args.max_refine}: expected a power of two of at least 2")
    if args.workflow_profile and not shutil.which("snakemake"):
        raise DesignError("--workflow-profile: snakemake not found on PATH: install the Debian package "
                          "snakemake")
    try:
        result = design(args.problem, args.designs, args.param, at=parse_at(args.at, args.param),
                        grid=args.grid, outdir=args.outdir, criterion=args.rank, limit=args.limit,
                        check_fits=args.simulate, seed=args.seed, jobs=args.jobs,
                        profile=args.workflow_profile,
                        program=args.program, timeout=args.timeout, scheme=args.scheme, flow=args.flow,
                        flow_cache=args.flow_cache, step=args.step, se_tolerance=args.se_tolerance,
                        max_factor=args.max_refine, log=lambda line: print(line, file=sys.stderr),
                        combine=[text.split("+") for text in args.combine or ()], width=width,
                        c_in=args.c_in)
    except KeyboardInterrupt:
        raise interrupts.Interrupted("interrupted; nothing written") from None
    print(format_study(result))
    print(f"written: {Path(args.outdir) / 'design.csv'}, design.png, sensitivity.png, sensitivity.csv"
          + (", check.csv" if result.checks else ""), file=sys.stderr)
    if args.report:
        from ..report_html import program_version, write_report
        from .report import design_report
        write_report(args.report, design_report(result, Problem.read(args.problem),
                                                program_version=program_version(args.program),
                                                width=width, c_in=args.c_in))
    return 0


__all__ = ["design", "study", "check", "predict", "read_designs", "parse_at", "Design", "DesignError",
           "DesignResult", "Study", "Check", "Prediction", "Runner", "CRITERIA", "format_study",
           "write_outputs"]
