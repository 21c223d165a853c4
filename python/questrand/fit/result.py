"""The outcome of a fit (:class:`FitResult`) and its warnings on the
discretisation and iteration errors."""

from __future__ import annotations

import dataclasses
import math

import numpy as np

from .data import Data

#: The columns of :meth:`FitResult.to_frame` that hold true/false.
_FLAGS = ("profile_reaches_low", "profile_reaches_high")
#: The columns of :meth:`FitResult.to_frame` that hold text.
_TEXTS = ("grid_error_method", "accuracy_state")


@dataclasses.dataclass
class FitResult:
    """The outcome of :func:`fit`.  Arrays run over the parameters in order;
    intervals are ``(p, 2)`` arrays; ``rss`` is the weighted sum of squares
    (chi-square) when the data give ``sigma``."""

    data: Data
    parameters: list
    estimate: np.ndarray
    stderr: np.ndarray
    ci95: np.ndarray
    correlation: np.ndarray
    rss: float
    dof: int
    noise: float
    t_quantile: float
    evaluations: int
    reused: int
    converged: bool
    message: str
    wall_time: float
    curve_time: np.ndarray
    curve_value: np.ndarray
    fitted: np.ndarray
    search_runs: int = 0
    search_time: float = 0.0
    profile_ci95: np.ndarray | None = None
    profile_open: np.ndarray | None = None
    scheme: str = "standard"
    flow: str = "coupled"
    given_estimate: np.ndarray | None = None     # the given grid's estimate
    discretisation_error: np.ndarray | None = None
    stat_halfwidth: np.ndarray | None = None     # t se in the logarithm
    accuracy: object = None                      # questrand.accuracy.Accuracy
    lack: object = None                          # questrand.accuracy.LackOfFit
    warnings: list = dataclasses.field(default_factory=list)
    covariance: np.ndarray | None = None         # of the ln parameters
    sensitivity: np.ndarray | None = None        # d fitted / d ln p at the data times, (n, p)
    experiments: list | None = None              # a joint fit: one entry per experiment and observable
    grid_shares: list = dataclasses.field(default_factory=list)  # (experiment, Accuracy) of a joint fit

    @property
    def names(self) -> list:
        return [p.name for p in self.parameters]

    def to_frame(self):
        """The parameter table as a pandas DataFrame, one row per parameter
        (indexed by its name): ``start``, the bounds ``low`` and ``high``,
        ``estimate``, ``stderr``, ``ci95_low``, ``ci95_high``; with a grid
        check also ``given_grid_estimate``, ``discretisation_error`` (the
        grid uncertainty, safety factor included), ``iteration_error``,
        ``observed_order``, ``grid_error_method`` (which estimate of the
        grid error) and ``accuracy_state`` (why no accuracy can be stated:
        at a bound, not determined by the data; empty otherwise); with
        profiles ``profile_ci95_low``, ``profile_ci95_high`` and
        ``profile_reaches_low``/``_high`` (the interval reaches the bound).
        Numbers that are not finite are NaN."""
        import pandas as pd

        columns = {"start": [p.start for p in self.parameters],
                   "low": [p.low for p in self.parameters],
                   "high": [p.high for p in self.parameters],
                   "estimate": self.estimate, "stderr": self.stderr,
                   "ci95_low": self.ci95[:, 0], "ci95_high": self.ci95[:, 1]}
        if self.given_estimate is not None and self.discretisation_error is not None:
            columns["given_grid_estimate"] = self.given_estimate
        if self.discretisation_error is not None:
            columns["discretisation_error"] = self.discretisation_error
        if self.accuracy is not None:
            columns["iteration_error"] = self.accuracy.iteration_error
        if self.accuracy is not None and self.accuracy.extrapolations:
            columns["observed_order"] = [math.nan if e.observed_order is None else e.observed_order
                                         for e in self.accuracy.extrapolations]
            columns["grid_error_method"] = [e.method for e in self.accuracy.extrapolations]
        if self.accuracy is not None and self.accuracy.states:
            columns["accuracy_state"] = [state or "" for state in self.accuracy.states]
        if self.profile_ci95 is not None:
            columns["profile_ci95_low"] = self.profile_ci95[:, 0]
            columns["profile_ci95_high"] = self.profile_ci95[:, 1]
            columns["profile_reaches_low"] = [bool(v) for v in self.profile_open[:, 0]]
            columns["profile_reaches_high"] = [bool(v) for v in self.profile_open[:, 1]]
        frame = pd.DataFrame({name: (np.asarray(values, dtype=float) if name not in _FLAGS + _TEXTS
                                     else list(values))
                              for name, values in columns.items()},
                             index=pd.Index(self.names, name="parameter"))
        return frame.replace([np.inf, -np.inf], np.nan)

    def as_json(self) -> dict:
        """A JSON-ready dict of the results."""
        if self.experiments is not None:
            from .joint import joint_json
            return joint_json(self)
        out = {"observable": self.data.observable, "data": str(self.data.path),
               "points": len(self.data), "parameters": {}}
        for k, p in enumerate(self.parameters):
            entry = {"estimate": float(self.estimate[k]), "stderr": _num(self.stderr[k]),
                     "discretisation_error": (None if self.discretisation_error is None
                                              else _num(self.discretisation_error[k])),
                     "ci95": [_num(v) for v in self.ci95[k]], "start": p.start,
                     "bounds": [p.low, p.high]}
            if self.given_estimate is not None:
                entry["given_grid_estimate"] = float(self.given_estimate[k])
            if self.accuracy is not None:
                grids = self.accuracy
                entry["iteration_error"] = _num(grids.iteration_error[k])
                entry["accuracy_state"] = grids.states[k] if grids.states else None
            if self.accuracy is not None and self.accuracy.extrapolations:
                e = self.accuracy.extrapolations[k]
                entry["grid_estimates"] = [float(v) for v in e.values]
                entry["observed_order"] = _num(e.observed_order) if e.observed_order is not None else None
                entry["grid_error"] = e.as_json()
            if self.profile_ci95 is not None:
                entry["profile_ci95"] = [_num(v) for v in self.profile_ci95[k]]
                entry["profile_reaches_bound"] = [bool(v) for v in self.profile_open[k]]
            out["parameters"][p.name] = entry
        out.update({"correlation": {a: {b: _num(self.correlation[i, j])
                                        for j, b in enumerate(self.names)}
                                    for i, a in enumerate(self.names)},
                    "rss": self.rss, "dof": self.dof,
                    "noise_sigma": None if self.data.sigma is not None else self.noise,
                    "weighted": self.data.sigma is not None,
                    "evaluations": self.evaluations, "reused": self.reused,
                    "search_evaluations": self.search_runs,
                    "converged": self.converged, "message": self.message,
                    "scheme": self.scheme, "flow": self.flow, "warnings": list(self.warnings),
                    "lack_of_fit": None if self.lack is None else {
                        "systematic": bool(self.lack.systematic), "sign_runs": self.lack.runs,
                        "expected_runs": self.lack.expected_runs, "lag1": self.lack.lag1},
                    "accuracy": None if self.accuracy is None else {
                        "target": self.accuracy.target, "reached": bool(self.accuracy.reached),
                        "reported_grid": self.accuracy.reported.factor,
                        "grids": [{"factor": g.factor, "estimate": [float(v) for v in np.exp(g.theta)],
                                   "runs": g.runs, "seconds": round(g.seconds, 3)}
                                  for g in self.accuracy.grids],
                        "iteration_check": {"convtol": self.accuracy.iteration_convtol,
                                            "runs": self.accuracy.iteration_runs,
                                            "note": self.accuracy.iteration_note or None},
                        "stopped": self.accuracy.stopped or None},
                    "wall_time": round(self.wall_time, 3), "search_time": round(self.search_time, 3)})
        return out


