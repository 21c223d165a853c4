"""Refined grids and the uncertainty of a result of one grid.

:func:`refined` makes the problem of a grid ``factor`` times finer in every
direction at once: each layer's rows, the interior columns and the time step
(the number of steps grows by the same factor, so the run ends at the same
time).  The physical problem is unchanged; the monitoring node moves to the
node of the finer grid in the same cell.

:func:`richardson` estimates, from one quantity computed on a sequence of
such grids (grid i has the spacing h_i = r^-i of the first, r the
refinement ratio), the grid-independent value f0, the error of every grid
and its uncertainty U_i: the band around f_i that holds f0, a safety factor
Fs included.  The order of convergence is measured wherever the grids allow
it; where they do not (two grids) the lowest order the scheme may show is
assumed (:data:`LOWEST_ORDER`), never its formal order: limiters and the
step of the concentration at the inlet edge bring both schemes down to
first order, and a first-order error estimated with a second-order
extrapolation is too small by a factor of 1.5 (the coarse grid) to 3 (the
fine one), more for orders below one.

- Two grids, e = f2 - f1: U = Fs |e| / (r^p - 1) with Fs = 3 and p the
  lowest order (1), for both grids.  An error c h^p gives
  f1 - f0 = -e / (1 - r^-p) and f2 - f0 = -e / (r^p - 1), so with r = 2
  the band holds the coarse grid's error for every order p >= 0.59
  (3 (1 - 2^-p) >= 1) and the fine grid's for p >= 0.42.
- Three grids (the last three; f1 the coarsest of them): e21 = f2 - f1 and
  e32 = f3 - f2 of one sign and shrinking give the observed order
  p = ln(e21 / e32) / ln r.  Within the band |p - p_formal| <= 0.25 p_formal
  (:data:`NEAR_FORMAL`; 0.75 .. 1.25 for the standard scheme, 1.5 .. 2.5
  for the second-order one) it is used with Fs = 1.25, an order above the
  formal one replaced by the formal one (it is not trusted to extrapolate
  with); otherwise Fs = 3 and p is clipped into [p_lowest, p_formal].  f0 = f3 + e32 / (r^p - 1),
  U_i = Fs |f_i - f0|.  Oscillating or non-shrinking differences: Fs = 3,
  the lowest order, and the spread of the three values as the floor of
  the error, U_i = Fs max(|f_i - f0|, max f - min f).
- Four grids or more: the least-squares procedure of Eca and Hoekstra
  (J. Comput. Phys. 262, 2014, 104-130).  f_i = f0 + alpha h_i^p is
  fitted to all grids (f0, alpha and p), and so are the alternatives with
  p fixed at 1 and at 2 and f0 + a1 h_i + a2 h_i^2; each unweighted and
  weighted by w_i ~ 1 / h_i (the finer grids count more), keeping the
  weighting with the smaller standard deviation
  sigma = sqrt(n sum w_i (f_i - fit_i)^2 / (n - k)) (sum w_i = 1, k fitted
  coefficients).  When the power fit's order lies in
  0.5 <= p < p_formal + 0.1 (:data:`LSQ_ORDERS`; 0.5 .. 2.1 for the
  second-order scheme, where Eca and Hoekstra place it, 0.5 .. 1.1 for the
  standard one) that fit is used with Fs = 1.25; otherwise the alternative
  with the smallest sigma, with Fs = 3.  With delta_i = fit_i - f0 and the
  data range D = (max f - min f) / (n - 1):
  U_i = Fs |delta_i| + sigma + |f_i - fit_i| when sigma < D, else
  U_i = 3 sigma / D (|delta_i| + sigma + |f_i - fit_i|) (values that
  scatter more than they converge).

The values the same on every grid have U = 0.  The record
(:class:`Extrapolation`) says which estimate was used (``method``) and why
(``note``).
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from .errors import QuestrandError
from .problem import Problem

#: The program's limit on grid columns and on grid rows.
MAX_GRID = 350
#: Safety factors: an order measured near the formal one, and any other case.
SAFETY_OBSERVED = 1.25
SAFETY_ASSUMED = 3.0
#: The formal order of the program's schemes (space and time together).
FORMAL_ORDER = {"standard": 1.0, "second-order": 2.0, "second-order-graded": 2.0}
#: The lowest order each scheme may show: the limiter of the second-order
#: scheme and the step of the concentration at the inlet edge reduce both
#: to first order (observed with the flow solved: about 0.6 to 1).
LOWEST_ORDER = {"standard": 1.0, "second-order": 1.0, "second-order-graded": 1.0}
#: Three grids: an observed order p counts as near the formal order p_f
#: when |p - p_f| <= NEAR_FORMAL p_f.
NEAR_FORMAL = 0.25
#: Four grids or more: the least-squares order p counts as supported when
#: LSQ_ORDERS[0] <= p < formal order + LSQ_ORDERS[1].
LSQ_ORDERS = (0.5, 0.1)
#: The orders the least-squares power fit searches.
_ORDER_SCAN = (0.01, 8.0, 800)


class GridLimitError(QuestrandError, ValueError):
    """A refined grid beyond the program's limit of grid columns or rows."""


