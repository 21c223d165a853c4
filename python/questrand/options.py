"""The options the commands ``fit``, ``design``, ``converge`` and ``sweep``
share, spelt one way in all of them (the table in docs/options.md):

    --jobs N                   worker processes (default: the cores this process may use)
    --program PATH             the questrand program the runs use
    --timeout S                stop a model run after S seconds
    --workflow-profile NAME    make the runs with the Snakemake workflow and this profile
    --report FILE.html|.pdf    (fit, design, converge) the outcome as a page or a PDF
    --width QUANTITY           (summary, plot, converge) the cell's width, "10 mm": amounts in the cell
    --profile-likelihood       (fit) profile-likelihood intervals
    --simulate N               (design) N simulated experiments, each fitted
    --observable COLUMN=NAME   (where data are read) the data column and the observable it is
    --time-unit UNIT           (where data are read) the unit of the data's time column
    --conc-unit UNIT           (where data are read) the unit of the data's concentrations
    --c-in QUANTITY            (where data are read) what the problem's c_in stands for, "10 mg/L"

A spelling a command used before (``--cores``, ``--profile``, ``--check``)
is still accepted there, with its old meaning in that command, and its
``--help`` line names it as the old spelling of the new one.

A value an option cannot take is a usage error (:class:`UsageError`): one
line on standard error and exit status 2.
"""

from __future__ import annotations

import argparse
import math

from .errors import QuestrandError
from .interrupts import cores


class UsageError(QuestrandError, ValueError):
    """An option given a value it cannot take (exit status 2)."""


def old_spelling(parser, old: str, action: argparse.Action) -> None:
    """Accept ``old`` as another spelling of the option ``action`` (what
    ``parser.add_argument`` returned): the same destination, type and
    metavar; its help says it is the old spelling.  Its default is left to
    the new option (``argparse.SUPPRESS``)."""
    new = max(action.option_strings, key=len)
    note = f"(old spelling of {new})"
    if action.nargs == 0:  # a switch: store_true and the like
        parser.add_argument(old, dest=action.dest, action="store_const", const=action.const,
                            default=argparse.SUPPRESS, help=note)
    else:
        parser.add_argument(old, dest=action.dest, type=action.type, choices=action.choices,
                            metavar=action.metavar, default=argparse.SUPPRESS, help=note)


def add_jobs(parser, what: str = "parallel model runs", default_text: str | None = None):
    """``--jobs N``; default (None): the number of cores this process may use."""
    default_text = default_text or f"the number of cores, here {cores()}"
    return parser.add_argument("--jobs", type=int, metavar="N", help=f"{what} (default: {default_text})")


def add_program(parser):
    """``--program PATH``: the program every run of the command uses."""
    return parser.add_argument("--program", metavar="PATH",
                               help="the questrand program the runs use (default: $QUESTRAND_PROGRAM, "
                                    "questrand on PATH, the repository build)")


def add_timeout(parser, what: str = "a model run", after: str = ""):
    """``--timeout S``: a run stopped after S seconds."""
    return parser.add_argument("--timeout", type=float, metavar="S",
                               help=f"stop {what} after S seconds{after}")


def add_workflow_profile(parser, help_text: str):
    """``--workflow-profile NAME|PATH`` and its old spelling ``--profile``."""
    action = parser.add_argument("--workflow-profile", metavar="NAME|PATH", help=help_text)
    old_spelling(parser, "--profile", action)
    return action


#: The file names ``--report`` writes: a self-contained page or a PDF.
REPORT_SUFFIXES = (".html", ".pdf")


def add_report(parser, contents: str):
    """``--report FILE.html|FILE.pdf``: the command's outcome as one
    self-contained HTML page or a PDF (:mod:`questrand.report_html`)."""
    return parser.add_argument("--report", metavar="FILE.html|FILE.pdf",
                               help=f"a self-contained HTML page, or a PDF (text pages, then the "
                                    f"figures): {contents}")


