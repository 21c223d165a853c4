"""The weighted residuals of a fit and their Jacobian in the log-parameters."""

from __future__ import annotations

import math

import numpy as np

from .data import FLAT_TOLERANCE, Data, FitError
from .model import Model


class _Objective:
    """Weighted residuals and their Jacobian in the log-parameters."""

    def __init__(self, model: Model, data: Data, step: float):
        self.model = model
        self.data = data
        # The search sees residuals of order one: in units of sigma, or else
        # relative to the data's largest value (scipy's tolerances are
        # absolute; an uptake of 1e-6 would otherwise look converged at once).
        # ``unit`` converts them back for the reported sums and intervals.
        if data.sigma is not None:
            self.unit = 1.0
            self.weight = 1.0 / data.sigma
        else:
            self.unit = float(np.max(np.abs(data.value))) or 1.0
            self.weight = np.full(len(data), 1.0 / self.unit)
        self.h = math.log1p(step)
        self.upper = np.array([math.log(p.high) for p in model.params])
        self.checked = False
        self.last_jac = None

    def predictions(self, thetas) -> list:
        curves = self.model.curves([np.exp(t) for t in thetas])
        return [self._at_data(times, values) for times, values in curves]

    def _at_data(self, times, values):
        t = self.data.time
        span = max(times[-1] - times[0], abs(times[-1]), 1e-300)
        slack = 1e-6 * span
        outside = (t < times[0] - slack) | (t > times[-1] + slack)
        if np.any(outside):
            bad = t[outside][0]
            line = self.data.line_of(int(np.argmax(outside)))
            if self.data.axis == "depth":
                raise FitError(f"{self.data.path}: line {line}: depth {bad:g} m lies outside the gel "
                               f"(0 to {times[-1]:g} m below its face)")
            where = (f"before its first step at {times[0]:g}" if bad < times[0]
                     else f"after its last step at {times[-1]:g}")
            raise FitError(f"{self.data.path}: line {line}: time {bad:g} lies outside the run, "
                           f"{where} (dt = {self.model.problem.dt:g}, "
                           f"nsteps = {self.model.problem.nsteps})")
        return np.interp(t, times, values)

    def residuals(self, theta):
        (y,) = self.predictions([theta])
        return (y - self.data.value) * self.weight

    def jacobian(self, theta, fixed=None):
        """Forward differences of the residuals in the free log-parameters
        (all but those in ``fixed``), the columns run in parallel."""
        theta = np.asarray(theta, dtype=float)
        free = [k for k in range(len(theta)) if not fixed or k not in fixed]
        points = [theta]
        steps = []
        for k in free:
            h = self.h if theta[k] + self.h <= self.upper[k] else -self.h
            point = theta.copy()
            point[k] += h
            points.append(point)
            steps.append(h)
        y = self.predictions(points)
        jac = np.column_stack([(y[i + 1] - y[0]) / steps[i] for i in range(len(free))])
        if not self.checked:
            self._check_flat(y[0], jac, free)
            self.checked = True
        if not fixed:
            self.last_jac = (theta.copy(), jac)
        return jac * self.weight[:, None]

    def _check_flat(self, y, jac, free):
        scale = max(float(np.max(np.abs(y))), float(np.max(np.abs(self.data.value))))
        for col, k in enumerate(free):
            move = float(np.max(np.abs(jac[:, col]))) * self.h
            if not move > FLAT_TOLERANCE * self.h * scale:
                name = self.model.params[k].name
                raise FitError(f"{self.data.observable} does not depend on {name} in this run "
                               f"(a {100 * math.expm1(self.h):.2g} % change of {name} moves it by "
                               f"{move:.2g}, against values up to {scale:.3g})")

