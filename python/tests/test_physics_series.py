"""The exact layered-slab series of physics_series.py against what they did
not make: the two-layer series of slab_series.py, closed forms of one layer
(the lag L^2 / (6 D), the reacting layer's cosh profile and its explicit
modes), the half-space at early times, time quadratures of the fluxes, and
a finite-volume solution (second order in space, exact in time through the
eigenvectors of its symmetric matrix) whose order is measured on three grids.
"""

import math

import numpy as np
import pytest
from scipy import linalg

import physics_series as ps
from slab_series import TwoLayerSlab

MEMBRANE, GEL = 1.0e-4, 5.0e-4
D_MEMB, D_GEL = 5e-11, 8e-10          # commensurate: k1 L1 : k2 L2 = 4 : 5
K_MEMB, K_GEL = 2.0, 0.5
TIMES = np.array([10.0, 60.0, 200.0, 600.0])
FV_TIMES = TIMES[1:]   # the gel reached: the grids' errors are asymptotic


class FiniteVolumes:
    """Cell-centred finite volumes for phi = c / K on the stack, cells of
    equal width h in both layers: K h dphi/dt = sum of face fluxes
    g (phi_nb - phi) - K k h phi, g = 1 / (h/(2 K_i D_i) + h/(2 K_j D_j)),
    the held face at phi = c_in through g = 2 K_m D_m / h, the back closed or
    at phi = 0 through 2 K_g D_g / h.  M phi' = -S phi + r c_in with M, S
    symmetric: S v = lambda M v gives phi(t) exactly in time."""

    def __init__(self, cells_memb, a, b, D_m, D_g, K_m, K_g, k=0.0, sink=False):
        self.n_m, self.n_g = cells_memb, int(round(cells_memb * b / a))
        self.h = a / self.n_m
        n = self.n_m + self.n_g
        part = np.r_[np.full(self.n_m, K_m), np.full(self.n_g, K_g)]
        cond = np.r_[np.full(self.n_m, K_m * D_m), np.full(self.n_g, K_g * D_g)]
        rate = np.r_[np.zeros(self.n_m), np.full(self.n_g, k)]
        self.capacity = part * self.h
        s = np.diag(part * rate * self.h)
        g_inner = 1.0 / (self.h / (2 * cond[:-1]) + self.h / (2 * cond[1:]))
        for i, g in enumerate(g_inner):
            s[i, i] += g; s[i + 1, i + 1] += g; s[i, i + 1] -= g; s[i + 1, i] -= g
        self.g_face = 2 * cond[0] / self.h
        s[0, 0] += self.g_face
        self.g_back = 2 * cond[-1] / self.h if sink else 0.0
        s[-1, -1] += self.g_back
        self.lam, self.vec = linalg.eigh(s, np.diag(self.capacity))
        self.s, self.part, self.rate, self.b = s, part, rate, b
        self.source = np.zeros(n); self.source[0] = self.g_face

    def phi(self, t, phi0, c_in, integrated=False):
        """phi (or int_0^t phi) at times t from phi0 with the face at c_in."""
        steady = np.linalg.solve(self.s, self.source * c_in)
        modal = self.vec.T @ (self.capacity * (phi0 - steady))
        t = np.atleast_1d(t)[:, None]
        decay = (1 - np.exp(-self.lam * t)) / self.lam if integrated else np.exp(-self.lam * t)
        return (steady * t if integrated else steady) + (decay * modal) @ self.vec.T

    def gel_amount(self, phi):
        return (phi[:, self.n_m:] * self.capacity[self.n_m:]).sum(axis=1)

    def gel_mid(self, phi):
        j = self.n_m + self.n_g // 2
        return self.part[j] * 0.5 * (phi[:, j - 1] + phi[:, j])


def observed(values):
    """Order and Richardson value from three grids h, h/2, h/4."""
    f1, f2, f3 = (np.asarray(v, dtype=float) for v in values)
    order = np.log2(np.abs(f1 - f2) / np.abs(f2 - f3))
    return order, f3 + (f3 - f2) / (2.0 ** order - 1.0)


def time_integral(values, t1, t2, panels=40, order=20):
    """int_t1^t2 of values(times) (an array over times): Gauss-Legendre on
    panels growing geometrically from t1 (the curves change fastest early)."""
    edges = t1 * (t2 / t1) ** np.linspace(0.0, 1.0, panels + 1)
    x, w = np.polynomial.legendre.leggauss(order)
    half, centre = np.diff(edges) / 2, (edges[1:] + edges[:-1]) / 2
    nodes = (centre[:, None] + half[:, None] * x).ravel()
    return float(np.sum(values(nodes).reshape(panels, order) * w * half[:, None]))