def check_report_path(path, option: str = "--report") -> None:
    """A report file name ends in .html or .pdf (None: not given); checked
    before any work is done."""
    from pathlib import Path

    if path is not None and Path(path).suffix.lower() not in REPORT_SUFFIXES:
        raise UsageError(f"{option} {path}: expected a file name ending in .html (a page) or .pdf")


def add_cell_width(parser, c_in: bool = True):
    """``--width QUANTITY`` (and, with ``c_in``, ``--c-in QUANTITY``): the
    cell's width, so that amounts per metre of depth (m_gel, m_memb,
    m_flow ...) are also shown as the amount in the whole cell."""
    parser.add_argument("--width", metavar="QUANTITY",
                        help="the cell's width, e.g. \"10 mm\": amounts per metre of depth (m_gel, "
                             "m_memb, m_flow ...) also shown as the amount in the whole cell")
    if c_in:
        parser.add_argument("--c-in", metavar="QUANTITY",
                            help="with --width: the inlet concentration the problem's c_in stands for, "
                                 "e.g. \"10 mg/L\", so that amounts are masses (ug, ng) or moles "
                                 "(default: units of c_in times a volume)")


def cell_width(text):
    """``--width``: a positive length with its unit, in m (None: not given)."""
    if text is None:
        return None
    from . import units

    try:
        width = units.parse_quantity(text, units.LENGTH, "--width")
    except units.UnitError as exc:
        raise UsageError(str(exc)) from None
    if not (isinstance(text, str) and any(ch.isalpha() for ch in text)) or not width > 0:
        raise UsageError(f"--width {text}: expected a positive length with its unit, e.g. 10 mm")
    return width


def cell_amounts(width, c_in, problem, largest: float):
    """The :class:`~questrand.units.CellAmount` of ``--width`` (``width``,
    in m: :func:`cell_width`) and ``--c-in`` for the amounts per depth of
    ``problem``'s run up to ``largest`` (None without a width)."""
    from . import units

    if width is None:
        return None
    try:
        return units.CellAmount(width, largest, c_in, problem.c_in, units.domain_copies(problem))
    except units.UnitError as exc:
        raise UsageError(str(exc)) from None


def check_jobs(jobs) -> None:
    """``--jobs``: at least 1 (None: the default)."""
    if jobs is not None and jobs < 1:
        raise UsageError(f"--jobs {jobs}: expected a number of worker processes of at least 1")


def check_seconds(option: str, seconds) -> None:
    """A time in seconds (``--timeout``, ``--time-limit``): greater than 0
    and finite (None: not given)."""
    if seconds is not None and not (math.isfinite(seconds) and seconds > 0):
        raise UsageError(f"{option} {seconds:g}: expected a number of seconds greater than 0, e.g. 600")


def default_jobs(jobs, tasks: int | None = None) -> int:
    """The worker processes to start: ``jobs`` when given, else one per
    core; never more than ``tasks`` (when known), and at least 1."""
    count = jobs if jobs is not None else cores()
    if tasks is not None:
        count = min(count, tasks)
    return max(1, int(count))


def add_data_units(parser):
    """``--observable``, ``--time-unit``, ``--conc-unit`` and ``--c-in``:
    how a measured curve's columns are named and in which units (a unit in
    a header's brackets, ``Time [min]``, is used when the option is not
    given)."""
    parser.add_argument("--observable", metavar="COLUMN=NAME",
                        help="the data column to fit when there are several, or a column of "
                             "another name and the observable it is, e.g. \"Outlet conc.=c_out\"")
    parser.add_argument("--time-unit", metavar="UNIT",
                        help="unit of the data's time column: s, min, h (default: the header's "
                             "[unit], else s)")
    parser.add_argument("--conc-unit", metavar="UNIT",
                        help="unit of the data's concentrations: mg/L, ug/L, mol/m3, %% (of c_in) "
                             "(default: the header's [unit], else units of c_in)")
    parser.add_argument("--c-in", metavar="QUANTITY",
                        help="the inlet concentration the problem's c_in stands for, e.g. "
                             "\"10 mg/L\"; needed for data in an absolute concentration unit")
