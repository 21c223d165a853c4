"""The experimenter's language: an instrument's data file (comment lines,
minutes, mg/L, a column of its own name) fitted as it is, and the flow
given as the instrument's flow rate through a cell of a width.

The references are made by hand, not by the code under test: the file
converted to seconds and units of c_in by plain arithmetic, and the inlet
velocity of 0.5 mL/min through a 10 mm by 1 mm gap worked out on paper
(mean 0.5e-6/60 / (0.01 · 1e-3) = 8.333e-4 m/s; centreline 1.5 × mean).
The reports (--report, a page or a PDF) are read back as a browser and a
PDF reader see them, and hold the numbers of the runs' own files; the
amounts in the whole cell (--width) are the layers' volumes at c_in,
worked out by hand.
"""

import base64
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest
from conftest import PYTHON_DIR

import questrand
from questrand import Problem
from questrand.design.table import read_designs
from questrand.sweep import Sweep

# A 25 mm channel, plug flow (not solved) of 0.5 mL/min through a 10 mm wide
# cell of 1 mm gap, over a 0.1 mm membrane and a 0.4 mm gel; the outlet
# concentration recovers from 0.6 c_in to c_in within some 10 minutes.
CELL = dict(chlength=0.025, halfgap=5e-4, th_memb=1e-4, th_gel=4e-4, c_in=1.0, density=1000.0,
            viscosity=1e-3, diff_flow=1e-9, diff_memb=2e-10, diff_gel=5e-10, ni=8, n_flow=2,
            n_memb=2, n_gel=5, steady=False, nsteps=120, dt=60.0, solve_u=False, solve_c=True,
            maxit=20, convtol=1e-5, relax_u=0.5, relax_p=0.5, relax_c=1.0, solver_u=1, solver_p=1,
            solver_c=1, imon=4, jmon=4, prt_step=10, runname="FIT.OUT")
PLUG_MEAN = 0.5e-6 / 60 / (0.01 * 2 * 5e-4)  # m/s, by hand: Q / (W · 2h)


def pdf_pages_and_text(path):
    """(number of pages, the text drawn) of a PDF matplotlib wrote: its
    page objects counted, the strings of the text operators (Tj, TJ) of
    its deflated content streams joined (a kerned word is cut into several
    strings), every run of blanks one blank; read without the code that wrote it."""
    import re
    import zlib

    data = path.read_bytes()
    assert data.startswith(b"%PDF-")
    pages = len(re.findall(rb"/Type\s*/Page\b", data))
    text = []
    for stream in re.findall(rb"stream\r?\n(.*?)endstream", data, re.S):
        try:
            content = zlib.decompress(stream).decode("latin-1")
        except zlib.error:
            continue
        for shown in re.findall(r"\[(.*?)\]\s*TJ|(\(.*?\))\s*Tj", content, re.S):
            parts = re.findall(r"\(((?:[^()\\]|\\.)*)\)", "".join(shown))
            text.append(re.sub(r"\\(.)", r"\1", "".join(parts)))
    return pages, " ".join(" ".join(text).split())  # a wrapped line's break as one blank


def shows_in_browser(page, texts):
    """The page opens in headless chromium and its rendered text holds
    ``texts`` (chromium's --dump-dom after the page ran); a screenshot is
    made too. Skipped in one line where there is no chromium."""
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        print("no chromium: the page is not rendered")
        return
    flags = [browser, "--headless", "--no-sandbox", "--disable-gpu"]
    shot = page.with_suffix(".png")
    subprocess.run([*flags, f"--screenshot={shot}", "--window-size=1200,2400", page.as_uri()],
                   capture_output=True, timeout=50)
    assert shot.is_file() and shot.stat().st_size > 10000
    dom = subprocess.run([*flags, "--dump-dom", page.as_uri()], capture_output=True, text=True, timeout=50)
    for text in texts:
        assert text in dom.stdout, text


def program_values(problem):
    """The values the program reads from the problem's PROB.INP: reals in
    single precision, as the program keeps them."""
    return {name: np.float32(value) if isinstance(value, float) else value
            for name, value in Problem.parse(problem.text()).as_dict().items()}


