"""The flow reference (flow_reference.py) verified on its own: against the
exact two-layer slab series without flow, and by its observed order with
flow.  Nothing here runs the program."""

import math

import numpy as np
import pytest

from flow_reference import Instrument, Resolution, observed_order, reference, solve
from slab_series import TwoLayerSlab

MEMBRANE, GEL = 1e-4, 5e-4


@pytest.mark.parametrize("diff_memb, t_end", [(5e-10, 800.0), (5e-11, 4000.0)],
                         ids=["balanced", "membrane-limited"])
def test_flow_free_stack_is_the_two_layer_slab(diff_memb, t_end):
    """The membrane face held at c_in: the stack is the slab of
    slab_series.py, uniform along x.  Levels 3..5 of 2/4 rows and steps of
    t_end/80: 16/32 .. 64/128 rows, 8 .. 32 steps per t_end/80.

    Bounds, over t >= t_end/10 (the first steps resolve the jump of the face
    at t = 0, which no second-order scheme follows at its order):

    - the finest level within 3e-5 of the series.  The error left at late
      times is that of the slowest mode, exp(-s^2 t) X(z): the flux between
      two nodes h apart carries the mode's eigenvalue too small by the part
      (k h)^2 / 12, so c lags by w X s^2 t e^(-s^2 t) (k h)^2 / 12 <= 1.27 (k h)^2
      / (12 e).  In the gel k L_gel <= pi/2; on level 5 its widest cell is
      1.87 L_gel / 128 (k h = 0.023: 2.1e-5 c_in) and the root mean square of
      its cells 1.20 L_gel / 128 (8.4e-6); the time error (TR-BDF2, (s^2 dt)^2
      / 25 relative) is below 1e-8 and the membrane's k h is smaller still.
      The bound lies above the estimate of the widest cell;
    - the levels' errors against the series shrink at order 1.8..2.2, and so
      do the differences between the levels (the order the reference
      measures without the series);
    - the extrapolated curve within 1e-6 of the series and within its own
      error estimate (the largest over the curve): extrapolation removes the
      (k h)^2 term; the (k h)^4 term is 1e-9 and the odd terms of the graded
      mesh some h = 1/128 of the leading one, 1e-7; 1e-6 leaves a margin of 10.
    """
    instrument = Instrument(chlength=0.03, halfgap=1e-3, th_memb=MEMBRANE, th_gel=GEL, u_in=0.005,
                            diff_flow=1e-9, diff_memb=diff_memb, diff_gel=8e-10, c_in=1.0)
    times = np.linspace(t_end / 80, t_end, 80)
    ref = reference(instrument, times, levels=(3, 4, 5), face_held=True,
                    resolution=Resolution(nx=2, n_memb=2, n_gel=4, dt=t_end / 80))
    slab = TwoLayerSlab(diff_memb, MEMBRANE, 8e-10, GEL, t_min=times[0])
    exact = {"c_gel_mean": slab.gel_mean(times), "c_gel_mid": slab.value(MEMBRANE + GEL / 2, times)}
    late = times >= t_end / 10
    for name, series in exact.items():
        errors = [np.max(np.abs(ref.curves[k][name] - series)[late]) for k in ref.levels]
        assert errors[-1] < 3e-5, (name, errors)
        for coarse, fine in zip(errors, errors[1:]):
            assert 1.8 <= math.log2(coarse / fine) <= 2.2, (name, errors)
        self_order = observed_order(*(ref.curves[k][name][late] for k in ref.levels))
        assert 1.8 <= self_order <= 2.2, (name, self_order)
        extrapolation_error = np.abs(ref.extrapolated[name] - series)[late]
        assert np.max(extrapolation_error) < 1e-6, (name, np.max(extrapolation_error))
        assert np.max(extrapolation_error) <= np.max(ref.error[name][late]), name


