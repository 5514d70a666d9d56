"""The ``vorda`` command: ``run``, ``runs``, ``inspect`` and ``worker``."""

from __future__ import annotations

import importlib
import sys
from typing import Callable, cast

USAGE = """usage: vorda [--version] COMMAND [ARGS ...]

commands:
  run      discover assets and materialize them, upstream first (vorda run --help)
  runs     list recent runs of a store, or the jobs of one run
  inspect  print the inspection report of modules (python -m vorda.inspect)
  worker   materialize one asset (python -m vorda.worker)
"""


def _delegate(module: str, argv: list[str]) -> int:
    main = cast(Callable[[list[str]], "int | None"], getattr(importlib.import_module(module), "main"))
    return main(argv) or 0


def main(argv: list[str] | None = None) -> int:
    try:
        return _main(sys.argv[1:] if argv is None else argv)
    except KeyboardInterrupt:
        sys.stderr.write("vorda: interrupted\n")
        return 130
    except BrokenPipeError:
        from vorda import _command

        return _command.reader_gone()


def _main(args: list[str]) -> int:
    if not args:
        sys.stderr.write(USAGE)
        return 2
    if args[0] in ("-h", "--help"):
        sys.stdout.write(USAGE)
        return 0
    if args[0] == "--version":
        from vorda import __version__

        print(f"vorda {__version__}")
        return 0
    command, rest = args[0], args[1:]
    if command == "run":
        from vorda.run.cli import run_main

        return run_main(rest)
    if command == "runs":
        from vorda.run.cli import runs_main

        return runs_main(rest)
    if command in ("inspect", "worker"):
        return _delegate(f"vorda.{command}", rest)
    sys.stderr.write(USAGE + f"vorda: error: unknown command {command!r}\n")
    return 2