def test_flow_rate_and_width_give_the_run_of_the_u_in_they_imply(program, tmp_path):
    # plug inlet: u_in is the mean velocity; parabolic: the centreline, 1.5 × mean
    plug = Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm")
    assert program_values(plug) == program_values(Problem(**CELL, u_in=PLUG_MEAN))
    assert abs(PLUG_MEAN - 8.3333e-4) < 1e-8
    parabolic = Problem(**{**CELL, "parabolic": True}, flow_rate=0.5e-6 / 60, width=0.01)
    assert program_values(parabolic) == program_values(Problem(**{**CELL, "parabolic": True}, u_in=1.25e-3))
    # the 1.5: the profile u_max (1 - y²/h²) carries Q/W across the full gap
    h = CELL["halfgap"]
    y = np.linspace(-h, h, 20001)
    carried = np.trapz(parabolic.u_in * (1 - (y / h) ** 2), y) * 0.01
    assert abs(carried / (0.5e-6 / 60) - 1) < 1e-6
    # a sweep table with comment lines, and the instrument's units in its cells
    Problem(**CELL, u_in=1e-3).write(tmp_path / "PROB.INP")
    table = tmp_path / "flows.csv"
    table.write_text("# flow rates of the pump\nid,flow_rate,width\n# slow first\n"
                     "slow,0.5 mL/min,10 mm\nfast,3e-8,0.01\n")
    runs = Sweep.from_csv(tmp_path / "PROB.INP", table).runs
    assert [run.id for run in runs] == ["slow", "fast"]
    assert program_values(runs[0].problem) == program_values(Problem(**CELL, u_in=PLUG_MEAN))
    assert runs[1].problem.u_in == pytest.approx(3e-8 / (0.01 * 1e-3), rel=1e-6)
    grid = Sweep.from_grid(tmp_path / "PROB.INP", ["flow_rate=0.5 mL/min,1 mL/min", "width=10 mm"]).runs
    assert [run.id for run in grid] == ["flow_rate=0.5mL_per_min__width=10mm", "flow_rate=1mL_per_min__width=10mm"]
    assert program_values(grid[1].problem) == program_values(Problem(**CELL, u_in=2 * PLUG_MEAN))
    # a design table, by the same reading rule
    designs = tmp_path / "designs.csv"
    designs.write_text("# candidate flows\nid,observable,t_start,t_end,n_samples,sigma,flow_rate,width\n"
                       "slow,c_out,60,600,10,0.01,0.5 mL/min,10 mm\n")
    design, = read_designs(designs)
    assert program_values(design.problem(Problem(**CELL, u_in=1e-3))) == \
        program_values(Problem(**{**CELL, "nsteps": 10, "prt_step": 10}, u_in=PLUG_MEAN))
    # the sampling times in the unit of the header: the same design
    designs.write_text("id,observable,t_start [min],t_end [min],n_samples,sigma,flow_rate,width\n"
                       "slow,c_out,1,10,10,0.01,0.5 mL/min,10 mm\n")
    in_minutes, = read_designs(designs)
    assert (in_minutes.times == design.times).all()
    assert program_values(in_minutes.problem(Problem(**CELL, u_in=1e-3))) == \
        program_values(design.problem(Problem(**CELL, u_in=1e-3)))
    with pytest.raises(TypeError, match="flow_rate needs width"):
        Problem(**CELL, flow_rate="0.5 mL/min")
    with pytest.raises(TypeError, match="not a volume flow"):
        Problem(**CELL, flow_rate="0.5 mL", width="10 mm")


