"""Materialize one asset: ``python -m vorda.worker MODULE FUNCTION OUTPUT_DIR``.

Writes ``value.json`` and ``result.json`` into OUTPUT_DIR. Exit status 0
means the run succeeded, 1 that it failed (``result.json`` holds the
failure record), 2 that the arguments or the output directory were
unusable and nothing was written.
"""

import argparse
import json
import os
import pathlib
import sys

from vorda._vorda import materialize_asset

PROG = "vorda.worker"


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m vorda.worker",
        description="Run one asset function and write value.json and result.json into OUTPUT_DIR.",
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the module that defines the asset")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory for value.json and result.json")
    inputs = parser.add_mutually_exclusive_group()
    inputs.add_argument(
        "--inputs", metavar="JSON_TEXT", help="a JSON object whose members are passed as keyword arguments"
    )
    inputs.add_argument("--inputs-file", metavar="PATH", help="read the --inputs JSON text from this file")
    return parser


def _one_line(text):
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def _failure_detail(result_path):
    """The record's error text, or "" when it cannot be read."""
    try:
        error = json.loads(result_path.read_text(encoding="utf-8"))["error"]
    except (OSError, ValueError, KeyError, TypeError):
        return ""
    return ": " + _one_line(error) if isinstance(error, str) else ""


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)

    inputs = args.inputs
    if args.inputs_file is not None:
        try:
            inputs = pathlib.Path(args.inputs_file).read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as error:
            parser.error(f"cannot read --inputs-file {args.inputs_file}: {error}")

    return run(args.module, args.function, args.output_dir, inputs)


def run(module: str, function: str, output_dir: str, inputs: "str | None") -> int:
    """Materialize once the arguments are read; the exit status. (The runner's
    fork server calls this directly, without building the parser per job.)"""
    # User modules live under the working directory, as with `python -m`.
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)

    try:
        materialize_asset(module, function, output_dir, inputs)
    except SystemExit as failed:
        result_path = pathlib.Path(output_dir) / "result.json"
        detail = _failure_detail(result_path)
        print(
            f"{PROG}: asset {module}:{function} failed; see {result_path}{detail}",
            file=sys.stderr,
        )
        return failed.code if isinstance(failed.code, int) and failed.code != 0 else 1
    except Exception as error:
        print(f"{PROG}: {type(error).__name__}: {_one_line(str(error))}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
