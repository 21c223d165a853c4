"""Fitting reals of a problem to a measured curve (``questrand fit``).

A measured curve is a CSV file with a ``time`` column and one observable
column named like a column the program writes: a monitor probe
(``C(FlStr)`` .. ``C(GelEnd)``) or a column of the uptake file (``m_gel``,
``c_gel_mean``, ...); an optional ``sigma`` column gives each point's
standard deviation.

:func:`fit` adjusts the chosen reals of a base :class:`~questrand.Problem`
(``diff_gel``, ``diff_memb``, ...) by least squares on their logarithms
(``scipy.optimize.least_squares``).  Each model evaluation is one run of the
program in its own scratch directory; the columns of the finite-difference
Jacobian are run in parallel processes, and a parameter set that comes back
reuses its earlier run.  The model curve is interpolated linearly in time
to the data times.

Uncertainty: the covariance of the log-parameters is ``s^2 (J^T J)^-1``
with ``J`` the Jacobian of the (weighted) residuals at the optimum and
``s^2`` the residual variance ``RSS / (n - p)`` (or 1 when the data give
``sigma``).  The 95 % interval is ``exp(log p +- t se)`` with the
t-quantile for ``n - p`` degrees of freedom, so it is symmetric in the
logarithm; the standard error reported is ``p * se`` (first order).  The
optional profile-likelihood interval holds the values of one parameter,
the others refitted, whose residual sum stays below
``RSS_min (1 + t^2 / (n - p))`` (or ``chi2_min + t^2`` with ``sigma``).

The package by concern: :mod:`.data` (the measured curve), :mod:`.parameters`
(the fitted reals), :mod:`.model` (the program runs), :mod:`.objective` (the
residuals and their Jacobian), :mod:`.estimate` (:func:`fit` and the
profiles), :mod:`.result` (:class:`FitResult`), :mod:`.report` (the table
and the plot) and :mod:`.command` (``questrand fit``).
"""

import sys
import types

# Every name of the former single module, the private ones too, stays importable from here.
from .command import _main, add_parser  # noqa: F401
from .data import (DEFAULT_DECADES, DEFAULT_STEP, FLAT_TOLERANCE, OBSERVABLES,  # noqa: F401
                   UPTAKE_OBSERVABLES, Data, FitError, read_data)
from .estimate import _profile, fit  # noqa: F401
from .joint import Experiment, experiment, fit_experiments, format_joint, plot_joint  # noqa: F401
from .model import Model, _f32, _model_run  # noqa: F401
from .objective import _Objective  # noqa: F401
from .parameters import Parameter, make_parameters, parse_bounds, real_fields  # noqa: F401
from .report import _FLOW_TEXT, _interval, format_result, plot_fit  # noqa: F401
from .result import FitResult, _grid_warnings, _num  # noqa: F401

__all__ = ["Experiment", "experiment", "fit_experiments", "FitError", "Data", "read_data", "OBSERVABLES", "UPTAKE_OBSERVABLES", "DEFAULT_DECADES",
           "DEFAULT_STEP", "FLAT_TOLERANCE", "Parameter", "real_fields", "parse_bounds",
           "make_parameters", "Model", "FitResult", "fit", "format_result", "plot_fit", "add_parser"]


class _CallablePackage(types.ModuleType):
    """``questrand.fit(...)``: the package called as its fit: with
    ``experiments=[...]`` (and ``params=[...]``) the joint fit
    (:func:`fit_experiments`), else :func:`fit` (problem, data, names)."""

    def __call__(self, *args, experiments=None, params=None, **kwargs):
        if experiments is not None:
            return fit_experiments(experiments, params if params is not None else args[0], **kwargs)
        if params is not None:
            kwargs["names"] = params
        return fit(*args, **kwargs)


sys.modules[__name__].__class__ = _CallablePackage
