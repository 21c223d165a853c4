"""Exact solutions of a membrane over a gel with partition, a sink, uptake by
reaction, washout and release: layered-slab eigenfunction series.

The stack: the membrane 0 < z < a (diffusivity D_m, partition coefficient
K_m) lies on the gel a < z < a + b = L (D_g, K_g).  At equilibrium with a
liquid at concentration c the membrane holds K_m c and the gel K_g c.  The
variable phi = c / K_i is continuous across every face; the flux is
F = -K_i D_i dphi/dz (continuous), so layer i has capacity K_i and
conductivity K_i D_i.  With first-order uptake of rate k_i in a layer

    K_i dphi/dt = d/dz (K_i D_i dphi/dz) - K_i k_i phi,

phi = c_in at z = 0 (the face in the liquid, held at c_in), and the back
face z = L either closed (F = 0) or a perfect sink (phi = 0).  phi starts
uniform in each layer (phi0_i = c0_i / K_i).

Solution: phi = phi_s + sum_n a_n X_n(z) exp(-mu_n t), phi_s the steady
state.  In layer i a mode solves D_i X'' + (mu - k_i) X = 0, so with
q_i^2 = (mu - k_i) / D_i (negative where mu < k_i: hyperbolic) and
zeta = z - z_i (z_i the layer's top),

    X = X_i C(zeta) + G_i / (K_i D_i) S(zeta),   G = K_i D_i X',
    C = cos(q zeta), S = sin(q zeta) / q        (cosh, sinh / |q| for q^2 < 0).

The state (X, G) is continuous at the interface.  Each mode is started at
the held face with X(0) = 0, G(0) = 1 and carried down to the gel; in the
gel it is lambda Y(L - z), Y = C (closed back) or S (sink), carried from
the back face (so that a mode decaying into a strongly reacting gel is not
the small difference of growing cosh and sinh).  lambda comes from the
continuity of X, or of G where Y is small at the interface: for
commensurate layers (k1 L1 : k2 L2 rational) a root can make both
sin(k1 L1) and cos(k2 L2) vanish, and only the second form gives the mode,
as in slab_series.py.  The eigenvalues are found from the Pruefer angle of
(G / p, X) (p > 0 a scale): theta = the front's angle at the interface plus
the angle the back solution turns through the gel increases with mu, and
mode n (n - 1 zeros inside) has theta = (n - 1/2) pi at a closed back,
n pi at a sink; each root is bracketed on the monotone theta and bisected,
so none is missed.

The modes are orthogonal with weight K and N_n = int K X_n^2.  The steady
state is the same propagation at mu = 0 from (c_in, G_0), G_0 fixed by the
back condition.  Green's identity gives int K X_n phi_s = c_in / mu_n (for a
closed back or a sink, with or without reaction), so

    a_n = (sum_i K_i phi0_i int_i X_n - c_in / mu_n) / N_n.

Time integrals (the amount through a face, the amount reacted) need the
constant sum_n a_n l_n / mu_n of the functional l: it is l(psi) with
psi = int_0^inf (phi - phi_s) dt, solved in closed form per problem (the
lag of the sink, the reacting gel), so that the remaining series decays.

Modes: n_modes = None keeps those with mu_n t_min < 60 (t_min the smallest
positive time asked), the neglected terms below 1e-20 c_in; the results are
then exact to rounding (about 1e-13 of K c_in for concentrations, of
K c_in L for amounts) at every t >= t_min.  An integer n_modes keeps the
first n_modes modes (the error is then the tail, of order
exp(-mu_{n+1} t)).  At t = 0 the concentrations and amounts are the initial
state exactly; the fluxes at t = 0 are nan (singular at a held face).
This module is independent of the program: no part of questrand computes it.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Callable, Optional

import numpy as np

TAIL = 60.0  # modes with mu t_min < TAIL are kept


# -- the two fundamental solutions of X'' = -q2 X and their integrals ------

def _fundamental(q2, x):
    """C = cos(q x), S = sin(q x) / q for q2 = q^2 > 0; cosh(|q| x),
    sinh(|q| x) / |q| for q2 < 0; 1, x for q2 = 0."""
    q2 = np.asarray(q2, dtype=float)
    r = np.sqrt(np.abs(q2))
    r_safe = np.where(r > 0.0, r, 1.0)
    rx = r * x
    with np.errstate(over="ignore"):
        c = np.where(q2 > 0.0, np.cos(rx), np.cosh(rx))
        s = np.where(q2 > 0.0, np.sin(rx) / r_safe, np.where(q2 < 0.0, np.sinh(rx) / r_safe, x))
    return c, s


def _int_s(q2, x):
    """int_0^x S = (1 - C(x)) / q2 = 2 S(x/2)^2 (no cancellation)."""
    return 2.0 * _fundamental(q2, 0.5 * x)[1] ** 2


def _int_c2(q2, x):
    """int_0^x C^2 = x/2 + S(2x)/4."""
    return 0.5 * x + 0.25 * _fundamental(q2, 2.0 * x)[1]


def _int_cs(q2, x):
    """int_0^x C S = S(x)^2 / 2."""
    return 0.5 * _fundamental(q2, x)[1] ** 2


def _int_s2(q2, x):
    """int_0^x S^2 = (x - S(2x)/2) / (2 q2); for |q2 x^2| < 1 the series
    x^3 sum_{j>=1} (-1)^(j+1) 2^(2j-1) y^(j-1) / (2j+1)!, y = q2 x^2."""
    q2 = np.asarray(q2, dtype=float)
    y = q2 * x * x
    small = np.abs(y) < 1.0
    y_small = np.where(small, y, 0.0)
    series = np.zeros_like(y)
    for j in range(1, 18):
        series += (-1) ** (j + 1) * 2.0 ** (2 * j - 1) * y_small ** (j - 1) / float(math.factorial(2 * j + 1))
    series *= x ** 3
    q2_safe = np.where(small, 1.0, q2)
    closed = (x - 0.5 * _fundamental(q2_safe, 2.0 * x)[1]) / (2.0 * q2_safe)
    return np.where(small, series, closed)


def _int_zeta_s(q2, x):
    """int_0^x zeta S(zeta) dzeta = (S(x) - x C(x)) / q2; for |q2 x^2| < 1 the
    series sum_{j>=0} (-q2)^j x^(2j+3) / ((2j+1)! (2j+3))."""
    q2 = float(q2)
    y = q2 * x * x
    if abs(y) < 1.0:
        return sum((-y) ** j * x ** 3 / (float(math.factorial(2 * j + 1)) * (2 * j + 3)) for j in range(18))
    c, s = _fundamental(q2, x)
    return float((s - x * c) / q2)


# -- the layered slab ---------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Layer:
    thickness: float
    diffusivity: float
    partition: float
    rate: float = 0.0      # first-order uptake, 1/s
    start: float = 0.0     # phi0 = c0 / K in this layer at t = 0

    @property
    def conductivity(self):
        return self.partition * self.diffusivity


@dataclasses.dataclass
class Curves:
    """Physical concentrations (c = K phi) and amounts per unit area.

    Fluxes are along +z (into the stack at z = 0, towards the back at the
    interface and at the back face); m_in = int_0^t flux_in, m_sink the
    amount through the back face (0 for a closed back), m_reacted the
    amount taken up by reaction."""
    time: np.ndarray
    c_memb_mean: np.ndarray
    c_gel_mean: np.ndarray
    c_gel_mid: np.ndarray      # z = a + b/2
    c_gel_top: np.ndarray      # the gel's back face z = a + b
    m_memb: np.ndarray
    m_gel: np.ndarray
    flux_in: np.ndarray
    flux_memb_gel: np.ndarray
    flux_back: np.ndarray
    m_in: np.ndarray = None
    m_sink: np.ndarray = None
    m_reacted: np.ndarray = None
    steady_flux: float = 0.0   # flux_in as t -> infinity
    lag_time: float = None     # sink: m_sink -> steady_flux (t - lag_time)
    decay_rates: np.ndarray = None  # mu_n, 1/s


class LayeredSlab:
    """The series of the module docstring for ``layers`` (top first) with
    phi = c_in at z = 0 and a closed back (``sink`` False) or phi = 0 there.

    A profile (a mode, or the steady state at mu = 0) is held as its state
    (X, G) at the top of each layer but the last, carried down from z = 0,
    and the amplitude of the last layer's solution Y(L - z) that meets the
    back condition (cos for a closed back, sin / q at a sink, cosh and sinh
    where hyperbolic): carried from the back, a solution decaying into a
    strongly reacting gel is never the small difference of growing ones."""

    def __init__(self, layers, c_in, sink, times, n_modes=None, tail=TAIL):
        self.layers = list(layers)
        self.front, self.last = self.layers[:-1], self.layers[-1]
        self.c_in, self.sink = float(c_in), bool(sink)
        self.tops = np.concatenate([[0.0], np.cumsum([l.thickness for l in self.layers])])
        self.length = self.tops[-1]
        positive = np.asarray(times, dtype=float)
        positive = positive[positive > 0.0]
        t_min = positive.min() if positive.size else 1.0
        self.mu = self._eigenvalues(n_modes, tail / t_min)
        self.modes = self._mode_profiles(self.mu)
        self.norm = sum(l.partition * self._square_integral(i, self.mu, self.modes)
                        for i, l in enumerate(self.layers))
        self.steady = self._steady_state()
        loaded = sum(l.partition * l.start * self._integral(i, self.mu, self.modes)
                     for i, l in enumerate(self.layers))
        self.coefficient = (loaded - self.c_in / self.mu) / self.norm

    # solutions in one layer ----------------------------------------------------
    def _q2(self, layer, mu):
        return (np.asarray(mu, dtype=float) - layer.rate) / layer.diffusivity

    def _across(self, layer, mu, x, g, depth):
        """(X, G) at ``depth`` into a layer from (x, g) at its top."""
        q2 = self._q2(layer, mu)
        c, s = _fundamental(q2, depth)
        kd = layer.conductivity
        return x * c + g / kd * s, -kd * q2 * s * x + g * c

    def _from_back(self, mu, height):
        """(Y, G = K D dY/dz) of the last layer's solution meeting the back
        condition, at ``height`` = L - z: Y = C (closed), Y = S (sink)."""
        q2 = self._q2(self.last, mu)
        c, s = _fundamental(q2, height)
        kd = self.last.conductivity
        return (s, -kd * c) if self.sink else (c, kd * q2 * s)

    def _down_front(self, mu, x, g):
        """(X, G) at the top of each layer, carried from (x, g) at z = 0."""
        states = [(x, g)]
        for layer in self.front:
            x, g = self._across(layer, mu, x, g, layer.thickness)
            states.append((x, g))
        return states

    def _scale(self, layer, mu):
        """The Pruefer scale p: K D q where q^2 > 0 (the angle grows by q L),
        else K D / L (any fixed scale)."""
        q2 = self._q2(layer, mu)
        return np.where(q2 > 0.0, layer.conductivity * np.sqrt(np.abs(q2)), layer.conductivity / self.length)

    @staticmethod
    def _turn(x0, g0, x1, g1, p):
        """The angle from (g0 / p, x0) to (g1 / p, x1), in (-pi, pi)."""
        return np.arctan2(g0 / p * x1 - x0 * g1 / p, g0 * g1 / p ** 2 + x0 * x1)

    def _phase(self, mu):
        """theta_front(a) + (the angle the back solution turns from the last
        layer's top a to L), all in the Pruefer angle of (G / p, X); the
        front angle starts at 0 (X = 0, G = 1 at z = 0).  Where q^2 > 0 a layer
        turns by q L; elsewhere (at most one zero of X) by the angle between
        its end states; a change of scale keeps the quadrant.  Mode n has
        theta = (n - 1/2) pi (closed back) or n pi (sink) and theta
        increases with mu."""
        mu = np.asarray(mu, dtype=float)
        x, g = np.zeros_like(mu), np.ones_like(mu)
        theta, scale_before = np.zeros_like(mu), np.ones_like(mu)
        for layer in self.layers:
            scale = self._scale(layer, mu)
            theta += np.arctan2(x, g / scale) - np.arctan2(x, g / scale_before)
            oscillating = self._q2(layer, mu) > 0.0
            if layer is self.last:
                (x0, g0), (x1, g1) = self._from_back(mu, layer.thickness), self._from_back(mu, 0.0)
            else:
                x0, g0 = x, g
                x1, g1 = x, g = self._across(layer, mu, x, g, layer.thickness)
            theta += np.where(oscillating, np.sqrt(np.abs(self._q2(layer, mu))) * layer.thickness,
                              self._turn(x0, g0, x1, g1, scale))
            scale_before = scale
        return theta

    def _eigenvalues(self, n_modes, mu_max):
        offset = 0.0 if self.sink else 0.5
        if n_modes is None:
            n_modes = int(np.floor(self._phase(mu_max) / math.pi + offset))
        n_modes = max(int(n_modes), 1)
        targets = (np.arange(1, n_modes + 1) - offset) * math.pi
        # roots are about pi / sum(L_i / sqrt(D_i)) apart in sqrt(mu)
        spacing = math.pi / sum(l.thickness / math.sqrt(l.diffusivity) for l in self.layers)
        top = (spacing * (n_modes + 2)) ** 2 + max(l.rate for l in self.layers)
        while self._phase(top) <= targets[-1]:
            top *= 2.0
        grid = np.linspace(0.0, math.sqrt(top), 8 * n_modes + 16) ** 2
        phase = np.maximum.accumulate(self._phase(grid))
        above = np.searchsorted(phase, targets, side="left")
        lo, hi = grid[above - 1], grid[above]
        for _ in range(100):
            mid = 0.5 * (lo + hi)
            below = self._phase(mid) < targets
            lo, hi = np.where(below, mid, lo), np.where(below, hi, mid)
        return 0.5 * (lo + hi)

    # profiles: front states and the back amplitude ----------------------------
    def _mode_profiles(self, mu):
        """X(0) = 0, G(0) = 1 carried down; in the last layer lambda Y with
        lambda from the continuity of X or, where Y is small against G / p
        at the interface (commensurate layers), of G."""
        states = self._down_front(mu, np.zeros_like(mu), np.ones_like(mu))
        x, g = states[-1]
        y, gy = self._from_back(mu, self.last.thickness)
        by_value = np.abs(y) * self._scale(self.last, mu) >= np.abs(gy)
        with np.errstate(divide="ignore", invalid="ignore"):
            amplitude = np.where(by_value, x / y, g / gy)
        return states[:-1], amplitude

    def _steady_state(self):
        """The mu = 0 profile with phi(0) = c_in: G(0) = G_0 and lambda from
        X and G continuous at the last layer's top."""
        zero, one = np.zeros(1), np.ones(1)
        x1, g1 = self._down_front(zero, one, zero)[-1]
        x2, g2 = self._down_front(zero, zero, one)[-1]
        y, gy = self._from_back(zero, self.last.thickness)
        # c_in x1 + G_0 x2 = lambda y,  c_in g1 + G_0 g2 = lambda gy
        matrix = np.array([[x2[0], -y[0]], [g2[0], -gy[0]]])
        g0, amplitude = np.linalg.solve(matrix, -self.c_in * np.array([x1[0], g1[0]]))
        states = self._down_front(zero, np.full(1, self.c_in), np.full(1, g0))
        return states[:-1], np.full(1, amplitude)

    def _integral(self, i, mu, profile):
        layer, h = self.layers[i], self.layers[i].thickness
        q2 = self._q2(layer, mu)
        states, amplitude = profile
        if layer is self.last:
            return amplitude * (_int_s(q2, h) if self.sink else _fundamental(q2, h)[1])
        x, g = states[i]
        return x * _fundamental(q2, h)[1] + g / layer.conductivity * _int_s(q2, h)

    def _square_integral(self, i, mu, profile):
        layer, h = self.layers[i], self.layers[i].thickness
        q2 = self._q2(layer, mu)
        states, amplitude = profile
        if layer is self.last:
            return amplitude ** 2 * (_int_s2(q2, h) if self.sink else _int_c2(q2, h))
        x, g = states[i]
        b = g / layer.conductivity
        return x * x * _int_c2(q2, h) + 2.0 * x * b * _int_cs(q2, h) + b * b * _int_s2(q2, h)

    def _state_at(self, z, mu, profile):
        """(X, G) at depth z (at an interface, the layer below)."""
        i = int(np.searchsorted(self.tops, z, side="right")) - 1
        i = min(max(i, 0), len(self.layers) - 1)
        states, amplitude = profile
        if self.layers[i] is self.last:
            y, gy = self._from_back(mu, self.length - z)
            return amplitude * y, amplitude * gy
        return self._across(self.layers[i], mu, *states[i], z - self.tops[i])

    # functionals: (steady value, value of each mode) --------------------------
    def layer_integral(self, i):
        return float(self._integral(i, 0.0, self.steady)[0]), self._integral(i, self.mu, self.modes)

    def point(self, z):
        """phi at depth z."""
        return float(self._state_at(z, 0.0, self.steady)[0][0]), self._state_at(z, self.mu, self.modes)[0]

    def flux(self, z):
        """F = -K D phi' at depth z."""
        return -float(self._state_at(z, 0.0, self.steady)[1][0]), -self._state_at(z, self.mu, self.modes)[1]

    # evaluation -------------------------------------------------------------
    def value(self, functional, times):
        """l(phi)(t) = l_s + sum a_n l_n exp(-mu_n t)."""
        steady, modal = functional
        t = np.atleast_1d(np.asarray(times, dtype=float))
        return steady + np.exp(-np.outer(t, self.mu)) @ (self.coefficient * modal)

    def remaining_integral(self, functional, times):
        """int_t^inf (l(phi) - l_s) dt' = sum a_n l_n exp(-mu_n t) / mu_n."""
        _, modal = functional
        t = np.atleast_1d(np.asarray(times, dtype=float))
        return np.exp(-np.outer(t, self.mu)) @ (self.coefficient * modal / self.mu)

    def curves(self, times, initial_amount=0.0):
        """The observables of Curves; m_in from the amounts held (closed back,
        no reaction), the problem functions complete the rest."""
        t = np.atleast_1d(np.asarray(times, dtype=float))
        if np.any(t < 0.0):
            raise ValueError("times must be >= 0")
        start = t == 0.0
        membrane, gel = self.layers
        a, b = membrane.thickness, gel.thickness

        def amount(i):
            layer = self.layers[i]
            held = layer.partition * self.value(self.layer_integral(i), t)
            return np.where(start, layer.partition * layer.start * layer.thickness, held)

        def concentration(z):
            return np.where(start, gel.partition * gel.start, gel.partition * self.value(self.point(z), t))

        def flux(z):
            return np.where(start, np.nan, self.value(self.flux(z), t))

        m_memb, m_gel = amount(0), amount(1)
        with np.errstate(invalid="ignore", divide="ignore"):
            c_memb_mean = m_memb / a if a > 0.0 else np.full_like(t, np.nan)
        return Curves(time=t, c_memb_mean=c_memb_mean, c_gel_mean=m_gel / b,
                      c_gel_mid=concentration(a + 0.5 * b), c_gel_top=concentration(a + b),
                      m_memb=m_memb, m_gel=m_gel, flux_in=flux(0.0), flux_memb_gel=flux(a),
                      flux_back=flux(a + b) if self.sink else np.zeros_like(t),
                      m_in=m_memb + m_gel - initial_amount, m_sink=np.zeros_like(t),
                      m_reacted=np.zeros_like(t), steady_flux=self.flux(0.0)[0], decay_rates=self.mu)


def _stack(a, b, D_m, D_g, K_m, K_g, k=0.0, c0_memb=0.0, c0_gel=0.0):
    return [Layer(float(a), float(D_m), float(K_m), 0.0, c0_memb / K_m),
            Layer(float(b), float(D_g), float(K_g), float(k), c0_gel / K_g)]


# -- the problems ---------------------------------------------------------------

def partition_slab(times, a, b, D_m, D_g, K_m=1.0, K_g=1.0, n_modes=None, *, c_in=1.0):
    """Uptake of the empty stack from a liquid held at c_in, gel back closed.

    K_i dphi/dt = (K_i D_i phi')', phi(0) = c_in, phi'(L) = 0, phi = 0 at
    t = 0; c = K_i phi.  As t -> inf the membrane tends to K_m c_in and the
    gel to K_g c_in; m_in = m_memb + m_gel.  With K_m = K_g = 1 this is the
    two-layer series of slab_series.py.  Accuracy: see the module."""
    slab = LayeredSlab(_stack(a, b, D_m, D_g, K_m, K_g), c_in, False, times, n_modes)
    return slab.curves(times)


def frisch_lag(a, b, D_m, D_g, K_m, K_g, c_in=1.0):
    """Steady flux J and lag time of the empty stack between c_in and a sink.

    J = c_in / R(L), R(z) = int_0^z dz / (K D); phi_s is linear in each
    layer.  With w = R(z) / R(L) (the steady solution with w(0) = 0,
    w(L) = 1), d/dt int K phi w = J - F(L, t), so the amount through the
    back face tends to J t - int K phi_s w, and t_lag = int K phi_s w / J
    (one layer: L^2 / (6 D))."""
    r_memb, r_gel = a / (K_m * D_m), b / (K_g * D_g)
    flux = c_in / (r_memb + r_gel)
    phi = [c_in, c_in - flux * r_memb, 0.0]
    w = [0.0, r_memb / (r_memb + r_gel), 1.0]
    stored = 0.0
    for i, (h, k_part) in enumerate(((a, K_m), (b, K_g))):
        # int of the product of two linear functions over a layer (exact)
        stored += k_part * h * (2 * phi[i] * w[i] + phi[i] * w[i + 1] + phi[i + 1] * w[i]
                                + 2 * phi[i + 1] * w[i + 1]) / 6.0
    return flux, stored / flux


def sink_slab(times, a, b, D_m, D_g, K_m=1.0, K_g=1.0, n_modes=None, *, c_in=1.0):
    """Permeation of the empty stack from c_in at z = 0 into a perfect sink
    at z = L (phi = 0).

    Steady state: the flux J = c_in / (a / (K_m D_m) + b / (K_g D_g)), phi_s
    linear in each layer.  phi = phi_s + sum a_n X_n exp(-mu_n t), X_n = 0 at
    both faces.  The amount into the sink

        m_sink(t) = J (t - t_lag) + sum_n a_n G_n(L) exp(-mu_n t) / mu_n,

    t_lag in closed form (frisch_lag); m_in = m_memb + m_gel + m_sink."""
    slab = LayeredSlab(_stack(a, b, D_m, D_g, K_m, K_g), c_in, True, times, n_modes)
    curves = slab.curves(times)
    flux, lag = frisch_lag(a, b, D_m, D_g, K_m, K_g, c_in)
    t = curves.time
    remaining = slab.remaining_integral(slab.flux(a + b), t)  # int_t^inf (F(L) - J)
    curves.m_sink = np.where(t == 0.0, 0.0, flux * (t - lag) - remaining)
    curves.m_in = curves.m_memb + curves.m_gel + curves.m_sink
    curves.steady_flux, curves.lag_time = flux, lag
    return curves


def reacting_gel_psi_integral(a, b, D_m, D_g, K_m, K_g, k, c_in=1.0):
    """int over the gel of psi = int_0^inf (phi - phi_s) dt for the reacting
    stack (closed back, empty start), and phi_s's gel amount int phi_s.

    phi_s: c_in - g z in the membrane, A cosh(beta eta) in the gel
    (eta = L - z, beta^2 = k / D_g), A = c_in / (cosh(beta b)
    + a K_g D_g beta sinh(beta b) / (K_m D_m)), g = K_g D_g A beta sinh(beta b)
    / (K_m D_m).  psi solves D psi'' - k psi = phi_s (from
    K dphi/dt = (K D phi')' - K k phi integrated over all t, u(0) = -phi_s),
    psi(0) = 0, psi'(L) = 0:
        membrane  psi = P z + (c_in z^2 / 2 - g z^3 / 6) / D_m,
        gel       psi = A eta S(eta) / (2 D_g) + E C(eta),
    S = sinh(beta eta) / beta, C = cosh(beta eta); P, E from continuity of
    psi and of K D psi' at z = a."""
    q2 = -k / D_g
    c_b, s_b = (float(v) for v in _fundamental(q2, b))
    kd_m, kd_g = K_m * D_m, K_g * D_g
    big_a = c_in / (c_b + a * kd_g * (k / D_g) * s_b / kd_m)
    g = kd_g * big_a * (k / D_g) * s_b / kd_m
    # unknowns (P, E): psi continuous, K D psi' continuous at z = a
    lhs = np.array([[a, -c_b], [kd_m, kd_g * (k / D_g) * s_b]])
    rhs = np.array([big_a * b * s_b / (2 * D_g) - (c_in * a * a / 2 - g * a ** 3 / 6) / D_m,
                    -kd_g * big_a * (s_b + b * c_b) / (2 * D_g) - K_m * (c_in * a - g * a * a / 2)])
    _, e = np.linalg.solve(lhs, rhs)
    psi_gel = big_a * _int_zeta_s(q2, b) / (2 * D_g) + e * s_b
    return psi_gel, big_a * s_b


def reacting_slab(times, a, b, D_m, D_g, K_m, K_g, k, n_modes=None, *, c_in=1.0):
    """Uptake of the empty stack with first-order uptake in the gel.

    dc/dt = D_g c'' - k c in the gel (k in 1/s), pure diffusion in the
    membrane, phi(0) = c_in, back closed.  In the gel q^2 = (mu - k) / D_g
    (hyperbolic for modes with mu < k).  The steady state is nonzero: the
    gel holds K_g A sinh(beta b) / beta and reacts k times that per second.
    The amount reacted

        m_reacted(t) = k K_g (P_s t + int_gel psi - sum a_n I_n e^{-mu_n t} / mu_n),

    P_s = int_gel phi_s, I_n = int_gel X_n, psi from
    reacting_gel_psi_integral; m_in = m_memb + m_gel + m_reacted."""
    slab = LayeredSlab(_stack(a, b, D_m, D_g, K_m, K_g, k), c_in, False, times, n_modes)
    curves = slab.curves(times)
    t = curves.time
    psi_gel, steady_gel = reacting_gel_psi_integral(a, b, D_m, D_g, K_m, K_g, k, c_in)
    remaining = slab.remaining_integral(slab.layer_integral(1), t)
    curves.m_reacted = np.where(t == 0.0, 0.0, k * K_g * (steady_gel * t + psi_gel - remaining))
    curves.m_in = curves.m_memb + curves.m_gel + curves.m_reacted
    return curves


def loaded_gel_release(times, a, b, D_m, D_g, K_m, K_g, c0_gel, c0_memb=0.0, n_modes=None):
    """Release into clean liquid: the gel starts at c = c0_gel (physical),
    the membrane at c0_memb (0 unless given), phi(0) = 0, back closed.

    phi = sum a_n X_n exp(-mu_n t), a_n = (K_g phi0_g int_gel X_n
    + K_m phi0_m int_memb X_n) / N_n (phi0 = c0 / K).  The amount released
    is -m_in = initial amount - m_memb - m_gel."""
    layers = _stack(a, b, D_m, D_g, K_m, K_g, c0_memb=c0_memb, c0_gel=c0_gel)
    slab = LayeredSlab(layers, 0.0, False, times, n_modes)
    return slab.curves(times, initial_amount=c0_memb * a + c0_gel * b)


def washout(times, t_off, f: Callable):
    """The response to an inlet held at c_in until t_off and at 0 after.

    For a linear problem started from rest with a response f(t) to c_in held
    from t = 0 (f(t) = 0 for t <= 0), the inlet pulse is c_in H(t) -
    c_in H(t - t_off), so c(t) = f(t) - f(t - t_off).  f(times) returns an
    array over times (or a Curves, whose array fields are combined)."""
    t = np.atleast_1d(np.asarray(times, dtype=float))
    later = t - t_off
    after = later > 0.0
    on = f(t)
    off = f(later[after]) if np.any(after) else None

    def combine(whole, shifted):
        whole = np.array(whole, dtype=float)
        if shifted is not None:
            whole[after] -= np.asarray(shifted, dtype=float)
        return whole

    if isinstance(on, Curves):
        fields = {}
        for field in dataclasses.fields(Curves):
            value = getattr(on, field.name)
            if field.name in ("time", "decay_rates") or not isinstance(value, np.ndarray):
                fields[field.name] = value
            else:
                fields[field.name] = combine(value, getattr(off, field.name) if off is not None else None)
        return Curves(**fields)
    return combine(on, off)