def test_with_flow_the_reference_converges_at_second_order():
    """A small instrument: 2 mm of channel, 0.2 mm half-gap, 0.2 mm/s at the
    centreline, 50 um membrane over 200 um gel, 60 s; levels 1..3 of 24
    columns, 8/4/4 rows and 0.5 s steps.  The cell Peclet numbers along x,
    u dx / D_flow, in the widest columns on the centreline are 11 (level 1)
    to 2.8 (level 3): convection-dominated on every level (a central face
    value would oscillate), and the inlet front reaches the outlet at
    L/u_in = 10 s within the run.

    - The observed order (the median over the curve, flow_reference) of the
      gel mean, the mid-gel point and the outlet mixing cup within 1.8..2.3.
    - The extrapolated curves' estimated error below 1e-4 c_in at every
      sample time, except c_out while the inlet front arrives at the outlet
      (0.8 L/u_in <= t <= 1.4 L/u_in), allowed 5e-3 there: from t = L/u_in
      the mixing cup rises like the root of t - L/u_in (0.004, 0.06, 0.19,
      0.32 at 9..12 s), the part of the curve no grid follows at its order;
      its estimate peaks there at 3.3e-3 (10 s and 12 s) and is below 1e-4
      before 8 s and from 15 s on.
    - The field stays within c_in (1e-3) after the first 3 s; before, the
      front leaving the inlet, a jump from c_in to 0, over- and undershoots
      (4 % on level 3).
    """
    instrument = Instrument(chlength=2e-3, halfgap=2e-4, th_memb=5e-5, th_gel=2e-4, u_in=2e-4,
                            diff_flow=1e-9, diff_memb=5e-10, diff_gel=8e-10, c_in=1.0)
    times = np.arange(1, 61) * 1.0
    resolution = Resolution(nx=24, n_flow=8, n_memb=4, n_gel=4, dt=0.5)
    ref = reference(instrument, times, levels=(1, 2, 3), resolution=resolution)
    for name in ("c_gel_mean", "c_gel_mid", "c_out"):
        assert 1.8 <= ref.order[name] <= 2.3, (name, ref.order[name])
    arrival = instrument.chlength / instrument.u_in
    front = (times >= 0.8 * arrival) & (times <= 1.4 * arrival)
    for name, error in ref.error.items():
        if name == "m_gel":
            error = error / (instrument.chlength * instrument.th_gel)
        if name == "c_out":
            assert np.max(error[front]) < 5e-3, np.max(error[front])
            error = error[~front]
        assert np.max(error) < 1e-4, (name, np.max(error))
    extremes = ref.extremes[3]
    after = times > 3.0
    assert extremes["c_min"][after].min() > -1e-3 and extremes["c_max"][after].max() < 1.0 + 1e-3


def test_without_diffusion_the_outlet_sees_the_sheared_front():
    """With D -> 0 (1e-13 m^2/s everywhere) the channel only carries the
    inlet front along: c = c_in where u(y) t > x, so at the outlet, from
    t = L/u_in, c_in flows out below y* = h sqrt(1 - L/(u_in t)) and

        c_out / c_in = (y* - y*^3 / (3 h^2)) / (2 h / 3),

    exact, independent of the discretisation: it checks the flow the
    reference carries (the centreline velocity, each row's flow, the mixing
    cup).  Level 3 within 1e-3 (it is 5e-4 at most): the front, a jump along
    x a few cells wide, is a band of some 1e-6 m around y* in the outlet
    profile, nearly symmetric about it; diffusion across the sheared front
    moves c_out by D t / h^2 = 1.5e-4 by 60 s.  A flow 1 % off would move
    the arrival by 1 % and c_out at 12 s by 8e-3."""
    length, halfgap, u_in = 2e-3, 2e-4, 2e-4
    instrument = Instrument(chlength=length, halfgap=halfgap, th_memb=5e-5, th_gel=2e-4, u_in=u_in,
                            diff_flow=1e-13, diff_memb=1e-13, diff_gel=1e-13, c_in=1.0)
    times = np.array([12.0, 15.0, 20.0, 30.0, 40.0, 60.0])
    below = halfgap * np.sqrt(1.0 - length / (u_in * times))
    exact = (below - below ** 3 / (3.0 * halfgap ** 2)) / (2.0 * halfgap / 3.0)
    out = solve(instrument, times, 3, Resolution(nx=24, n_flow=8, n_memb=2, n_gel=2, dt=0.5))
    assert np.max(np.abs(out["c_out"] - exact)) < 1e-3, out["c_out"] - exact
