#!/usr/bin/python3
"""How much of the second-order scheme's remaining error in a flow problem is the channel's.

Runs the gel-uptake example (examples/gel-uptake: channel flow and
concentration, 30 min in steps of 10 s) with --scheme second-order on
  base       its own grid: 32 columns, 10/4/8 rows, dt 10 s
  channel    the channel refined 4 times (122 columns, 40 channel rows), the rest as base
  channel-x  only the columns refined (122)
  channel-y  only the channel rows refined (40)
  solids     the membrane and gel refined 4 times (16/32 rows) and dt 2.5 s, the rest as base
  fine       channel and solids refined
and compares the gel mean (over the gel's own cells, from the T*.CON files
every 60 s) of each with the fine run and with base.  Also reports the
channel's cell Peclet and Courant numbers and whether the channel
concentration leaves [0, c_in] (ringing) in the base run.

  /usr/bin/python3 docs/channel_share.py [PROGRAM] [--keep DIR]
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "gel-uptake", "PROB.INP")


def problem(text, ni, rows, dt, nsteps, prt):
    lines = text.split("\n")

    def set_after(key, value):
        for k, line in enumerate(lines):
            if line.lower().startswith(key):
                lines[k + 1] = value
                return
        raise KeyError(key)

    set_after("number of grid columns", str(ni))
    set_after("cell rows across", " ".join(str(r) for r in rows))
    set_after("time-step size", str(dt))
    set_after("number of the last time step", str(nsteps))
    set_after("field-table and concentration-file interval", str(prt))
    set_after("write the restart file", "F")
    return "\n".join(lines)


def gel_means(run_dir, th_flow, th_memb, dt):
    """Gel mean over the gel's own cells per T*.CON file: {time: mean}."""
    out = {}
    for f in sorted(glob.glob(os.path.join(run_dir, "T*.CON"))):
        step = int(re.search(r"T(\d+)\.CON", f).group(1))
        data = np.loadtxt(f)
        gel = data[data[:, 1] > th_flow + th_memb]
        out[round(step * dt, 6)] = gel[:, 2].mean()
    return out


def channel_range(run_dir, th_flow):
    lo, hi = 1.0, 0.0
    for f in glob.glob(os.path.join(run_dir, "T*.CON")):
        data = np.loadtxt(f)
        ch = data[data[:, 1] < th_flow, 2]
        lo, hi = min(lo, ch.min()), max(hi, ch.max())
    return lo, hi


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("program", nargs="?", default=os.environ.get("QUESTRAND_PROGRAM", os.path.join(HERE, "..", "build", "questrand")))
    ap.add_argument("--keep", help="keep the runs in this directory")
    args = ap.parse_args()
    args.program = os.path.abspath(args.program)
    text = open(EXAMPLE).read()
    work = args.keep or tempfile.mkdtemp(prefix="channel-share-")
    t_end = 1800.0
    cases = {  # name: (ni, rows, dt)
        "base": (32, (10, 4, 8), 10.0),
        "channel": (122, (40, 4, 8), 10.0),
        "channel-x": (122, (10, 4, 8), 10.0),
        "channel-y": (32, (40, 4, 8), 10.0),
        "solids": (32, (10, 16, 32), 2.5),
        "fine": (122, (40, 16, 32), 2.5),
    }
    means = {}
    for name, (ni, rows, dt) in cases.items():
        d = os.path.join(work, name)
        os.makedirs(d, exist_ok=True)
        nsteps = int(round(t_end / dt))
        prt = int(round(60.0 / dt))
        with open(os.path.join(d, "PROB.INP"), "w") as f:
            f.write(problem(text, ni, rows, dt, nsteps, prt))
        r = subprocess.run([args.program, "--scheme", "second-order"], cwd=d, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            sys.exit(f"{name}: exit status {r.returncode}: {r.stderr}")
        means[name] = gel_means(d, 1e-3, 1e-4, dt)
        print(f"{name:8s} ni {ni:3d} rows {rows} dt {dt:4g} s: {r.stderr.splitlines()[0]}")
    times = sorted(t for t in means["fine"] if t >= 60.0 and all(t in means[n] for n in cases))
    fine = np.array([means["fine"][t] for t in times])
    base = np.array([means["base"][t] for t in times])
    for name in ("base", "channel", "channel-x", "channel-y", "solids"):
        e = np.array([means[name][t] for t in times]) - fine
        k = int(np.abs(e).argmax())
        print(f"gel mean of {name:9s} - fine: largest {e[k]:+.2e} at {times[k]:g} s; at 300/600/1200 s "
              + " ".join(f"{e[times.index(t)]:+.2e}" for t in (300.0, 600.0, 1200.0)))
    for name in ("channel", "channel-x", "channel-y", "solids"):
        e = base - np.array([means[name][t] for t in times])
        k = int(np.abs(e).argmax())
        print(f"gel mean of base - {name:9s}: largest {e[k]:+.2e} at {times[k]:g} s; at 300/600/1200 s "
              + " ".join(f"{e[times.index(t)]:+.2e}" for t in (300.0, 600.0, 1200.0)))
    lo, hi = channel_range(os.path.join(work, "base"), 1e-3)
    print(f"base channel concentration over the run: min {lo:.3g}, max {hi:.7g} (c_in 1)")
    u, dx, d_flow, dt = 0.005, 0.03 / 30, 1e-9, 10.0
    print(f"channel (base): cell Peclet u dx / D {u * dx / d_flow:.0f} at the centreline, "
          f"{u * (1 - 0.95 ** 2) * dx / d_flow:.0f} in the row at the wall; Courant u dt / dx {u * dt / dx:.0f}")
    if not args.keep:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