def test_a_flow_rate_is_fitted_as_the_u_in_it_implies(program, tmp_path):
    """--param flow_rate (with the cell's width) fits the volume flow in
    place of u_in: from an outlet curve made at 0.5 mL/min, started at 0.3,
    it finds the flow whose u_in, Q / (W 2h) by hand for this plug inlet, is
    the u_in a fit of u_in itself finds."""
    from questrand.fit import fit, read_data
    truth = questrand.run(Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm"), tmp_path / "truth",
                          program=program).uptake.iloc[1::6]
    (tmp_path / "out.csv").write_text("time,c_out\n" + "".join(
        f"{t:g},{c:.9g}\n" for t, c in zip(truth["time"], truth["c_out"])))
    data = read_data(tmp_path / "out.csv")
    start = Problem(**CELL, flow_rate="0.3 mL/min", width="10 mm")
    by_flow = fit(start, data, ["flow_rate"], width=0.01, program=program, grid_check=False, jobs=2)
    by_u_in = fit(start, data, ["u_in"], program=program, grid_check=False, jobs=2)
    assert by_flow.parameters[0].start == pytest.approx(0.3e-6 / 60, rel=1e-6)
    assert by_flow.estimate[0] == pytest.approx(0.5e-6 / 60, rel=1e-3)
    assert by_flow.estimate[0] / (0.01 * 2 * 5e-4) == pytest.approx(by_u_in.estimate[0], rel=1e-4)
    start.write(tmp_path / "PROB.INP")
    refused = _cli(tmp_path, "fit", "PROB.INP", "out.csv", "--param", "flow_rate")
    assert refused.returncode != 0 and "--param flow_rate: needs the cell's width" in refused.stderr