def test_unit_partition_is_the_two_layer_series():
    t = np.array([0.02, 1.0, 10.0, 100.0, 600.0])
    for d_m, d_g in ((D_MEMB, D_GEL), (1e-10, 5e-10)):
        mine = ps.partition_slab(t, MEMBRANE, GEL, d_m, d_g)
        two = TwoLayerSlab(d_m, MEMBRANE, d_g, GEL, t_min=0.02)
        assert np.max(np.abs(mine.c_gel_mean - two.gel_mean(t))) < 1e-13
        assert np.max(np.abs(mine.c_memb_mean - two.membrane_mean(t))) < 1e-13
        assert np.max(np.abs(mine.c_gel_mid - two.value(MEMBRANE + GEL / 2, t))) < 1e-13
        assert np.max(np.abs(mine.c_gel_top - two.value(MEMBRANE + GEL, t))) < 1e-13


def test_partitioned_modes_are_complete_and_converge():
    # early on the membrane is a half-space whose face holds K_m c_in: it
    # holds 2 K_m c_in sqrt(D_m t / pi) and the gel nothing (to exp(-1e4));
    # a missing mode (the commensurate ones) would show here
    early = ps.partition_slab([0.02], MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL)
    assert early.m_memb[0] == pytest.approx(2 * K_MEMB * math.sqrt(D_MEMB * 0.02 / math.pi), rel=1e-9)
    assert abs(early.m_gel[0]) < 1e-13 * K_GEL * GEL
    # the adaptive mode count is converged: twice as many modes move nothing
    adaptive = ps.partition_slab(TIMES, MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL)
    n = adaptive.decay_rates.size
    double = ps.partition_slab(TIMES, MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL, n_modes=2 * n)
    assert np.max(np.abs(double.c_gel_mid - adaptive.c_gel_mid)) < 1e-14
    # a short series errs by about its first neglected term, exp(-mu_{n+1} t)
    for few in (2, 4, 8):
        short = ps.partition_slab(TIMES[:1], MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL, n_modes=few)
        error = abs(short.c_gel_mid[0] - adaptive.c_gel_mid[0])
        assert error < 3 * K_GEL * math.exp(-adaptive.decay_rates[few] * TIMES[0])
    # approach to equilibrium: membrane K_m c_in, gel K_g c_in
    late = ps.partition_slab([2e4], MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL)
    assert late.c_memb_mean[0] == pytest.approx(K_MEMB, abs=1e-12)
    assert late.c_gel_top[0] == pytest.approx(K_GEL, abs=1e-12)


@pytest.mark.parametrize("problem", ["partition", "sink", "reacting", "strongly reacting", "release", "washout"])
def test_series_against_finite_volumes(problem):
    # reacting: the slowest modes have mu < k (hyperbolic in the gel);
    # strongly: a layer of depth sqrt(D_g / k) = 9 um at the gel's top
    k = {"reacting": 0.05, "strongly reacting": 10.0}.get(problem, 0.0)
    sink = problem == "sink"
    args = (MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL)
    t_off = 150.0
    if problem == "partition":
        series = ps.partition_slab(FV_TIMES, *args)
        exact = np.r_[series.c_gel_mean, series.c_gel_mid]
    elif problem == "sink":
        series = ps.sink_slab(FV_TIMES, *args)
        exact = np.r_[series.c_gel_mid, series.m_sink]
    elif k > 0.0:
        series = ps.reacting_slab(FV_TIMES, *args, k)
        assert series.decay_rates[0] < k
        exact = np.r_[series.c_gel_mean, series.m_reacted]
    elif problem == "release":
        series = ps.loaded_gel_release(FV_TIMES, *args, c0_gel=K_GEL)
        exact = np.r_[series.c_gel_mean, series.c_gel_mid]
    else:
        series = ps.washout(FV_TIMES, t_off, lambda t: ps.partition_slab(t, *args))
        exact = np.r_[series.c_gel_mean, series.c_gel_mid]
    approximations = []
    for cells in (16, 32, 64):
        fv = FiniteVolumes(cells, *args, k=k, sink=sink)
        start = np.zeros(fv.n_m + fv.n_g)
        if problem == "release":
            start[fv.n_m:] = 1.0                    # c0_gel / K_g
            phi = fv.phi(FV_TIMES, start, 0.0)
        elif problem == "washout":
            held = fv.phi(np.minimum(FV_TIMES, t_off), start, 1.0)
            phi = np.array([fv.phi(t - t_off, p, 0.0)[0] if t > t_off else p for t, p in zip(FV_TIMES, held)])
        else:
            phi = fv.phi(FV_TIMES, start, 1.0)
        if problem == "sink":
            through = fv.g_back * fv.phi(FV_TIMES, start, 1.0, integrated=True)[:, -1]
            approximations.append(np.r_[fv.gel_mid(phi), through])
        elif k > 0.0:
            reacted = k * fv.gel_amount(fv.phi(FV_TIMES, start, 1.0, integrated=True))
            approximations.append(np.r_[fv.gel_amount(phi) / GEL, reacted])
        else:
            approximations.append(np.r_[fv.gel_amount(phi) / GEL, fv.gel_mid(phi)])
    order, extrapolated = observed(approximations)
    errors = [np.max(np.abs(f - exact)) for f in approximations]
    # second order measured, the extrapolation lands on the series
    assert np.all(np.abs(order - 2.0) < 0.05), order
    assert errors[0] / errors[1] == pytest.approx(4.0, rel=0.03) and errors[1] / errors[2] == pytest.approx(4.0, rel=0.03)
    assert errors[2] < 5e-6 and np.max(np.abs(extrapolated - exact)) < 0.05 * errors[2]


