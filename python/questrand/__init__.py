"""questrand: drive and analyse runs of the questrand diffusion-instrument program.

The names below are loaded when first used, so that importing one module
of the package (``questrand.runner`` in a sweep's job, ``questrand.cli``
for a command) loads only what that module needs: numpy and pandas come
with the results, not with ``import questrand``.  A submodule is also
reachable as an attribute (``questrand.flow``) without importing it first.
"""

from __future__ import annotations

import importlib

#: Public name -> the module of this package that defines it.
_EXPORTS = {
    "Problem": "problem",
    "QuestrandError": "errors", "ProblemFileError": "errors", "OutputFileError": "errors",
    "ProgramNotFoundError": "errors", "RunError": "errors",
    "Grid": "grid", "Layer": "grid", "Probe": "grid",
    "Fields": "results", "Run": "results", "StepField": "results", "read_run": "results",
    "find_program": "runner", "run": "runner",
    "FlowError": "flow", "FlowMode": "flow",
}

__all__ = list(_EXPORTS)


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is not None:
        value = getattr(importlib.import_module(f".{module}", __name__), name)
    else:
        try:
            value = importlib.import_module(f".{name}", __name__)
        except ModuleNotFoundError as exc:
            if exc.name != f"{__name__}.{name}":
                raise
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from None
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
