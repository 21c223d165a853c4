"""Every figure the toolkit draws names a unit on both axes.

A figure is read as its reader reads it: from the labels alone.  The
toolkit's convention (``questrand.units.axis_label``) is ``quantity [unit]``
with the unit last, in brackets.  The unit must be one a reader can use:
a unit of the toolkit's unit table (``s``, ``m``, ``mg/L`` ...), ``%``,
``1`` for a count or a ratio, or the program's own concentration unit, the
unit of the inlet concentration c_in (alone or times m2 for an amount per
metre of depth, m2/s for its flux).  A time axis is in s (the model's time;
the fit figure shows the data file's unit, s here).  An axis of named
categories (a design per bar) needs a label but has no unit.  The x axis
of panels stacked on one shared time axis is labelled once, on the lowest.

Each group makes its figures on a small run: the run figures from the
reference transient case's files, the fits, the design study and the
convergence study from the 8-column problem of test_fit.py (a fraction of a
second per model run), the sweep figure from two runs of the sweep tests'
base case through the workflow.
"""

import re

import pytest
from test_fit import BASE, TRUE_GEL, TRUE_MEMB, synthetic, write_csv
from test_outputs import transient  # noqa: F401  (the fixture)

from questrand import units
from questrand.plots import PLOTS

C_IN = units.C_UNIT
#: the program's concentration unit and its amounts and fluxes per metre of depth
PROGRAM_UNITS = {C_IN, f"{C_IN} m2", f"{C_IN} m2/s"}
UNIT_AT_END = re.compile(r"\[([^\[\]]+)\]$")


def usable_unit(unit: str) -> bool:
    if unit in PROGRAM_UNITS or unit in ("1", "%"):
        return True
    try:
        units.parse_unit(unit)
    except units.UnitError:
        return False
    return True


def has_data(ax) -> bool:
    return bool(ax.lines or ax.collections or ax.patches or ax.images)


def categorical(axis) -> bool:
    """Ticks named by words (set with their labels), not numbers."""
    texts = [t.get_text() for t in axis.get_majorticklabels()]
    return any(re.search(r"[A-Za-z]", text) and not text.startswith("$") for text in texts)


def label_problems(fig, name):
    """The axes of ``fig`` whose labels lack a usable unit, as texts."""
    problems = []
    for k, ax in enumerate(fig.axes):
        where = f"{name}, axes {k} ({ax.get_title() or 'untitled'})"
        colorbar = getattr(ax, "_colorbar", None)
        if colorbar is not None:  # the colour scale's label is on its long axis
            labels = {"colour scale": ax.get_ylabel() if colorbar.orientation == "vertical" else ax.get_xlabel()}
        elif not has_data(ax):
            continue
        else:
            x_label = ax.get_xlabel() or next((s.get_xlabel() for s in ax.get_shared_x_axes().get_siblings(ax)
                                               if s.get_xlabel()), "")
            labels = {"x": x_label, "y": ax.get_ylabel()}
            for side, axis in (("x", ax.xaxis), ("y", ax.yaxis)):
                if categorical(axis) and labels[side]:
                    labels.pop(side)
        for side, label in labels.items():
            found = UNIT_AT_END.search(label.strip())
            if not found or not usable_unit(found.group(1)):
                problems.append(f"{where}: {side} label {label!r} has no usable unit")
            elif label.lower().startswith("time") and found.group(1) != "s":
                problems.append(f"{where}: {side} label {label!r}: a time in {found.group(1)}, the model's is s")
    return problems


# -- the figures of each part of the toolkit, on small runs ---------------------------
def run_figures(request, program, tmp_path):
    run = request.getfixturevalue("transient")
    return [(name, plot(run)) for name, plot in PLOTS]


def fit_figures(request, program, tmp_path):
    from questrand.fit import fit
    from questrand.fit.report import plot_fit

    figures = []
    for observable in ("c_gel_mean", "m_gel"):
        data, _ = synthetic(program, tmp_path, observable, noise=0.01, seed=7, name=f"truth_{observable}")
        res = fit(BASE.replace(diff_gel=1.5 * TRUE_GEL), data, ["diff_gel"], jobs=2, program=program,
                  grid_check=False)
        figures.append((f"fit of {observable}", plot_fit(res)))
    return figures


def joint_figures(request, program, tmp_path):
    from questrand.fit.joint import fit_experiments
    from questrand.fit.report import plot_fit

    experiments = []
    for name, problem in (("thick", BASE), ("thin", BASE.replace(th_gel=2e-4, n_gel=3))):
        data, _ = synthetic(program, tmp_path, "c_gel_mean", noise=0.01, seed=8, problem=problem, name=name)
        path = write_csv(tmp_path / f"{name}.csv", ["time", "c_gel_mean"], zip(data.time, data.value))
        experiments.append((name, problem.replace(diff_memb=1.5 * TRUE_MEMB, diff_gel=1.5 * TRUE_GEL), path))
    res = fit_experiments(experiments, ["diff_memb", "diff_gel"], jobs=2, program=program, grid_check=False)
    return [("joint fit", plot_fit(res))]


def design_figures(request, program, tmp_path):
    from questrand.design import design
    from questrand.design.report import plot_halfwidths, plot_sensitivity
    from questrand.design.table import Design

    designs = [Design(id="mean", observable="c_gel_mean", t_start=10.0, t_end=300.0, n_samples=30,
                      sigma=0.002, values={}),
               Design(id="amount", observable="m_gel", t_start=10.0, t_end=300.0, n_samples=30,
                      sigma=1e-9, values={})]
    study = design(BASE, designs, ["diff_memb", "diff_gel"], jobs=2, program=program)
    return [("design half-widths", plot_halfwidths(study)),
            ("design sensitivity", plot_sensitivity(study, study.results[0]))]


def convergence_figures(request, program, tmp_path):
    from questrand.converge import plot_study, study

    st = study(BASE, levels=3, observables=["c_gel_mean", "m_gel"], times=[100.0, 300.0], jobs=2,
               program=program, workdir=tmp_path / "converge")
    return [("convergence study", plot_study(st))]


def sweep_figures(request, program, tmp_path):
    import shutil

    from test_sweep import ROWS, sweep, write_base, write_table

    from questrand.sweep import Sweep, plot_uptake_comparison

    if shutil.which("snakemake") is None:
        pytest.skip("snakemake not installed (Debian package snakemake)")
    base = write_base(tmp_path)
    table = write_table(tmp_path / "SWEEP.csv", ROWS[:2])
    done = sweep(program, base, table, "-o", tmp_path / "out", "--jobs", "2")
    assert done.returncode == 0, done.stderr[-3000:]
    return [("sweep uptake", plot_uptake_comparison(Sweep.from_csv(base, table), tmp_path / "out"))]


@pytest.mark.parametrize("figures", [run_figures, fit_figures, joint_figures, design_figures,
                                     convergence_figures, sweep_figures],
                         ids=["run", "fit", "joint", "design", "convergence", "sweep"])
def test_every_axis_names_its_unit(figures, request, program, tmp_path):
    made = figures(request, program, tmp_path)
    assert made
    problems = [p for name, fig in made for p in label_problems(fig, name)]
    checked = sum(has_data(ax) for _, fig in made for ax in fig.axes)
    assert checked >= len(made)
    assert not problems, "\n".join(problems)
