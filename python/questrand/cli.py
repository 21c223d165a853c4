"""Command line: ``python3 -m questrand COMMAND ...``.

Each command lives in a module of this package that defines
``add_parser(subparsers)``: it adds its sub-parser and sets ``func`` (called
with the parsed arguments, returns the exit status).  Adding a command is
one entry in :data:`COMMANDS`; a listed module that is not installed yet is
left out of the help and reported if asked for.
"""

from __future__ import annotations

import argparse
import importlib
import sys

from .errors import QuestrandError

#: Command name -> module of this package that provides it.
COMMANDS = {
    "summary": "summary",
    "plot": "plots",
    "vtk": "vtk",
    "fit": "fit",
    "sweep": "sweep",
    "converge": "converge",
}


def _load(module: str):
    """The command module, or None when it is not part of this installation."""
    name = f"{__package__}.{module}"
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name == name:
            return None
        raise


def build_parser() -> tuple[argparse.ArgumentParser, list]:
    """The parser with every installed command; also the missing commands."""
    parser = argparse.ArgumentParser(prog="questrand", description="Analyse and drive runs of the "
                                     "questrand diffusion-instrument program.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    missing = []
    for command, module_name in COMMANDS.items():
        module = _load(module_name)
        if module is None:
            missing.append(command)
        else:
            module.add_parser(subparsers)
    return parser, missing


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    parser, missing = build_parser()
    if argv and argv[0] in missing:
        print(f"questrand {argv[0]}: this command is not part of this installation "
              f"(module {__package__}.{COMMANDS[argv[0]]} is missing)", file=sys.stderr)
        return 2
    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (QuestrandError, OSError, ValueError) as exc:
        print(f"questrand {args.command}: error: {exc}", file=sys.stderr)
        return 1
