#!/usr/bin/python3
"""The concentration schemes on the one-dimensional membrane/gel stack.

A membrane (1e-4 m) over a gel (5e-4 m), empty at t = 0, held at c = 1 on the
membrane face from t = 0 and closed behind the gel: the uptake of the
instrument's solid layers under a well-mixed channel.  The gel mean of each
scheme (over the gel's own cells) is compared with the two-layer slab series.

Schemes, in double precision:
  standard      faces midway between nodes, arithmetic mean of the two
                diffusivities on the face, implicit Euler (the program's
                standard scheme with the channel replaced by the held face)
  so-bdf2       faces on the layer boundaries (the design cells), harmonic
                conductance across the membrane/gel face, BDF2 started with
                one implicit Euler step (the program's second-order scheme)
  so-cn         the same faces with Crank-Nicolson, its first step split into
                two implicit Euler half steps

Prints, per stack and grid, the largest error of the gel mean (in c_in) over
t >= t_end / 10 (the first steps resolve the jump of the face value at first
order in every scheme, and that start fades from the curve), the bias of
D_gel fitted to the series curve with D_memb known (also on 8/16 rows with
dt 10 s), the observed orders, and the behaviour of each time scheme in the
channel at a Courant number of 50; writes docs/scheme_error.png.

  /usr/bin/python3 docs/scheme_study.py [--no-fit] [--png PATH]
"""

import argparse
import math
import os

import numpy as np
from scipy.linalg import solve_banded
from scipy.optimize import brentq, minimize_scalar

L1, L2 = 1.0e-4, 5.0e-4
STACKS = {  # name: (D_memb, D_gel, end time s)
    "balanced": (5e-10, 8e-10, 800.0),
    "membrane-limited": (5e-11, 8e-10, 4000.0),
    "gel-limited": (5e-9, 5e-10, 1200.0),
}
GRIDS = [(4, 8, 10.0), (8, 16, 5.0), (16, 32, 2.5)]


class Series:
    """Gel mean of the two-layer slab (held at 1 at z = 0, closed at L1 + L2)."""

    def __init__(self, d1, d2, nmodes=300):
        self.d1, self.d2 = d1, d2
        r = math.sqrt(d1 / d2)

        def f(k1):  # continuity of c and of D dc/dz at z = L1, in k1
            k2 = k1 * r
            return d1 * k1 * math.cos(k1 * L1) * math.cos(k2 * L2) - d2 * k2 * math.sin(k1 * L1) * math.sin(k2 * L2)

        step = min(math.pi / L1, math.pi / (L2 * r)) / 50.0
        roots, a, fa = [], 1e-9 * step, f(1e-9 * step)
        while len(roots) < nmodes:
            b = a + step
            fb = f(b)
            if (fa < 0) != (fb < 0):
                roots.append(brentq(f, a, b, xtol=1e-14 * b))
            a, fa = b, fb
        self.mu, self.w = [], []
        for k1 in roots:
            k2 = k1 * r
            # continuity of c, or of the flux where cos(k2 L2) vanishes (commensurate layers)
            if abs(math.cos(k2 * L2)) > abs(math.sin(k2 * L2)):
                bb = math.sin(k1 * L1) / math.cos(k2 * L2)
            else:
                bb = d1 * k1 * math.cos(k1 * L1) / (d2 * k2 * math.sin(k2 * L2))
            int1 = (1 - math.cos(k1 * L1)) / k1
            int2 = bb * math.sin(k2 * L2) / k2
            sq1 = 0.5 * L1 - math.sin(2 * k1 * L1) / (4 * k1)
            sq2 = bb * bb * (0.5 * L2 + math.sin(2 * k2 * L2) / (4 * k2))
            weight = (int1 + int2) / (sq1 + sq2)
            self.mu.append(d1 * k1 * k1)
            self.w.append(weight * int2 / L2)  # the mode's share of the gel mean
        self.mu, self.w = np.array(self.mu), np.array(self.w)

    def gel_mean(self, t):
        t = np.atleast_1d(t)
        return 1.0 - (self.w[None, :] * np.exp(-np.outer(t, self.mu))).sum(axis=1)