def test_sink_lag_steady_flux_and_balance():
    # one layer (no membrane): J = K D c_in / L, t_lag = L^2 / (6 D)
    d, length = 5e-10, 6e-4
    one = ps.sink_slab([10.0, 3e4], 0.0, length, 1e-10, d, 1.0, 1.5)
    assert one.steady_flux == pytest.approx(1.5 * d / length, rel=1e-14)
    assert one.lag_time == pytest.approx(length ** 2 / (6 * d), rel=1e-14)
    assert one.flux_back[-1] == pytest.approx(one.steady_flux, rel=1e-12)
    args = (MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL)
    stack = ps.sink_slab([1.0, 3e4], *args)
    assert stack.steady_flux == pytest.approx(1.0 / (MEMBRANE / (K_MEMB * D_MEMB) + GEL / (K_GEL * D_GEL)), rel=1e-14)
    # the closed-form lag against the series' own constant sum a_n G_n(L) / mu_n:
    # nothing reached the sink at t = 1 s, so J (t - t_lag) + series ~ 0
    assert abs(stack.m_sink[0]) < 1e-12 * stack.steady_flux * stack.lag_time
    assert stack.m_sink[1] == pytest.approx(stack.steady_flux * (3e4 - stack.lag_time), rel=1e-12)
    # balance: int of the inlet flux = held amount + sink, the flux by quadrature
    t1, t2 = 20.0, 900.0
    ends = ps.sink_slab([t1, t2], *args)
    inflow = time_integral(lambda t: ps.sink_slab(t, *args).flux_in, t1, t2)
    backflow = time_integral(lambda t: ps.sink_slab(t, *args).flux_back, t1, t2)
    held = ends.m_memb + ends.m_gel
    assert inflow == pytest.approx(np.diff(held)[0] + np.diff(ends.m_sink)[0], rel=1e-9)
    assert backflow == pytest.approx(np.diff(ends.m_sink)[0], rel=1e-9)


