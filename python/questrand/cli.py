"""Command line: ``python3 -m questrand COMMAND ...``, and ``questrand-COMMAND
...`` (the console scripts of an installed package, :func:`tool_main`).

Each command lives in a module of this package that defines
``add_parser(subparsers)``: it adds its sub-parser and sets ``func`` (called
with the parsed arguments, returns the exit status).  Adding a command is
one entry in :data:`COMMANDS` (its module and a line of help).  Only the
module of the command that runs is imported, so a command never needs the
packages of another (the fit runs without meshio, which only ``vtk`` needs);
a package a command needs and the machine lacks is named in one line.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import traceback

from . import interrupts
from .errors import QuestrandError
from .options import UsageError

#: Set to a non-empty value to see the traceback of an unexpected error.
TRACEBACK_ENV = "QUESTRAND_TRACEBACK"

#: Command name -> (module of this package that provides it, one line of help).
COMMANDS = {
    "summary": ("summary", "what a run directory holds: problem, histories, final amounts"),
    "plot": ("plots", "plots of a run: uptake, probes, concentration map, profiles, residuals"),
    "vtk": ("vtk", "the fields of a run as ParaView files"),
    "fit": ("fit", "fit reals of a problem (diffusivities, ...) to a measured curve"),
    "posterior": ("posterior", "sample the posterior of a fit's parameters (ensemble MCMC)"),
    "sweep": ("sweep", "run a problem over a table or grid of values (Snakemake)"),
    "converge": ("converge", "run a problem on refined grids and estimate its discretisation error"),
    "design": ("design", "rank candidate experiments by how well they would measure the parameters"),
    "netcdf": ("netcdf", "a run as one NetCDF file: fields, layers, histories, problem values"),
}
#: Python module -> the Debian package that provides it.
DEBIAN_PACKAGES = {"numpy": "python3-numpy", "scipy": "python3-scipy", "matplotlib": "python3-matplotlib",
                   "meshio": "python3-meshio", "pandas": "python3-pandas", "xarray": "python3-xarray",
                   "netCDF4": "python3-netcdf4", "emcee": "python3-emcee", "snakemake": "snakemake"}


class MissingPackage(QuestrandError):
    """A package a command needs is not installed."""


def _load(command: str):
    """The module of ``command``; None when it is not part of this
    installation; :class:`MissingPackage` when a package it needs is missing."""
    name = f"{__package__}.{COMMANDS[command][0]}"
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name == name:
            return None
        top = (exc.name or "").split(".")[0]
        package = DEBIAN_PACKAGES.get(top, f"the package of the module {top}")
        raise MissingPackage(f"needs the Python module {top}: install Debian's {package} "
                             "(and run /usr/bin/python3)") from None


def build_parser(command=None) -> tuple[argparse.ArgumentParser, list]:
    """The parser: with ``command``, that command's full sub-parser (its
    module imported); without, every command by name and help line only."""
    parser = argparse.ArgumentParser(prog="questrand", description="Analyse and drive runs of the "
                                     "questrand diffusion-instrument program.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    missing = []
    for name, (_, help_line) in COMMANDS.items():
        if name != command:
            subparsers.add_parser(name, help=help_line, add_help=False)
            continue
        module = _load(name)
        if module is None:
            missing.append(name)
        else:
            module.add_parser(subparsers)
    return parser, missing


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    try:
        return _main(argv)
    except KeyboardInterrupt:  # before the command started (loading its modules)
        command = f"questrand {argv[0]}" if argv and not argv[0].startswith("-") else "questrand"
        print(f"{command}: interrupted; nothing done", file=sys.stderr)
        return interrupts.EXIT_STATUS


def tool_main() -> int:
    """``questrand-COMMAND ARGS``: ``main([COMMAND, *ARGS])``, the command taken
    from the name the program was started by (the console scripts of an
    installed package)."""
    me = os.path.basename(sys.argv[0])
    command = me[len("questrand-"):] if me.startswith("questrand-") else ""
    if not command:
        print(f"{me}: install this program as questrand-COMMAND (COMMAND one of "
              f"{', '.join(COMMANDS)}); the command is taken from its name", file=sys.stderr)
        return 2
    if command not in COMMANDS:
        print(f"{me}: the command {command} is not part of this installation "
              f"(the commands: {', '.join(COMMANDS)})", file=sys.stderr)
        return 2
    return main([command, *sys.argv[1:]])


def _main(argv) -> int:
    command = argv[0] if argv and argv[0] in COMMANDS else None
    try:
        parser, missing = build_parser(command)
    except MissingPackage as exc:
        print(f"questrand {command}: error: {exc}", file=sys.stderr)
        return 1
    if command in missing:
        print(f"questrand {command}: this command is not part of this installation "
              f"(module {__package__}.{COMMANDS[command][0]} is missing)", file=sys.stderr)
        return 2
    args = parser.parse_args(argv)
    return run_command(args)


def run_command(args) -> int:
    """Run a parsed command; every outcome is an exit status and at most one
    line on standard error.

    0 success, 1 an error (a file that cannot be read or written, a run or
    fit that cannot be made, a fault of the toolkit), 2 an option given a
    value it cannot take (:class:`~questrand.options.UsageError`, as
    argparse's own usage errors), 3 a result that is not trustworthy (a fit
    that did not converge), 130 interrupted.
    """

    prefix = f"questrand {args.command}"
    try:
        sys.stderr.reconfigure(errors="backslashreplace")
    except (AttributeError, ValueError):
        pass
    try:
        with interrupts.handling():
            try:
                return args.func(args)
            except KeyboardInterrupt:
                raise interrupts.Interrupted("interrupted") from None
    except BrokenPipeError:  # the reader of the output went away (| head): nothing to say
        try:  # and nothing left to flush at exit
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 1
    except interrupts.Interrupted as exc:
        print(f"{prefix}: {one_line(exc)}", file=sys.stderr)
        return interrupts.EXIT_STATUS
    except UsageError as exc:
        print(f"{prefix}: error: {one_line(exc)}", file=sys.stderr)
        return 2
    except (QuestrandError, OSError, UnicodeError, ValueError, MemoryError) as exc:
        if os.environ.get(TRACEBACK_ENV):
            traceback.print_exc()
        print(f"{prefix}: error: {one_line(exc)}", file=sys.stderr)
        return 1
    except Exception as exc:  # a fault of the toolkit itself
        if os.environ.get(TRACEBACK_ENV):
            traceback.print_exc()
        print(f"{prefix}: internal error: {type(exc).__name__}: {one_line(exc)} "
              f"(set {TRACEBACK_ENV}=1 to see where; please report it)", file=sys.stderr)
        return 1


def one_line(exc: BaseException) -> str:
    """The message of ``exc`` on one line; an OSError as 'FILE: reason'."""
    if isinstance(exc, OSError) and not isinstance(exc, QuestrandError) and exc.strerror:
        names = [str(n) for n in (exc.filename, exc.filename2) if n is not None]
        return ": ".join([" -> ".join(names), exc.strerror] if names else [exc.strerror])
    parts = [line.strip() for line in str(exc).splitlines() if line.strip()]
    return "; ".join(parts) if parts else type(exc).__name__
