"""Worker command: ``python -m vorda.worker MODULE FUNCTION OUTPUT_DIR``.

Runs one asset and writes its value file (``value.json``, or
``value.<suffix>`` of the asset's format) and ``result.json`` into
OUTPUT_DIR. The keyword arguments come as a JSON object, from ``--inputs``
or from ``--inputs-file`` (``-`` for standard input), and are checked before
anything runs; ``--refs-file`` names stored values passed by reference
(the runner writes it). JSON values go through the engine's
``materialize_asset``; any other format, or an input passed by reference,
is run by ``vorda.materialize`` with the same guarantees.
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import sys
from typing import Any, Callable

import vorda
from vorda import _command, _lifeline, _tracing
from vorda._vorda import materialize_asset

EXIT_STATUSES = """\
  0    the asset ran: OUTPUT_DIR holds its value file and result.json
  1    the asset failed: OUTPUT_DIR/result.json holds the failure record
  2    bad arguments, inputs that are not a JSON object, or an unusable
       output directory: nothing was run or written
  130  interrupted
"""


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = _command.parser(
        prog,
        "Run one asset function and write its value file (value.json, or value.<suffix> of its format) "
        "and result.json into OUTPUT_DIR.",
        EXIT_STATUSES,
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module that defines the asset")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory for the value file and result.json")
    inputs = parser.add_mutually_exclusive_group()
    inputs.add_argument(
        "--inputs", metavar="JSON_TEXT", help="a JSON object whose members are passed as keyword arguments"
    )
    inputs.add_argument(
        "--inputs-file", metavar="PATH", help="read the --inputs JSON text from this file ('-': standard input)"
    )
    parser.add_argument(
        "--refs-file", metavar="PATH", help="a JSON object of stored values passed by reference (written by vorda run)"
    )
    parser.add_argument(
        "--no-flush",
        action="store_true",
        help="leave flushing the two files to disk to the caller, which makes a batch of jobs durable at once "
        "(vorda run does); they are still written whole, by rename",
    )
    return parser


def _json_kind(value: object) -> str:
    if isinstance(value, list):
        return "an array"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    return "a number"


def _inputs(args: argparse.Namespace) -> str | None:
    """The keyword arguments' JSON text, checked to be an object, or None."""
    if args.inputs_file is not None:
        option = "--inputs-file"
        try:
            if args.inputs_file == "-":
                text = sys.stdin.buffer.read().decode("utf-8")
            else:
                text = pathlib.Path(args.inputs_file).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as error:
            raise _command.UsageError(f"argument {option}: cannot read {args.inputs_file}: {error}") from None
    elif args.inputs is not None:
        option, text = "--inputs", args.inputs
    else:
        return None
    try:
        value = json.loads(text)
    except ValueError as error:
        raise _command.UsageError(f"argument {option}: not valid JSON: {error}") from None
    except RecursionError:
        raise _command.UsageError(f"argument {option}: not valid JSON: nested too deeply") from None
    if not isinstance(value, dict):
        raise _command.UsageError(f"argument {option}: expected a JSON object, got {_json_kind(value)}")
    # The engine decodes the same text again; it is passed on unchanged.
    return text


def _failure_detail(result_path: pathlib.Path) -> str:
    """The record's error text, or "" when it cannot be read."""
    try:
        error = json.loads(result_path.read_text(encoding="utf-8"))["error"]
    except (OSError, ValueError, KeyError, TypeError):
        return ""
    return ": " + _command.one_line(error) if isinstance(error, str) else ""


def main(argv: list[str] | None = None, prog: str | None = None) -> int:
    """Run the command with `argv` (default: the process's); return the exit status.

    `prog` names the command in usage and error lines (default: as launched).
    """
    prog = prog or _command.default_prog("worker")
    _lifeline.watch(_lifeline.take())
    args = _parser(prog).parse_args(argv)

    if args.no_flush:
        vorda._defer_flush = True

    def body() -> int:
        # A usage fault names the option; it is one line whatever the text.
        try:
            inputs = _inputs(args)
            refs = _refs(args.refs_file)
        except _command.UsageError as error:
            raise _command.UsageError(_command.one_line(str(error))) from None
        return _materialize(prog, args.module, args.function, args.output_dir, inputs, refs)

    return _command.run_command(prog, body)