def grid_size(problem: Problem) -> tuple:
    """(grid columns, grid rows) of the problem, mirror nodes included."""
    return problem.ni, problem.n_flow + problem.n_memb + problem.n_gel + 2


def refined(problem: Problem, factor: int) -> Problem:
    """The problem on a grid ``factor`` times finer in rows, columns and time
    step; raises :class:`GridLimitError` beyond the program's 350 nodes.

    A transient problem refined keeps the given problem's time step as its
    ``start_dt`` (the program's ``--start-dt``): under the second-order
    scheme the start's sub-steps then cover the same simulated time on every
    grid, each ``factor`` times smaller, so that the grids refine the same
    start.  (With its own steps the start would last four of them, a
    quarter as long on the grid four times finer, which then takes larger
    steps than the given grid through the first minute and converges to no
    order there.)  The standard scheme has no start and ignores it."""
    factor = int(factor)
    if factor == 1:
        return problem
    ni = (problem.ni - 2) * factor + 2
    rows = [n * factor for n in (problem.n_flow, problem.n_memb, problem.n_gel)]
    nj = sum(rows) + 2
    if ni > MAX_GRID or nj > MAX_GRID:
        raise GridLimitError(f"a grid {factor} times finer needs {ni} columns and {nj} rows; "
                             f"the program allows {MAX_GRID} of each")
    changes = dict(ni=ni, n_flow=rows[0], n_memb=rows[1], n_gel=rows[2],
                   imon=min((problem.imon - 2) * factor + 2 + factor // 2, ni - 1),
                   jmon=min((problem.jmon - 2) * factor + 2 + factor // 2, nj - 1))
    if not problem.steady:
        changes.update(dt=float(np.float32(problem.dt / factor)), nsteps=problem.nsteps * factor,
                       prt_step=problem.prt_step * factor,
                       start_dt=problem.start_dt if problem.start_dt is not None else problem.dt)
    return problem.replace(**changes)


def refinements(problem: Problem, levels: int, ratio: int = 2) -> list:
    """The factors 1, ratio, ratio^2 ... (``levels`` of them) that stay within
    the grid limit."""
    factors = []
    for k in range(levels):
        factor = ratio ** k
        try:
            refined(problem, factor)
        except GridLimitError:
            break
        factors.append(factor)
    return factors


@dataclasses.dataclass
class Extrapolation:
    """What a sequence of grids says of one quantity (see the module notes).

    ``values`` run from the coarsest grid to the finest.  Per grid:
    ``errors`` the estimated error |f_i - f0|, ``uncertainties`` the band
    U_i that holds f0 (the safety factor and, with least squares, the
    scatter included) and ``gci`` that band relative to |f0|.  ``method``
    names the estimate ("two grids, assumed order", "three grids, observed
    order", "least squares over 4 grids", ...) and ``note`` says why it was
    chosen.  ``observed_order`` is the order measured (None where none
    could be: two grids, oscillating values), ``order`` the one used for f0
    (None for the fit f0 + a1 h + a2 h^2), ``sigma`` the standard deviation
    of the least-squares fit."""

    values: list
    ratio: float
    formal_order: float
    lowest_order: float
    method: str
    observed_order: float | None
    order: float | None
    safety: float
    extrapolated: float
    errors: list
    uncertainties: list
    gci: list
    sigma: float | None = None
    note: str = ""

    @property
    def error(self) -> float:
        """The estimated error of the coarsest (given) grid's value."""
        return self.errors[0]

    @property
    def uncertainty(self) -> float:
        """The uncertainty of the coarsest (given) grid's value."""
        return self.uncertainties[0]

    def as_json(self) -> dict:
        def num(v):
            return None if v is None or not math.isfinite(v) else float(v)
        return {"values": [num(v) for v in self.values], "method": self.method, "note": self.note,
                "observed_order": num(self.observed_order), "order": num(self.order),
                "formal_order": self.formal_order, "lowest_order": self.lowest_order,
                "safety_factor": self.safety, "extrapolated": num(self.extrapolated),
                "errors": [num(v) for v in self.errors],
                "uncertainties": [num(v) for v in self.uncertainties],
                "gci": [num(v) for v in self.gci], "sigma": num(self.sigma)}


def scheme_orders(scheme: str) -> tuple:
    """(formal order, lowest order) of a scheme of the program."""
    return FORMAL_ORDER[scheme], LOWEST_ORDER[scheme]


def _extrapolate(coarse: float, fine: float, ratio: float, order: float) -> float:
    """f0 = f_fine + (f_fine - f_coarse) / (r^p - 1): the value an error c h^p leaves."""
    return fine + (fine - coarse) / (ratio ** order - 1.0)


def _two_grids(f, ratio, lowest):
    """U = 3 |f2 - f1| / (r^p_lowest - 1) for both grids."""
    f0 = _extrapolate(f[0], f[1], ratio, lowest)
    band = SAFETY_ASSUMED * abs(f[1] - f[0]) / (ratio ** lowest - 1.0)
    note = (f"two grids measure no order: the lowest the scheme may show, {lowest:g}, "
            f"with Fs {SAFETY_ASSUMED:g}")
    return dict(method="two grids, assumed order", observed_order=None, order=lowest,
                safety=SAFETY_ASSUMED, extrapolated=f0, uncertainties=[band, band], note=note)


def _three_grids(f, ratio, formal, lowest):
    """The observed order of the last three values (see the module notes)."""
    f1, f2, f3 = f[-3:]
    e21, e32 = f2 - f1, f3 - f2
    monotone = e21 != 0.0 and (e32 == 0.0 or (e21 * e32 > 0.0 and abs(e32) < abs(e21)))
    if monotone:
        observed = math.inf if e32 == 0.0 else math.log(e21 / e32) / math.log(ratio)
        if abs(observed - formal) <= NEAR_FORMAL * formal:
            # an order above the formal one is not trusted for the extrapolation
            order, safety, method = min(observed, formal), SAFETY_OBSERVED, "three grids, observed order"
            used = "" if observed <= formal else f", the formal order {formal:g} used"
            note = (f"observed order {observed:.2f} within {100 * NEAR_FORMAL:g} % of the formal "
                    f"order {formal:g}{used}: Fs {SAFETY_OBSERVED:g}")
        else:
            order = min(max(observed, lowest), formal)
            safety, method = SAFETY_ASSUMED, "three grids, order clipped"
            clip = "the formal one" if lowest == formal else f"clipped into {lowest:g}..{formal:g}"
            note = (f"observed order {observed:.2f} not within {100 * NEAR_FORMAL:g} % of the formal "
                    f"order {formal:g}: order {order:.3g} ({clip}), Fs {SAFETY_ASSUMED:g}")
        f0 = _extrapolate(f2, f3, ratio, order)
        return dict(method=method, observed_order=observed, order=order, safety=safety,
                    extrapolated=f0, uncertainties=[safety * abs(v - f0) for v in f], note=note)
    why = "oscillating" if e21 * e32 < 0.0 else "not shrinking"
    f0 = _extrapolate(f2, f3, ratio, lowest)
    spread = max(f[-3:]) - min(f[-3:])
    note = (f"{why} differences: the lowest order {lowest:g}, Fs {SAFETY_ASSUMED:g}, the spread "
            f"{spread:.3g} of the last three values as the floor of the error")
    return dict(method=f"three grids, {why}", observed_order=None, order=lowest,
                safety=SAFETY_ASSUMED, extrapolated=f0,
                uncertainties=[SAFETY_ASSUMED * max(abs(v - f0), spread) for v in f], note=note)


@dataclasses.dataclass
class _Fit:
    """One least-squares fit f_i ~ f0 + sum_k a_k g_k(h_i)."""

    form: str
    order: float | None
    f0: float
    fitted: np.ndarray
    sigma: float
    weighting: str


def _weightings(h):
    """(name, weights summing to one): unweighted, and w_i ~ 1 / h_i."""
    n = len(h)
    inverse = 1.0 / h
    return (("unweighted", np.full(n, 1.0 / n)), ("weighted", inverse / inverse.sum()))


def _linear_fit(f, h, orders, weights):
    """Weighted least squares of f ~ f0 + sum_k a_k h^orders[k]."""
    n = len(f)
    basis = np.column_stack([np.ones(n)] + [h ** q for q in orders])
    root = np.sqrt(weights)
    coefficients = np.linalg.lstsq(basis * root[:, None], f * root, rcond=None)[0]
    fitted = basis @ coefficients
    return coefficients[0], fitted, _sigma(f, fitted, weights, basis.shape[1])


def _sigma(f, fitted, weights, coefficients):
    """sqrt(n sum w_i (f_i - fit_i)^2 / (n - k)), k fitted coefficients."""
    n = len(f)
    return math.sqrt(max(n * float(weights @ (f - fitted) ** 2), 0.0) / (n - coefficients))


def _power_fit(f, h, weights, weighting):
    """f ~ f0 + alpha h^p, p searched: for each p the best f0 and alpha are
    linear (weighted means), so the weighted residual sum is a function of p
    alone, scanned on a geometric grid; the best (f0, alpha, p) of the scan
    is then polished by Gauss-Newton steps on the residuals themselves (the
    sum of squares is too flat at its minimum to fix p closer than the
    square root of the rounding)."""
    fbar = float(weights @ f)
    df = f - fbar
    root = np.sqrt(weights)
    log_h = np.log(h)

    def rss(p):
        g = h[None, :] ** np.atleast_1d(p)[:, None]
        dg = g - (g @ weights)[:, None]
        sxx, sxy = (dg ** 2) @ weights, (dg * df) @ weights
        return float(weights @ df ** 2) - sxy ** 2 / sxx

    def residuals(x):
        return root * (f - x[0] - x[1] * h ** x[2])

    scan = np.geomspace(*_ORDER_SCAN)
    p = float(scan[int(np.argmin(rss(scan)))])
    g = h ** p
    dg = g - weights @ g
    alpha = float(weights @ (dg * df)) / float(weights @ dg ** 2)
    x = np.array([fbar - alpha * float(weights @ g), alpha, p])
    r = residuals(x)
    for _ in range(30):
        g = h ** x[2]
        jac = -root[:, None] * np.column_stack([np.ones_like(h), g, x[1] * g * log_h])
        step = -np.linalg.lstsq(jac, r, rcond=None)[0]
        for _ in range(20):   # halve a step that does not lower the residual sum
            trial = x + step
            trial[2] = min(max(trial[2], _ORDER_SCAN[0]), _ORDER_SCAN[1])
            r_trial = residuals(trial)
            if r_trial @ r_trial <= r @ r:
                break
            step = 0.5 * step
        else:
            break
        done = bool(np.all(np.abs(trial - x) <= 1e-15 * (1.0 + np.abs(x))))
        x, r = trial, r_trial
        if done:
            break
    f0, alpha, p = (float(v) for v in x)
    fitted = f0 + alpha * h ** p
    return _Fit("f0 + alpha h^p", p, f0, fitted, _sigma(f, fitted, weights, 3), weighting)


def _least_squares(f, ratio, formal, lowest):
    """Eca and Hoekstra's procedure over all grids (see the module notes)."""
    n = len(f)
    h = ratio ** -np.arange(n, dtype=float)
    weightings = _weightings(h)
    power = min((_power_fit(f, h, w, name) for name, w in weightings), key=lambda fit: fit.sigma)
    low, margin = LSQ_ORDERS
    method = f"least squares over {n} grids"
    if low <= power.order < formal + margin:
        chosen, safety = power, SAFETY_OBSERVED
        note = (f"fitted order {power.order:.2f} within {low:g}..{formal + margin:g} "
                f"({power.weighting}): Fs {SAFETY_OBSERVED:g}")
    else:
        alternatives = []
        for name, w in weightings:
            for form, orders, order in (("f0 + alpha h", (1.0,), 1.0), ("f0 + alpha h^2", (2.0,), 2.0),
                                        ("f0 + a1 h + a2 h^2", (1.0, 2.0), None)):
                f0, fitted, sigma = _linear_fit(f, h, orders, w)
                alternatives.append(_Fit(form, order, f0, fitted, sigma, name))
        chosen, safety = min(alternatives, key=lambda fit: fit.sigma), SAFETY_ASSUMED
        note = (f"fitted order {power.order:.2f} outside {low:g}..{formal + margin:g}: "
                f"{chosen.form} ({chosen.weighting}), the smallest standard deviation of the "
                f"fixed-order fits, Fs {SAFETY_ASSUMED:g}")
    data_range = (max(f) - min(f)) / (n - 1)
    delta = np.abs(chosen.fitted - chosen.f0)
    misfit = np.abs(f - chosen.fitted)
    if chosen.sigma < data_range:
        bands = safety * delta + chosen.sigma + misfit
    else:
        bands = 3.0 * chosen.sigma / data_range * (delta + chosen.sigma + misfit)
        note += (f"; the scatter (sigma {chosen.sigma:.3g}) exceeds the data range {data_range:.3g}: "
                 "U = 3 sigma / range (|delta| + sigma + |f - fit|)")
    return dict(method=method, observed_order=power.order, order=chosen.order, safety=safety,
                extrapolated=chosen.f0, uncertainties=[float(b) for b in bands],
                sigma=chosen.sigma, note=note)


def richardson(values, ratio: float = 2.0, formal_order: float = 1.0,
               lowest_order: float = 1.0) -> Extrapolation:
    """The grid-independent value, the errors and the uncertainties of
    ``values`` (coarsest grid first, at least two, each grid ``ratio`` times
    finer than the one before) for a scheme of ``formal_order`` that may
    show orders down to ``lowest_order`` (see the module notes)."""
    f = [float(v) for v in values]
    if len(f) < 2:
        raise ValueError("Richardson extrapolation needs at least two grids")
    if max(f) == min(f):
        found = dict(method=f"{len(f)} grids, the same value", observed_order=None, order=None,
                     safety=SAFETY_OBSERVED, extrapolated=f[-1], uncertainties=[0.0] * len(f),
                     note="the same value on every grid")
    elif len(f) == 2:
        found = _two_grids(f, ratio, lowest_order)
    elif len(f) == 3:
        found = _three_grids(f, ratio, formal_order, lowest_order)
    else:
        found = _least_squares(np.array(f), ratio, formal_order, lowest_order)
    f0 = found["extrapolated"]
    scale = abs(f0) or max(abs(v) for v in f) or 1.0
    return Extrapolation(values=f, ratio=ratio, formal_order=formal_order, lowest_order=lowest_order,
                         errors=[abs(v - f0) for v in f],
                         gci=[u / scale for u in found["uncertainties"]], **found)
