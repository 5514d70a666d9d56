"""The ``vorda`` command: ``run``, ``runs``, ``inspect`` and ``worker``."""

from __future__ import annotations

import importlib
import sys
from typing import Callable, cast

from vorda import _command

USAGE = """usage: vorda [--version] COMMAND [ARGS ...]

commands:
  run      discover assets and materialize them, upstream first (vorda run --help)
  runs     list recent runs of a store, or the jobs of one run
  logs     print the logs of a run's jobs
  why      tell how the current value of an asset's partition was made
  gc       remove kept values and history that are no longer needed
  ui       serve a web page over a store: the asset graph, partitions, runs and logs
  inspect  print the inspection report of modules (python -m vorda.inspect)
  worker   materialize one asset (python -m vorda.worker)
"""

# command -> (module, its main)
COMMANDS = {
    "run": ("vorda.run.cli", "run_main"),
    "runs": ("vorda.run.cli", "runs_main"),
    "logs": ("vorda.run.cli", "logs_main"),
    "why": ("vorda.run.cli", "why_main"),
    "gc": ("vorda.run.cli", "gc_main"),
    "ui": ("vorda.ui.cli", "ui_main"),
    "inspect": ("vorda.inspect", "main"),
    "worker": ("vorda.worker", "main"),
}


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    return _command.run_command("vorda", lambda: _dispatch(args))


def _dispatch(args: list[str]) -> int:
    if not args:
        sys.stderr.write(USAGE)
        return _command.ExitStatus.USAGE
    if args[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return _command.ExitStatus.OK
    if args[0] == "--version":
        from vorda import __version__

        print(f"vorda {__version__}")
        return _command.ExitStatus.OK
    command, rest = args[0], args[1:]
    if command not in COMMANDS:
        sys.stderr.write(USAGE + f"vorda: error: unknown command {command!r}\n")
        return _command.ExitStatus.USAGE
    module, name = COMMANDS[command]
    entry = cast(Callable[[list[str]], "int | None"], getattr(importlib.import_module(module), name))
    return entry(rest) or 0