def _refs(path: str | None) -> dict[str, Any] | None:
    """The references file's object, or None."""
    if path is None:
        return None
    try:
        refs = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError, ValueError) as error:
        raise _command.UsageError(f"argument --refs-file: cannot read {path}: {error}") from None
    if not isinstance(refs, dict):
        raise _command.UsageError(f"argument --refs-file: expected a JSON object, got {_json_kind(refs)}")
    return refs


def _find(module: str, function: str) -> tuple[object, BaseException | None]:
    """The asset object, or the exception that looking it up raised (the
    failure record names it, as the engine's would)."""
    try:
        return getattr(importlib.import_module(module), function), None
    except KeyboardInterrupt:
        raise
    except BaseException as error:
        _tracing.report(error)
        return None, error


def serializer_of(target: object) -> str | None:
    """The asset's serializer option; None for anything that is not an asset."""
    try:
        name = getattr(target, "__vorda_metadata__")["serializer"]
    except Exception:
        return None
    return name if isinstance(name, str) else None


def run(module: str, function: str, output_dir: str, inputs: str | None, prog: str | None = None,
        refs_file: str | None = None) -> int:
    """Materialize once the arguments are read and checked; the exit status.
    (The runner's fork server calls this directly, without a parser per job.)"""
    prog = prog or _command.default_prog("worker")
    return _command.run_command(
        prog, lambda: _materialize(prog, module, function, output_dir, inputs, _refs(refs_file))
    )


def _materialize(prog: str, module: str, function: str, output_dir: str, inputs: str | None,
                 refs: dict[str, Any] | None = None) -> int:
    _command.search_working_directory()
    target, looking_up = _find(module, function)
    if refs or looking_up is not None or serializer_of(target) not in (None, "json"):
        def other() -> None:
            from vorda import materialize  # tables, arrays, references: not the JSON path's cost

            materialize.materialize(module, function, output_dir, inputs, refs, target, looking_up)

        return _ended(prog, module, function, output_dir, other)
    _tracing.trace(sys.modules[module], function, target)
    return _ended(prog, module, function, output_dir, lambda: materialize_asset(module, function, output_dir, inputs))


class Ready:
    """An asset of the engine's JSON path looked up once, for many jobs
    forked from one process (see `ready`)."""

    __slots__ = ("prog", "module", "function", "holder", "stand_in")

    def __init__(self, prog: str, module: str, function: str, holder: object, stand_in: object) -> None:
        self.prog, self.module, self.function, self.holder, self.stand_in = prog, module, function, holder, stand_in

    def run(self, output_dir: str, inputs: str | None) -> int:
        """What ``run`` does for this asset, minus the lookup; the exit status."""
        _tracing.put(self.holder, self.function, self.stand_in)
        return _command.run_command(self.prog, lambda: _ended(
            self.prog, self.module, self.function, output_dir,
            lambda: materialize_asset(self.module, self.function, output_dir, inputs)))


def ready(module: str, function: str, prog: str | None = None) -> Ready | None:
    """Look up an asset of an imported module once, changing nothing, so
    that each job forked from this process skips the lookup; None for
    anything a job must look up itself (a module not imported, an asset
    that is missing or stored in another format)."""
    _command.search_working_directory()
    try:
        holder = sys.modules[module]
        target = getattr(holder, function)
    except Exception:
        return None
    if serializer_of(target) not in (None, "json"):
        return None
    stand_in = _tracing.stand_in(target)
    if stand_in is None:
        return None
    return Ready(prog or _command.default_prog("worker"), module, function, holder, stand_in)


def _ended(prog: str, module: str, function: str, output_dir: str, body: Callable[[], None]) -> int:
    """Run the asset (`body`); its exit status, and the line that says why it failed."""
    try:
        body()
    except SystemExit as failed:
        result_path = pathlib.Path(output_dir) / "result.json"
        detail = _failure_detail(result_path)
        _command.error(prog, f"asset {module}:{function} failed; see {result_path}{detail}")
        return failed.code if isinstance(failed.code, int) and failed.code != 0 else _command.ExitStatus.FAILED
    except KeyboardInterrupt:
        raise
    except Exception as error:
        _command.error(prog, _command.describe(error))
        return _command.ExitStatus.USAGE
    return _command.ExitStatus.OK


if __name__ == "__main__":
    # Once the files are written the job is over: a thread the asset left
    # running must not hold the process (as a forked job's child ends).
    _command.exit_now(main())