def _fit(tmp_path, data_name, *options):
    env = {"PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(questrand.runner.find_program()),
           "PATH": "/usr/bin:/bin", "QUESTRAND_FLOW_CACHE": os.environ["QUESTRAND_FLOW_CACHE"]}
    out = f"{data_name}.json"
    done = subprocess.run([sys.executable, "-m", "questrand", "fit", "PROB.INP", data_name,
                           "--param", "diff_gel", "--bounds", "diff_gel=1e-11:1e-8", "--jobs", "2",
                           "--json", out, "--no-grid-check", *options],
                          cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads((tmp_path / out).read_text())["parameters"]["diff_gel"]


def test_the_instruments_file_fits_as_the_hand_converted_file(program, tmp_path):
    # the instrument's curve: the program's outlet at D_gel = 5e-10, c_in
    # standing for 10 mg/L, 0.3 % noise, sampled every minute for 2 hours
    truth = questrand.run(Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm"), tmp_path / "truth",
                          program=program).uptake
    seconds = truth["time"].to_numpy()
    rng = np.random.default_rng(7)
    c_out = truth["c_out"].to_numpy() + rng.normal(0.0, 0.003, len(seconds))
    minutes, mg_per_l = seconds / 60.0, 10.0 * c_out
    lines = ["# Flow-through cell, run 2026-12-09", "# inlet 10 mg/L, pump 0.5 mL/min",
             "Time [min],Outlet conc. [mg/L],Temperature [°C]"]
    lines += [f"{t:.6g},{c:.9g},21.5" for t, c in zip(minutes, mg_per_l)]
    (tmp_path / "instrument.csv").write_text("\n".join(lines) + "\n", encoding="utf-8")
    # the same file converted by hand: seconds, units of c_in (c_in = 1 ≙ 10 mg/L)
    hand = ["time,c_out"] + [f"{t * 60:.9g},{c / 10:.9g}" for t, c in zip(minutes, mg_per_l)]
    (tmp_path / "hand.csv").write_text("\n".join(hand) + "\n")
    Problem(**{**CELL, "diff_gel": 2e-10}, flow_rate="0.5 mL/min", width="10 mm").write(tmp_path / "PROB.INP")

    as_written = _fit(tmp_path, "instrument.csv", "--observable", "Outlet conc.=c_out",
                      "--c-in", "10 mg/L", "--report", "fit.html")
    by_hand = _fit(tmp_path, "hand.csv")
    assert as_written["estimate"] == pytest.approx(by_hand["estimate"], rel=1e-6)
    assert as_written["stderr"] == pytest.approx(by_hand["stderr"], rel=1e-4)
    assert as_written["ci95"][0] < 5e-10 < as_written["ci95"][1]
    # the unit given as an option instead of in the header: ug/L, c_in in mg/L
    (tmp_path / "ug.csv").write_text("\n".join(["t_min,outlet"] + [
        f"{t:.6g},{c * 1000:.9g}" for t, c in zip(minutes, mg_per_l)]).replace("t_min", "time") + "\n")
    in_ug = _fit(tmp_path, "ug.csv", "--observable", "outlet=c_out", "--time-unit", "min",
                 "--conc-unit", "ug/L", "--c-in", "10 mg/L", "--report", "fit.pdf")
    assert in_ug["estimate"] == pytest.approx(by_hand["estimate"], rel=1e-6)
    # the same report as a PDF: the text pages, then the figure on a page of its own
    pages, text = pdf_pages_and_text(tmp_path / "fit.pdf")
    assert 2 <= pages <= 3 and "Fit of diff_gel to c_out" in text
    for words in ("Channel 25 mm long", "0.5 mL/min per cm", "ug.csv", f"{in_ug['estimate']:.6g}",
                  "How to make it again", "--report fit.pdf"):
        assert words in text, words

    # the page: self-contained, the key text, a figure that is a PNG
    page = (tmp_path / "fit.html").read_text()
    for text in ("Channel 25 mm long", "gap of 1 mm", "0.5 mL/min per cm", "Outlet conc.", "time in min",
                 "c_out in mg/L", "diff_gel", f"{as_written['estimate']:.6g}", "--c-in",
                 "How to make it again", "Program: "):
        assert text in page, text
    assert "<link" not in page and "src='http" not in page
    png = base64.b64decode(page.split("data:image/png;base64,", 1)[1].split("'", 1)[0])
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) > 10000
    shows_in_browser(tmp_path / "fit.html", ["Channel 25 mm long", "How to make it again"])
    # the truth run as NetCDF: a units attribute on every numeric variable
    from questrand.netcdf import write_netcdf
    import xarray
    with xarray.open_dataset(write_netcdf(questrand.read_run(tmp_path / "truth"), tmp_path / "t.nc")) as nc:
        missing = [n for n in nc.variables if nc[n].dtype.kind in "iuf" and "units" not in nc[n].attrs]
        assert not missing and nc["c_out"].attrs["units"] == "unit of c_in"
        assert nc["m_gel"].attrs["units"] == "unit of c_in m2" and nc["uptake_time"].attrs["units"] == "s"
        # and in the unit the problem's c_in stands for: 2.5 mg/L per unit of the problem's c
        truth_c_in = questrand.read_run(tmp_path / "truth").problem.c_in
        with xarray.open_dataset(write_netcdf(questrand.read_run(tmp_path / "truth"), tmp_path / "mg.nc",
                                              c_in=f"{2.5 * truth_c_in:g} mg/L")) as mg:
            assert mg.attrs["c_in_quantity"] == f"{2.5 * truth_c_in:g} mg/L"
            for name, unit in (("c", "mg/L"), ("probe_c", "mg/L"), ("c_out", "mg/L"), ("m_gel", "mg/L m2"),
                               ("flux_memb_gel", "mg/L m2/s")):
                assert mg[name].attrs["units"] == unit
                np.testing.assert_allclose(mg[name].values, 2.5 * nc[name].values, rtol=1e-12)
            assert (mg["uptake_time"].values == nc["uptake_time"].values).all()
    refused = subprocess.run([sys.executable, "-m", "questrand", "netcdf", str(tmp_path / "truth"), "-o",
                              str(tmp_path / "bad.nc"), "--c-in", "10 min"], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)))
    assert refused.returncode != 0 and "--c-in 10 min: expected a positive concentration" in refused.stderr
    assert not (tmp_path / "bad.nc").exists()


