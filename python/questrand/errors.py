"""Exceptions raised by the questrand toolkit.

Every error carries one message that names the file, line or field at fault
and what was expected there.
"""


class QuestrandError(Exception):
    """Base class of every error the toolkit raises on purpose."""


class ProblemFileError(QuestrandError, ValueError):
    """A problem input file that the program could not read either."""


class OutputFileError(QuestrandError, ValueError):
    """An output file of a run that does not have the program's layout."""


class ProgramNotFoundError(QuestrandError, FileNotFoundError):
    """The questrand program could not be located."""


class RunError(QuestrandError, RuntimeError):
    """The program ended with a non-zero exit status.

    Attributes: ``returncode``, ``stderr`` (text), ``stdout`` (text) and
    ``workdir``.
    """

    def __init__(self, message, *, returncode, stderr, stdout="", workdir=None):
        super().__init__(message)
        self.returncode = returncode
        self.stderr = stderr
        self.stdout = stdout
        self.workdir = workdir
