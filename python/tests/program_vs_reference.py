"""The program's uptake curves against the flow reference (flow_reference.py).

For a problem (a PROB.INP), a scheme and refinement factors (1, 2, 4: the
grid and the time step that many times finer, questrand.refine.refined),
the program runs each refined problem with its steady flow reused
(questrand.runner.run, flow="reuse"); the reference is solved once, at the
step times of the finest program grid (which hold every coarser grid's
step times), by Richardson extrapolation of three or more of its own levels.

Per observable and grid: the error e(t) = program - reference, relative
to c_in (m_gel relative to c_in L th_gel, the gel's capacity: the same
numbers as c_gel_mean), its largest and its mean |e| over the curve, and
the observed order of each between successive grids, log2(E_coarse /
E_fine).  Both at the step times of the coarsest grid, which every grid
has (each grid's error is then measured on the same curve points, and the
orders compare like with like), and at each grid's own step times.  Times
where the reference's own error estimate exceeds ``ref_tol`` are left out
(the passage of the inlet front through the outlet, which no affordable
reference grid resolves: there the reference is no judge).  The table says
how many times were left out, from which time on all are compared, and the
reference's largest estimated error over the compared times.

Command line (from the worktree root, Debian's python3):

    QUESTRAND_PROGRAM=/work/stable/questrand /usr/bin/python3 \\
        python/tests/program_vs_reference.py examples/fit/PROB.INP \\
        --set diff_memb=5e-10 --set diff_gel=8e-10 --scheme standard --scheme second-order
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))         # flow_reference
sys.path.insert(0, str(Path(__file__).resolve().parents[1]))     # the questrand package

from flow_reference import Instrument, Resolution, reference  # noqa: E402

#: The observables compared, in the table's order.
COMPARED = ("c_gel_mean", "c_memb_mean", "m_gel", "c_gel_mid", "c_memb_mid", "c_out")
STABLE_PROGRAM = "/work/stable/questrand"


def program_runs(problem, scheme: str, factors, workdir, flow_cache=None) -> dict:
    """factor -> the uptake DataFrame of the program's run of the problem
    refined ``factor`` times (flow reused)."""
    from questrand.refine import refined
    from questrand.runner import run

    runs = {}
    for factor in factors:
        began = time.perf_counter()
        result = run(refined(problem, factor), Path(workdir) / f"{scheme}-x{factor}", scheme=scheme,
                     flow="reuse", flow_cache=flow_cache)
        if result.warned_steps:
            raise RuntimeError(f"{scheme} x{factor}: {result.warned_steps} steps ended at maxit")
        runs[factor] = result.uptake
        print(f"  program {scheme} x{factor}: {len(result.uptake)} steps, "
              f"{time.perf_counter() - began:.1f} s", file=sys.stderr)
    return runs


def reference_resolution(finest_dt: float) -> Resolution:
    """Level 0 of the reference: flow_reference's mesh (16 columns, 8/2/4
    rows), one step per step of the finest program grid."""
    return Resolution(dt=finest_dt)


def write_reference(path, ref) -> None:
    """The extrapolated curves and their estimated errors as CSV: time, then
    per observable its value and ``<name>_error`` (in the observable's unit)."""
    names = list(ref.extrapolated)
    header = ["time"] + [f"{n}{suffix}" for n in names for suffix in ("", "_error")]
    columns = [ref.times] + [c for n in names for c in (ref.extrapolated[n], ref.error[n])]
    rows = [",".join(f"{v:.10g}" for v in row) for row in zip(*columns)]
    Path(path).write_text("\n".join([",".join(header)] + rows) + "\n")


@dataclasses.dataclass
class SavedReference:
    """A reference read back from :func:`write_reference`'s CSV: the sample
    times, the extrapolated curves and their estimated errors."""

    times: np.ndarray
    extrapolated: dict
    error: dict


def read_reference(path) -> SavedReference:
    import pandas as pd

    table = pd.read_csv(path)
    names = [n for n in table.columns if n != "time" and not n.endswith("_error")]
    return SavedReference(times=table["time"].to_numpy(),
                          extrapolated={n: table[n].to_numpy() for n in names},
                          error={n: table[f"{n}_error"].to_numpy() for n in names})


@dataclasses.dataclass
class Comparison:
    """The errors of one observable on each grid (see the module notes):
    ``max_error`` and ``mean_error`` at the coarsest grid's step times,
    ``own_max`` and ``own_mean`` at each grid's own step times (the trusted
    ones of either set); ``compared`` and ``left_out`` count the coarsest
    grid's times, ``from_time`` is the first time from which every one is
    compared, ``ref_error`` the reference's largest estimated error over the
    compared times."""

    name: str
    factors: list
    max_error: list
    mean_error: list
    own_max: list
    own_mean: list
    compared: int
    left_out: int
    from_time: float
    ref_error: float

    @staticmethod
    def orders(errors):
        """log2 of the ratio of each grid's error to the next finer one's."""
        return [math.log2(a / b) if a > 0 and b > 0 else math.nan for a, b in zip(errors, errors[1:])]


def error_scales(instrument: Instrument) -> dict:
    """The unit of each observable's error: c_in, and for m_gel the gel's
    capacity c_in L th_gel."""
    scales = {name: instrument.c_in for name in COMPARED}
    scales["m_gel"] = instrument.c_in * instrument.chlength * instrument.th_gel
    return scales


def compare(instrument: Instrument, runs: dict, ref, ref_tol: float = 1e-4) -> list:
    """The comparisons of :data:`COMPARED` (one :class:`Comparison` each)."""
    factors = sorted(runs)
    common = runs[factors[0]]["time"].to_numpy()
    scales = error_scales(instrument)

    def errors(name, uptake, times):
        """|program - reference| / scale at the trusted ones of ``times``,
        and which were trusted."""
        at = _indices(ref.times, times)
        trusted = ref.error[name][at] <= ref_tol * scales[name]
        program = uptake[name].to_numpy()[_indices(uptake["time"].to_numpy(), times)]
        return np.abs(program - ref.extrapolated[name][at])[trusted] / scales[name], trusted

    out = []
    for name in COMPARED:
        on_common = [errors(name, runs[f], common)[0] for f in factors]
        on_own = [errors(name, runs[f], runs[f]["time"].to_numpy())[0] for f in factors]
        trusted = errors(name, runs[factors[0]], common)[1]
        left_out = np.nonzero(~trusted)[0]
        from_time = common[left_out[-1] + 1] if len(left_out) and left_out[-1] + 1 < len(common) else common[0]
        at = _indices(ref.times, common)
        out.append(Comparison(
            name=name, factors=factors,
            max_error=[float(e.max()) for e in on_common], mean_error=[float(e.mean()) for e in on_common],
            own_max=[float(e.max()) for e in on_own], own_mean=[float(e.mean()) for e in on_own],
            compared=int(trusted.sum()), left_out=len(left_out), from_time=float(from_time),
            ref_error=float(ref.error[name][at][trusted].max() / scales[name])))
    return out


def _indices(times, wanted):
    """Indices into ``times`` of each of ``wanted`` (to 1e-6 s)."""
    times = np.asarray(times)
    k = np.searchsorted(times, np.asarray(wanted) - 1e-6)
    if np.any(k >= len(times)) or np.any(np.abs(times[np.minimum(k, len(times) - 1)] - wanted) > 1e-6):
        raise ValueError("a compared time is not among the curve's times")
    return k


def table(comparisons, heading: str) -> str:
    """The comparisons as a text table, one line per grid."""
    lines = [heading,
             f"{'':<12s} {'':>4s} {'at the coarsest grid step times':^43s}  {'at own step times':^21s}",
             f"{'observable':<12s} {'grid':>4s} {'max |e|':>10s} {'mean |e|':>10s} {'ord max':>10s} "
             f"{'ord mean':>10s}  {'max |e|':>10s} {'mean |e|':>10s}   compared"]
    for c in comparisons:
        order_max, order_mean = c.orders(c.max_error), c.orders(c.mean_error)
        for k, factor in enumerate(c.factors):
            om = f"{order_max[k - 1]:10.2f}" if k else " " * 10
            on = f"{order_mean[k - 1]:10.2f}" if k else " " * 10
            note = ""
            if k == 0:
                note = (f"{c.compared} times" + (f" (from t = {c.from_time:g} s; {c.left_out} earlier left out)"
                                                 if c.left_out else "") + f", reference error <= {c.ref_error:.1e}")
            lines.append(f"{c.name if k == 0 else '':<12s} x{factor:<3d} {c.max_error[k]:10.3e} "
                         f"{c.mean_error[k]:10.3e} {om} {on}  {c.own_max[k]:10.3e} {c.own_mean[k]:10.3e}   {note}")
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("problem", help="a PROB.INP (or its directory)")
    parser.add_argument("--set", action="append", default=[], metavar="NAME=VALUE",
                        help="change a value of the problem (repeatable)")
    from questrand.program import SCHEMES

    parser.add_argument("--scheme", action="append", choices=SCHEMES,
                        help="the program's scheme (repeatable; default standard and second-order)")
    parser.add_argument("--factors", default="1,2,4")
    parser.add_argument("--levels", default="2,3,4", help="the reference's levels (three or more)")
    parser.add_argument("--ref-tol", type=float, default=1e-4,
                        help="leave out times where the reference's error estimate exceeds this (of c_in)")
    parser.add_argument("--workdir", help="the run directories' parent (default: a temporary one)")
    parser.add_argument("--save", help="write the reference curves and their error estimates to this CSV")
    parser.add_argument("--reference", help="read the reference from this CSV (of --save) instead of solving it")
    args = parser.parse_args(argv)

    os.environ.setdefault("QUESTRAND_PROGRAM", STABLE_PROGRAM)
    from questrand.problem import Problem

    problem = Problem.read(args.problem)
    changes = {}
    for item in args.set:
        name, _, value = item.partition("=")
        kind = type(getattr(problem, name))
        changes[name] = kind(float(value)) if kind is int else kind(value) if kind is not bool \
            else value.upper() in ("T", "TRUE", "1")
    problem = problem.replace(**changes)
    factors = [int(f) for f in args.factors.split(",")]
    levels = tuple(int(k) for k in args.levels.split(","))
    instrument = Instrument.from_problem(problem)
    print(f"instrument: {instrument}", file=sys.stderr)

    with tempfile.TemporaryDirectory() as scratch:
        workdir = Path(args.workdir or scratch)
        runs = {scheme: program_runs(problem, scheme, factors, workdir, flow_cache=workdir / "flow-cache")
                for scheme in args.scheme or ("standard", "second-order")}
    finest = next(iter(runs.values()))[max(factors)]["time"].to_numpy()
    if args.reference:
        ref = read_reference(args.reference)
        print(f"reference: {args.reference}")
    else:
        began = time.perf_counter()
        ref = reference(instrument, finest, levels, reference_resolution(finest[0]))
        print(f"reference: levels {levels}, {time.perf_counter() - began:.0f} s", file=sys.stderr)
        if args.save:
            write_reference(args.save, ref)
        print(f"reference, levels {levels}: observed orders and estimated errors "
              "(of c_in; m_gel of c_in L th_gel)")
        print(ref.summary(error_scales(instrument)))
    for scheme, scheme_runs in runs.items():
        print()
        print(table(compare(instrument, scheme_runs, ref, args.ref_tol),
                    f"program ({scheme}) - reference, |e| / c_in (m_gel / (c_in L th_gel)), "
                    f"at the x{factors[0]} grid's {len(scheme_runs[factors[0]])} step times:"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
