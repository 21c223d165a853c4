"""The exact uptake of a membrane over a gel: the two-layer slab series.

Layer 1 (the membrane, 0 < z < L1, diffusivity D1) lies on layer 2 (the gel,
L1 < z < L1 + L2, D2); c = 1 at z = 0 from t = 0, the far face z = L1 + L2
is closed, c = 0 at t = 0, no partition at the interface (c and D dc/dz
continuous).  With u = 1 - c, separation of variables gives modes
exp(-s^2 t) X(z) with k_i = s / sqrt(D_i),

    X = sin(k1 z)                         in layer 1,
    X = B cos(k2 (L - z))                 in layer 2   (L = L1 + L2),

and continuity of c and of the flux at z = L1 give the eigenvalue equation

    D1 k1 cos(k1 L1) cos(k2 L2) - D2 k2 sin(k1 L1) sin(k2 L2) = 0

with B = sin(k1 L1) / cos(k2 L2) (continuity of c) or, where cos(k2 L2) is
small, B = D1 k1 cos(k1 L1) / (D2 k2 sin(k2 L2)) (continuity of the flux):
for commensurate layers (k1 L1 / k2 L2 rational, as for 0.1 mm at 5e-11
over 0.5 mm at 8e-10) a root can make both sin(k1 L1) and cos(k2 L2)
vanish, and only the second form gives the mode.

The problem is self-adjoint with unit capacity in both layers, so the modes
are orthogonal and u(z, 0) = 1 expands with weights int X / int X^2.
This module is independent of the program: no part of questrand computes it.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import optimize


class TwoLayerSlab:
    def __init__(self, d1, l1, d2, l2, t_min=1.0, tail=60.0):
        """Modes with s^2 t_min < ``tail`` (the neglected terms are below
        exp(-tail) relative at times >= t_min)."""
        self.d1, self.l1, self.d2, self.l2 = float(d1), float(l1), float(d2), float(l2)
        s_max = math.sqrt(tail / t_min)
        # Roots are spaced by about pi / (L1/sqrt(D1) + L2/sqrt(D2)) in s.
        spacing = math.pi / (self.l1 / math.sqrt(self.d1) + self.l2 / math.sqrt(self.d2))
        grid = np.arange(spacing * 1e-3, s_max + spacing, spacing / 40.0)
        values = self._f(grid)
        roots = []
        for a, b, fa, fb in zip(grid[:-1], grid[1:], values[:-1], values[1:]):
            if fa == 0.0:
                roots.append(a)
            elif fa * fb < 0.0:
                roots.append(optimize.brentq(self._f, a, b, xtol=1e-15 * b, rtol=1e-14))
        self.s = np.array(roots)
        k1, k2 = self.s / math.sqrt(self.d1), self.s / math.sqrt(self.d2)
        a, b = k1 * self.l1, k2 * self.l2
        self.k1, self.k2 = k1, k2
        by_value = np.abs(np.cos(b)) > np.abs(np.sin(b))
        with np.errstate(divide="ignore", invalid="ignore"):
            self.b = np.where(by_value, np.sin(a) / np.cos(b),
                              self.d1 * k1 * np.cos(a) / (self.d2 * k2 * np.sin(b)))
        # integrals of X over each layer and of X^2 over the slab
        self.int1 = (1.0 - np.cos(a)) / k1
        self.int2 = self.b * np.sin(b) / k2
        sq = ((self.l1 / 2 - np.sin(2 * a) / (4 * k1))
              + self.b ** 2 * (self.l2 / 2 + np.sin(2 * b) / (4 * k2)))
        self.weight = (self.int1 + self.int2) / sq

    def _f(self, s):
        k1, k2 = s / math.sqrt(self.d1), s / math.sqrt(self.d2)
        return (self.d1 * k1 * np.cos(k1 * self.l1) * np.cos(k2 * self.l2)
                - self.d2 * k2 * np.sin(k1 * self.l1) * np.sin(k2 * self.l2))

    def _decay(self, t):
        t = np.atleast_1d(np.asarray(t, dtype=float))
        return self.weight[None, :] * np.exp(-np.outer(t, self.s ** 2))

    def value(self, z, t):
        """c at depth z (scalar) and times t."""
        if z <= self.l1:
            shape = np.sin(self.k1 * z)
        else:
            shape = self.b * np.cos(self.k2 * (self.l1 + self.l2 - z))
        return 1.0 - self._decay(t) @ shape

    def membrane_mean(self, t):
        return 1.0 - self._decay(t) @ self.int1 / self.l1

    def gel_mean(self, t):
        return 1.0 - self._decay(t) @ self.int2 / self.l2
