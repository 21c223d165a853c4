"""questrand: drive and analyse runs of the questrand diffusion-instrument program."""

from .errors import (OutputFileError, ProblemFileError, ProgramNotFoundError, QuestrandError,
                     RunError)
from .problem import Problem

__all__ = ["Problem", "QuestrandError", "ProblemFileError", "OutputFileError",
           "ProgramNotFoundError", "RunError"]

from .grid import Grid, Layer, Probe  # noqa: E402
from .results import Fields, Run, StepField, read_run  # noqa: E402
from .runner import find_program, run  # noqa: E402

__all__ += ["Grid", "Layer", "Probe", "Fields", "Run", "StepField", "read_run",
            "find_program", "run"]

from .flow import FlowError, FlowMode  # noqa: E402

__all__ += ["FlowError", "FlowMode"]