def _num(value):
    value = float(value)
    return value if math.isfinite(value) else None


def _grid_warnings(res: FitResult) -> None:
    """Warnings on the discretisation and iteration errors: a parameter at
    its bound (the grid not blamed for it; an undetermined one is left to
    the identifiability warnings), an uncertainty above the asked accuracy,
    or (a plain fit) larger than half the statistical interval."""
    grids = res.accuracy
    for k, name in enumerate(res.names):
        state = grids.states[k] if grids.states else None
        value = res.estimate[k]
        if state is not None:
            # undetermined parameters are named by the identifiability warnings
            if state.startswith("at its"):
                res.warnings.append(f"{name} is {state}: the fit stopped there, so the grid says "
                                    "nothing of how true it is; check the problem and the data "
                                    "before widening the bound (--bounds)")
            continue
        err = res.discretisation_error[k]
        if not math.isfinite(err):
            res.warnings.append(f"{name}: the discretisation error is unknown ({grids.stopped})")
            continue
        iteration = grids.iteration_error[k]
        rel = err / abs(value)
        rel_iteration = iteration / abs(value) if math.isfinite(iteration) else 0.0
        method = grids.extrapolations[k].method if grids.extrapolations else ""
        if grids.target is not None and rel + rel_iteration > grids.target:
            why = f"; {grids.stopped}" if grids.stopped else ""
            res.warnings.append(f"{name} is not determined to {100 * grids.target:g} %: its grid "
                                f"uncertainty is {100 * rel:.2g} % on the finest grid "
                                f"(x{grids.factors[-1]}; {method}) and its iteration error "
                                f"{100 * rel_iteration:.2g} %{why}")
        elif grids.target is None and err > 0.5 * value * math.expm1(res.stat_halfwidth[k]):
            res.warnings.append(f"{name}: the grid moves the estimate by up to {100 * rel:.2g} % "
                                f"({method}), more than half its statistical interval: refine "
                                "(--accuracy 0.01)")
        if (math.isfinite(iteration) and iteration > 0.5 * value * math.expm1(res.stat_halfwidth[k])
                and (grids.target is None or rel_iteration > 0.5 * grids.target)):
            res.warnings.append(f"{name}: the iteration tolerance moves the estimate by "
                                f"{100 * rel_iteration:.2g} %, more than half its statistical "
                                "interval: tighten convtol in PROB.INP")
    if grids.iteration_note:
        res.warnings.append(f"the iteration error is {grids.iteration_note}")