def _cli(tmp_path, *args):
    env = {"PYTHONPATH": str(PYTHON_DIR), "QUESTRAND_PROGRAM": str(questrand.runner.find_program()),
           "PATH": "/usr/bin:/bin", "QUESTRAND_FLOW_CACHE": os.environ["QUESTRAND_FLOW_CACHE"]}
    return subprocess.run([sys.executable, "-m", "questrand", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)


def test_converge_report_shows_the_runs_values_and_opens_in_a_browser(program, tmp_path):
    """The page of a convergence study: the value of every grid at a
    reported time is the one in that grid's own uptake file (kept with
    --workdir), the estimate used is named, and the page opens in a
    browser; a report file of another suffix is refused before any run."""
    Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm").write(tmp_path / "PROB.INP")
    refused = _cli(tmp_path, "converge", "PROB.INP", "--report", "study.txt")
    assert refused.returncode == 2 and refused.stderr.strip().count("\n") == 0
    assert "--report study.txt: expected a file name ending in .html (a page) or .pdf" in refused.stderr
    done = _cli(tmp_path, "converge", "PROB.INP", "--observable", "m_gel", "--times", "600,3600",
                "--workdir", "runs", "--report", "study.html", "--jobs", "2", "--width", "10 mm",
                "--c-in", "10 mg/L")
    assert done.returncode == 0, done.stderr
    page = (tmp_path / "study.html").read_text()
    for factor in (1, 2, 4):
        uptake = questrand.read_run(tmp_path / "runs" / f"x{factor}").uptake
        for t in (600.0, 3600.0):
            value = float(uptake.loc[np.isclose(uptake["time"], t), "m_gel"].iloc[0])
            assert f"<td>{value:.6g}</td>" in page, (factor, t)
            if factor == 1:
                # in the cell, by hand: two gels (both walls) x 10 mm x 10 mg/L = 0.01 kg/m3, in ug
                assert f"<td>{value * 2 * 0.01 * 0.01 * 1e9:.4g}</td>" in page, t
    assert "m_gel in the cell (10 mm wide, both walls)" in page and "given grid [ug]" in page
    for text in ("Convergence study of PROB.INP", "x4: 26 columns", "three grids", "Why each estimate",
                 "Warnings", "--observable m_gel", "Program: "):
        assert text in page, text
    shows_in_browser(tmp_path / "study.html", ["Convergence study of PROB.INP", "How to make it again"])


def test_design_report_pdf_holds_the_ranking_of_the_design_table(program, tmp_path):
    """The PDF of a design study: the designs in the order and with the
    half-widths design.csv gives, then its two figures."""
    Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm").write(tmp_path / "PROB.INP")
    (tmp_path / "designs.csv").write_text("id,observable,t_start,t_end,n_samples,sigma\n"
                                          "outlet,c_out,60,1800,30,0.003\nearly,c_out,60,300,5,0.003\n")
    done = _cli(tmp_path, "design", "PROB.INP", "designs.csv", "--param", "diff_gel", "--max-refine", "2",
                "-o", "out", "--report", "design.pdf", "--jobs", "2")
    assert done.returncode == 0, done.stderr
    import csv
    ranked = list(csv.DictReader((tmp_path / "out" / "design.csv").open()))
    pages, text = pdf_pages_and_text(tmp_path / "design.pdf")
    assert pages == 3  # one text page, the half-widths, the sensitivities
    at = [text.index(f"{row['rank']} {row['id']} c_out") for row in ranked]
    assert at == sorted(at)
    for row in ranked:
        assert f"{100 * float(row['halfwidth_rel_diff_gel']):.3g} %" in text
    for words in ("which experiment measures diff_gel", "Channel 25 mm long", "--report design.pdf"):
        assert words in text, words


def test_width_shows_the_amounts_in_the_whole_cell(program, tmp_path):
    """--width: the uptake file's amounts per metre of depth as amounts in
    the cell, against the hand computation: at the end of two hours the
    gel and membrane are at c_in, so the cell holds its layers' volumes at
    c_in: two gels (both walls) of 0.4 mm x 25 mm x 10 mm = 2e-7 m3 at
    10 mg/L = 2 ug, two membranes of 0.1 mm = 0.5 ug; at c_in standing for
    2 mM, 2e-7 m3 x 2 mol/m3 = 400 nmol.  Without --width, nothing changes."""
    run = questrand.run(Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm"), tmp_path / "run", program=program)
    end = run.uptake.iloc[-1]
    assert end["c_gel_mean"] == pytest.approx(1.0, abs=1e-5)
    done = _cli(tmp_path, "summary", "run", "--json", "--width", "10 mm", "--c-in", "10 mg/L")
    assert done.returncode == 0, done.stderr
    cell = json.loads(done.stdout)["uptake_in_cell"]
    assert cell["unit"] == "ug" and cell["walls"] == 2
    assert cell["m_gel"] == pytest.approx(2.0, rel=2e-5) and cell["m_memb"] == pytest.approx(0.5, rel=2e-5)
    # the uptake file's value times the width, converted by hand: kg/m3 of 10 mg/L, 1e9 ug per kg
    assert cell["m_gel"] == pytest.approx(2 * end["m_gel"] * 0.01 * 0.01 * 1e9, rel=1e-6)
    molar = _cli(tmp_path, "summary", "run", "--width", "10 mm", "--c-in", "2 mM")
    assert "in the cell (10 mm wide, both walls): " in molar.stdout
    assert f"m_gel = {2 * end['m_gel'] * 0.01 * 2 * 1e9:.4g} nmol" in molar.stdout
    assert abs(2 * end["m_gel"] * 0.01 * 2 * 1e9 - 400) < 0.01
    plain = _cli(tmp_path, "summary", "run")
    assert plain.returncode == 0 and "in the cell" not in plain.stdout
    assert "uptake_in_cell" not in json.loads(_cli(tmp_path, "summary", "run", "--json").stdout)
    refused = _cli(tmp_path, "summary", "run", "--width", "10")
    assert refused.returncode == 2 and "--width 10: expected a positive length with its unit" in refused.stderr
    # the plot: the amounts' axis read on the right as ug in the cell
    from questrand.plots import plot_uptake
    import io
    figure = plot_uptake(questrand.read_run(tmp_path / "run"), 0.01, "10 mg/L")
    figure.savefig(io.BytesIO(), format="png")  # drawn: the right axis takes its limits from the left
    top = figure.axes[0]
    right, = top.child_axes
    assert right.get_ylabel().endswith("[ug]") and "10 mm wide" in right.get_ylabel()
    # 1e-5 unit of c_in m2 per metre of depth is 2 ug in the cell: 2 x 0.01 m x 0.01 kg/m3 x 1e9 ug/kg
    assert right.get_ylim() == pytest.approx([v * 2e5 for v in top.get_ylim()], rel=1e-9)
    assert plot_uptake(questrand.read_run(tmp_path / "run")).axes[0].child_axes == []
    drawn = _cli(tmp_path, "plot", "run", "-o", "plots", "--width", "10 mm", "--c-in", "10 mg/L")
    assert drawn.returncode == 0 and (tmp_path / "plots" / "uptake.png").stat().st_size > 10000
    # a design whose row gives the width: its plot of m_gel reads ug in the cell too
    Problem(**CELL, flow_rate="0.5 mL/min", width="10 mm").write(tmp_path / "PROB.INP")
    (tmp_path / "designs.csv").write_text("id,observable,t_start,t_end,n_samples,sigma,flow_rate,width\n"
                                          "gel,m_gel,60,3600,20,1e-7,0.5 mL/min,10 mm\n")
    done = _cli(tmp_path, "design", "PROB.INP", "designs.csv", "--param", "diff_gel", "--max-refine", "2",
                "-o", "out", "--c-in", "10 mg/L", "--report", "design.pdf")
    assert done.returncode == 0, done.stderr
    assert "amount in the cell (10 mm wide, both walls) [ug]" in pdf_pages_and_text(tmp_path / "design.pdf")[1]
    # a fit to the gel's amount: its report reads the data in the cell as well
    times, amounts = run.uptake["time"].to_numpy()[::6], run.uptake["m_gel"].to_numpy()[::6]
    (tmp_path / "m_gel.csv").write_text("time,m_gel\n" + "".join(f"{t:g},{m:.6g}\n" for t, m in zip(times, amounts)))
    done = _cli(tmp_path, "fit", "PROB.INP", "m_gel.csv", "--param", "diff_gel", "--no-grid-check", "--jobs", "2",
                "--width", "10 mm", "--c-in", "10 mg/L", "--report", "fit.html")
    assert done.returncode == 0, done.stderr
    page = (tmp_path / "fit.html").read_text()
    last = float(f"{amounts[-1]:.6g}")
    assert "m_gel in the cell (10 mm wide, both walls), in ug" in page
    assert f"The last point: {last * 2 * 0.01 * 0.01 * 1e9:.4g} ug." in page