def operator(d1, d2, n1, n2, faces):
    """Capacities V and conductances (K between neighbours, K0 to the held face)."""
    h1, h2 = L1 / n1, L2 / n2
    n = n1 + n2
    d = np.array([d1] * n1 + [d2] * n2)
    h = np.array([h1] * n1 + [h2] * n2)
    if faces == "standard":
        z = np.concatenate([(np.arange(n1) + 0.5) * h1, L1 + (np.arange(n2) + 0.5) * h2])
        zf = np.concatenate([[0.0], 0.5 * (z[:-1] + z[1:]), [L1 + L2]])
        vol = np.diff(zf)
        k = 0.5 * (d[:-1] + d[1:]) / np.diff(z)
        k0 = d1 / h1  # mirror node at -h1/2 held at 1
    else:
        vol = h.copy()
        k = 1.0 / (0.5 * h[:-1] / d[:-1] + 0.5 * h[1:] / d[1:])
        k0 = d1 / (0.5 * h1)
    return vol, k, k0


def run(d1, d2, n1, n2, dt, t_end, scheme):
    faces = "standard" if scheme == "standard" else "design"
    vol, k, k0 = operator(d1, d2, n1, n2, faces)
    n = n1 + n2
    # A c = b:  (A c)_i = sum of conductance times differences (diffusion out of i)
    diag = np.zeros(n)
    diag[:-1] += k
    diag[1:] += k
    diag[0] += k0
    src = np.zeros(n)
    src[0] = k0  # the held face at c = 1

    def solve(cap, rhs):  # (cap V + A) c = rhs
        ab = np.zeros((3, n))
        ab[0, 1:] = -k
        ab[1] = cap * vol + diag
        ab[2, :-1] = -k
        return solve_banded((1, 1), ab, rhs)

    def apply(c):
        out = diag * c
        out[:-1] -= k * c[1:]
        out[1:] -= k * c[:-1]
        return out

    gel = slice(n1, n)
    nsteps = int(round(t_end / dt))
    c = np.zeros(n)
    cold2 = None
    means = []
    for step in range(1, nsteps + 1):
        if scheme == "standard" or (scheme == "so-bdf2" and step == 1):
            new = solve(1.0 / dt, vol * c / dt + src)
        elif scheme == "so-bdf2":
            new = solve(1.5 / dt, vol * (2.0 * c - 0.5 * cold2) / dt + src)
        elif step == 1:  # Crank-Nicolson start: two implicit half steps
            half = solve(2.0 / dt, vol * c * 2.0 / dt + src)
            new = solve(2.0 / dt, vol * half * 2.0 / dt + src)
        else:
            new = solve(2.0 / dt, vol * c * 2.0 / dt - apply(c) + 2.0 * src)
        cold2, c = c, new
        means.append(c[gel].mean())
    return dt * np.arange(1, nsteps + 1), np.array(means)


def fitted_bias(d1, d2, n1, n2, dt, t_end, scheme, truth):
    """D_gel of the scheme that best matches the series curve, relative to d2, minus 1."""
    t, _ = run(d1, d2, n1, n2, dt, t_end, scheme)
    target = truth.gel_mean(t)

    def cost(logd):
        return float(((run(d1, math.exp(logd), n1, n2, dt, t_end, scheme)[1] - target) ** 2).sum())

    r = minimize_scalar(cost, bracket=(math.log(d2 * 0.8), math.log(d2 * 1.2)), tol=1e-10)
    return math.exp(r.x) / d2 - 1.0


