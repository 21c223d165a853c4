"""What an experiment can tell: the Fisher information of a design.

A design samples an observable y(t) at times t_1 .. t_n with independent
normal errors of standard deviation sigma_i.  With S the sensitivities
dy(t_i)/d ln p_k at the nominal parameters, the Fisher information of the
log-parameters is F = J^T J with J = S / sigma (row by row), and a least
squares fit of the data estimates ln p with the covariance F^-1 (to first
order).  So, before any data exist:

- the standard error of a parameter relative to its value is the standard
  error of its logarithm, se_k = sqrt((F^-1)_kk);
- the 95 % half-width (relative) is exp(t se_k) - 1, t the 97.5 % point of
  Student's t for n - p degrees of freedom: the upper side of the interval
  exp(ln p +- t se) the fit reports for data that give sigma;
- the correlation of two estimates is (F^-1)_kj / (se_k se_j);
- the D-criterion is det(F)^(1/p), the geometric mean information per
  log-parameter (larger is better; 1 / sqrt of it is a typical standard
  error);
- a parameter is identifiable when its half-width is at most ``limit``
  (default 0.5, i.e. +-50 %).  When it is not, the reason: ``flat`` (even
  with every other parameter known its half-width would exceed the limit,
  or the curve hardly moves with it: a change of ln p by 1 moves it by
  less than 1e-3 of its size, the fit's own test), or ``confounded with
  NAME`` (it alone would be measurable, but its effect on the curve is
  mimicked by a change of NAME: their correlation is reported).
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

#: Relative 95 % half-width above which a parameter is called not identifiable.
DEFAULT_LIMIT = 0.5
#: The fit's test of a flat parameter (fit.FLAT_TOLERANCE).
FLAT_TOLERANCE = 1e-3


@dataclasses.dataclass
class Prediction:
    """The predicted precision of one design (arrays over the parameters)."""

    names: list
    information: np.ndarray      # F, p x p
    se: np.ndarray               # standard errors of ln p (relative standard errors)
    halfwidth: np.ndarray        # relative 95 % half-widths, exp(t se) - 1
    correlation: np.ndarray
    d_criterion: float
    t_quantile: float
    identifiable: np.ndarray     # bool per parameter
    reasons: list                # '' or why not, per parameter
    limit: float

    @property
    def worst_halfwidth(self) -> float:
        return float(np.max(self.halfwidth))


def t_quantile(dof: int) -> float:
    from scipy import stats
    return float(stats.t.ppf(0.975, max(int(dof), 1)))


def predict(names, sensitivities, sigma, curve=None, limit=DEFAULT_LIMIT) -> Prediction:
    """The prediction of a design from the sensitivities ``S`` (n x p,
    dy/d ln p at the sampling times), the standard deviations ``sigma`` (n)
    and the nominal curve (n, for the flatness test)."""
    s = np.asarray(sensitivities, dtype=float)
    if s.ndim == 1:
        s = s[:, None]
    n, p = s.shape
    sigma = np.broadcast_to(np.asarray(sigma, dtype=float), (n,))
    jac = s / sigma[:, None]
    info = jac.T @ jac
    tq = t_quantile(n - p)
    cov = _inverse(info)
    diag = np.diag(cov).copy()
    bad = ~(np.isfinite(diag) & (diag > 0))
    diag[bad] = np.inf
    se = np.sqrt(diag)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        corr = cov / np.outer(se, se)
        halfwidth = np.expm1(tq * se)
    corr = np.where(np.isfinite(corr), corr, np.nan)
    corr = np.clip(0.5 * (corr + corr.T), -1.0, 1.0)
    np.fill_diagonal(corr, 1.0)
    sign, logdet = np.linalg.slogdet(info)
    d = math.exp(logdet / p) if sign > 0 else 0.0
    scale = float(np.max(np.abs(curve))) if curve is not None and len(curve) else 0.0
    identifiable = halfwidth <= limit
    reasons = []
    for k, name in enumerate(names):
        if identifiable[k]:
            reasons.append("")
            continue
        alone = math.inf if info[k, k] <= 0 else 1.0 / math.sqrt(info[k, k])
        moves = float(np.max(np.abs(s[:, k])))
        if (scale > 0 and moves < FLAT_TOLERANCE * scale) or math.expm1(tq * alone) > limit:
            reasons.append(f"flat (alone +-{_percent(math.expm1(tq * alone))})")
            continue
        others = [j for j in range(p) if j != k]
        partner = max(others, key=lambda j: abs(np.nan_to_num(corr[k, j], nan=1.0)), default=None)
        if partner is None:
            reasons.append("too little information")
        else:
            reasons.append(f"confounded with {names[partner]} (correlation {corr[k, partner]:.3f}; "
                           f"alone +-{_percent(math.expm1(tq * alone))})")
    return Prediction(names=list(names), information=info, se=se, halfwidth=halfwidth,
                      correlation=corr, d_criterion=d, t_quantile=tq,
                      identifiable=np.asarray(identifiable, dtype=bool), reasons=reasons, limit=limit)


def _inverse(info):
    """F^-1, or a matrix with infinite diagonal for the directions F does
    not determine (a singular or numerically singular F)."""
    p = info.shape[0]
    w, v = np.linalg.eigh(info)
    top = float(np.max(w)) if p else 0.0
    if top <= 0:
        return np.full((p, p), np.inf)
    keep = w > top * 1e-13
    cov = (v[:, keep] / w[keep]) @ v[:, keep].T
    if not np.all(keep):
        # the parameters that take part in an undetermined direction
        null = np.any(np.abs(v[:, ~keep]) > 1e-8, axis=1)
        cov[null, :] = np.nan
        cov[:, null] = np.nan
        cov[null, null] = np.inf
    return cov


def _percent(x: float) -> str:
    return "inf %" if not math.isfinite(x) else f"{100 * x:.3g} %"


# -- ranking ---------------------------------------------------------------------
CRITERIA = ("max-halfwidth", "halfwidth:NAME", "d-criterion")


def criterion_value(prediction: Prediction, criterion: str) -> float:
    """The value to rank by, smaller is better: the largest relative
    half-width (``max-halfwidth``), the half-width of one parameter
    (``halfwidth:NAME``) or minus the D-criterion (``d-criterion``)."""
    if criterion == "max-halfwidth":
        return prediction.worst_halfwidth
    if criterion == "d-criterion":
        return -prediction.d_criterion
    name = criterion.partition(":")[2]
    return float(prediction.halfwidth[prediction.names.index(name)])


def check_criterion(criterion: str, names) -> str:
    """``criterion`` if it is one of :data:`CRITERIA` for these parameters,
    else ValueError saying what is expected."""
    kind, colon, name = criterion.partition(":")
    if criterion in ("max-halfwidth", "d-criterion") or (kind == "halfwidth" and name in names):
        return criterion
    raise ValueError(f"--rank {criterion}: expected max-halfwidth, d-criterion or "
                     f"halfwidth:NAME with NAME one of {', '.join(names)}")


def criterion_identifiable(prediction: Prediction, criterion: str) -> bool:
    """Whether the parameters ``criterion`` looks at are all identifiable:
    every parameter for ``max-halfwidth`` and ``d-criterion``, NAME alone for
    ``halfwidth:NAME``."""
    if criterion.startswith("halfwidth:"):
        return bool(prediction.identifiable[prediction.names.index(criterion.partition(":")[2])])
    return bool(np.all(prediction.identifiable))


def rank(values, identifiable=None) -> tuple:
    """The ranking of ``values`` (smaller first; NaN last; ties stable):
    ``(order, ranks)``, the indices best first and the rank 1.. of each.

    With ``identifiable`` (a flag per value), the identifiable come first,
    ranked among themselves, and the others share the rank after the last of
    them: their half-widths lie outside the range where the linear
    prediction holds (a fit of such data is bounded by the nonlinearity of
    the model, not by the information), so the prediction says that they
    cannot measure the parameters, not which of them is worse.  Their order
    in the list still follows ``values``."""
    flags = [True] * len(values) if identifiable is None else [bool(f) for f in identifiable]
    order = sorted(range(len(values)), key=lambda i: (not flags[i],
                                                      not math.isfinite(values[i]) and values[i] != math.inf,
                                                      values[i] if not math.isnan(values[i]) else math.inf, i))
    ranks, shared = [0] * len(values), sum(flags) + 1
    for r, i in enumerate(order, 1):
        ranks[i] = r if flags[i] else shared
    return order, ranks