def test_reacting_single_layer_closed_form_and_small_rates():
    # one reacting gel held at K_g c_in at z = 0, closed at b: with
    # beta^2 = k / D, q_n = (n + 1/2) pi / b, mu_n = D q_n^2 + k,
    #   c / (K_g c_in) = cosh(beta (b - z)) / cosh(beta b)
    #                    - sum 2 / (q_n b) D q_n^2 / mu_n sin(q_n z) e^{-mu_n t},
    #   m_gel / (K_g c_in) = tanh(beta b) / beta - sum 2 D / (b mu_n) e^{-mu_n t},
    #   m_reacted / (K_g c_in) = k [tanh(beta b) t / beta - sum 2 D (1 - e^{-mu_n t}) / (b mu_n^2)]
    d, b, k, kg = 8e-10, 5e-4, 0.01, 0.5
    beta, q = math.sqrt(k / d), (np.arange(200000) + 0.5) * math.pi / b
    mu = d * q ** 2 + k
    t = np.array([5.0, 60.0, 600.0])
    decay = np.exp(-np.outer(t, mu))
    mid = np.cosh(beta * b / 2) / np.cosh(beta * b) - decay @ (2 / (q * b) * d * q ** 2 / mu * np.sin(q * b / 2))
    gel = np.tanh(beta * b) / beta - decay @ (2 * d / (b * mu))
    reacted = k * (np.tanh(beta * b) * t / beta - (1 - decay) @ (2 * d / (b * mu ** 2)))
    mine = ps.reacting_slab(t, 0.0, b, 1e-10, d, 1.0, kg, k)
    assert np.max(np.abs(mine.c_gel_mid / kg - mid)) < 1e-12
    assert np.max(np.abs(mine.m_gel / kg - gel)) < 1e-12 * b
    assert np.max(np.abs(mine.m_reacted / kg - reacted)) < 1e-11 * b
    steady = ps.reacting_slab([5000.0], 0.0, b, 1e-10, d, 1.0, kg, k)
    assert steady.c_gel_top[0] / kg == pytest.approx(1 / np.cosh(beta * b), rel=1e-12)
    assert steady.flux_in[0] == pytest.approx(kg * d * beta * np.tanh(beta * b), rel=1e-12)
    # two layers: m_reacted grows by k int m_gel dt (quadrature), and the
    # inlet delivers what is held and reacted
    args = (MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL, 0.05)
    ends = ps.reacting_slab([20.0, 400.0], *args)
    gel_dose = time_integral(lambda s: ps.reacting_slab(s, *args).m_gel, 20.0, 400.0)
    assert np.diff(ends.m_reacted)[0] == pytest.approx(0.05 * gel_dose, rel=1e-9)
    inflow = time_integral(lambda s: ps.reacting_slab(s, *args).flux_in, 20.0, 400.0)
    assert inflow == pytest.approx(np.diff(ends.m_memb + ends.m_gel + ends.m_reacted)[0], rel=1e-9)
    # k -> 0: the no-reaction series, the difference first order in k
    plain = ps.partition_slab(TIMES, *args[:-1])
    gaps = [np.max(np.abs(ps.reacting_slab(TIMES, *args[:-1], rate).c_gel_mean - plain.c_gel_mean))
            for rate in (1e-6, 1e-7)]
    assert gaps[0] / gaps[1] == pytest.approx(10.0, rel=1e-3) and gaps[0] < 1e-3


def test_release_and_washout_superpose():
    args = (MEMBRANE, GEL, D_MEMB, D_GEL, K_MEMB, K_GEL)
    c = 0.8
    uptake = ps.partition_slab(TIMES, *args, c_in=c)
    # the stack at equilibrium with c (membrane K_m c, gel K_g c) released
    # into clean liquid: each layer's c is K c minus the uptake from empty at c
    whole = ps.loaded_gel_release(TIMES, *args, c0_gel=K_GEL * c, c0_memb=K_MEMB * c)
    assert np.max(np.abs(whole.c_gel_mean - (K_GEL * c - uptake.c_gel_mean))) < 1e-13
    assert np.max(np.abs(whole.c_memb_mean - (K_MEMB * c - uptake.c_memb_mean))) < 1e-13
    # the gel loaded alone plus the membrane loaded alone is that whole release
    gel_only = ps.loaded_gel_release(TIMES, *args, c0_gel=K_GEL * c)
    memb_only = ps.loaded_gel_release(TIMES, *args, c0_gel=0.0, c0_memb=K_MEMB * c)
    assert np.max(np.abs(gel_only.c_gel_mid + memb_only.c_gel_mid - whole.c_gel_mid)) < 1e-13
    assert gel_only.m_in[0] < 0 and ps.loaded_gel_release([3e4], *args, K_GEL * c).m_in[0] == \
        pytest.approx(-K_GEL * c * GEL, rel=1e-12)
    # washout: before t_off the uptake, long after it the stack empties
    pulse = ps.washout(np.r_[TIMES, 3e4], 150.0, lambda t: ps.partition_slab(t, *args))
    plain = ps.partition_slab(TIMES, *args)
    assert pulse.c_gel_mean[0] == plain.c_gel_mean[0] and abs(pulse.c_gel_mean[-1]) < 1e-12
    assert pulse.m_in[-1] == pytest.approx(0.0, abs=1e-15)