def channel_ringing(scheme, courant=50.0, ncells=30, nsteps=30):
    """Upwind convection along the channel (the hybrid scheme at cell Peclet
    numbers far above 2), c = 1 entering at t = 0 into an empty channel, at the
    given Courant number: the lowest and highest concentration met, and the
    number of sign changes of the step-to-step change at the outlet cell."""
    n = ncells
    a = np.zeros((2, n))  # lower bidiagonal: cap c_i + C (c_i - c_{i-1}) per unit dt
    c = np.zeros(n)
    cold2 = None
    lo, hi, hist = 0.0, 1.0, []

    def solve(cap, rhs):
        out = np.empty(n)
        prev = 1.0  # inlet value
        for i in range(n):
            out[i] = (rhs[i] + courant * prev) / (cap + courant)
            prev = out[i]
        return out

    def apply(c):  # C (c_i - c_{i-1}) with the inlet at 1
        up = np.concatenate([[1.0], c[:-1]])
        return courant * (c - up)

    for step in range(1, nsteps + 1):
        if scheme == "so-bdf2" and step > 1:
            new = solve(1.5, 2.0 * c - 0.5 * cold2)
        elif scheme == "so-cn" and step == 1:
            half = solve(2.0, 2.0 * c)
            new = solve(2.0, 2.0 * half)
        elif scheme == "so-cn":
            # 2 c_new + C (c_new - c_new,up) = 2 c - C (c - c_up), inlet at 1 on both levels
            new = solve(2.0, 2.0 * c - apply(c))
        else:
            new = solve(1.0, c)
        cold2, c = c, new
        lo, hi = min(lo, c.min()), max(hi, c.max())
        hist.append(c[-1])
    d = np.diff(hist)
    d = d[np.abs(d) > 1e-12]
    return lo, hi, int((np.sign(d[1:]) != np.sign(d[:-1])).sum())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--no-fit", action="store_true", help="skip the fits of D_gel")
    ap.add_argument("--png", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "scheme_error.png"))
    args = ap.parse_args()
    schemes = ["standard", "so-bdf2", "so-cn"]
    table = {}
    for name, (d1, d2, t_end) in STACKS.items():
        truth = Series(d1, d2)
        print(f"{name}: D_memb {d1:g}, D_gel {d2:g}, curve to {t_end:g} s")
        for scheme in schemes:
            errs = []
            for n1, n2, dt in GRIDS:
                t, g = run(d1, d2, n1, n2, dt, t_end, scheme)
                late = t >= 0.1 * t_end
                err = float(np.abs(g - truth.gel_mean(t))[late].max())
                errs.append(err)
                fit = "" if args.no_fit else f"  fitted D_gel {100 * fitted_bias(d1, d2, n1, n2, dt, t_end, scheme, truth):+.2f} %"
                print(f"  {scheme:9s} {n1:2d}/{n2:2d} rows dt {dt:4g} s: max |gel mean error| {err:.3e}{fit}")
            orders = [math.log2(errs[i] / errs[i + 1]) for i in range(len(errs) - 1)]
            print(f"  {scheme:9s} observed orders " + " ".join(f"{o:.2f}" for o in orders))
            if not args.no_fit:
                print(f"  {scheme:9s} 8/16 rows dt 10 s: fitted D_gel "
                      f"{100 * fitted_bias(d1, d2, 8, 16, 10.0, t_end, scheme, truth):+.2f} %")
            table[(name, scheme)] = errs
    print("channel at Courant number 50 (upwind convection, c_in = 1 entering an empty channel, 30 cells, 30 steps):")
    for scheme in schemes:
        lo, hi, flips = channel_ringing(scheme)
        print(f"  {scheme:9s} lowest {lo:+.3e}, highest {hi:.6f}, sign changes of the outlet's step change {flips}")
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, axes = plt.subplots(1, 3, figsize=(12, 4), sharey=True)
    h = np.array([L2 / n2 for _, n2, _ in GRIDS]) * 1e6
    labels = {"standard": "standard", "so-bdf2": "second-order (BDF2)", "so-cn": "faces + Crank-Nicolson"}
    for ax, name in zip(axes, STACKS):
        for scheme, style in zip(schemes, ["o-", "s-", "^--"]):
            ax.loglog(h, table[(name, scheme)], style, label=labels[scheme])
        ax.loglog(h, table[(name, "so-bdf2")][0] * (h / h[0]) ** 2, ":", color="grey", label="slope 2")
        ax.set_title(name)
        ax.set_xlabel("gel cell height (µm); dt 10, 5, 2.5 s")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("largest error of the gel mean, t ≥ t_end/10 (c_in)")
    axes[0].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(args.png, dpi=110)
    print("wrote", args.png)


if __name__ == "__main__":
    main()
