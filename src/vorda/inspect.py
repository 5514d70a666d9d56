"""Discovery command: ``python -m vorda.inspect MODULE [MODULE ...]``.

Imports the named modules and prints the inspection report of their assets
(one line of JSON) to standard output. Modules that cannot be imported are
reported on standard error and left out; with ``--strict`` that fails the
command. When the inspection fails, one line on standard error names the
module (and the asset, when it can be told) and the exit status is 1.
"""

# This file shadows the standard `inspect` only for relative imports, which
# the package does not use; `import inspect` elsewhere gets the standard one.
from __future__ import annotations

import argparse
import inspect
import json
import pathlib
import sys
import textwrap
from types import ModuleType

from vorda import _command
from vorda._vorda import inspect_modules

EXIT_STATUSES = """\
  0    the report is on standard output (modules that could not be imported are
       named on standard error and left out, unless --strict)
  1    the inspection failed, or --strict and a module could not be imported;
       nothing is printed on standard output
  2    bad arguments
  130  interrupted
"""

_EMPTY = '{"assets":[]}'
_HEAD = '{"assets":['
_TAIL = "]}"


def _parser(prog: str) -> argparse.ArgumentParser:
    parser = _command.parser(
        prog, "Report the vorda assets of Python modules as one line of JSON.", EXIT_STATUSES
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted name of a module to import and inspect")
    parser.add_argument(
        "--pretty",
        action="store_true",
        help="indent the report for reading (the default is the exact one-line report)",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        help="fail (exit status 1) when a module cannot be imported, instead of leaving it out",
    )
    return parser


def _merge(reports: list[str]) -> str:
    """One report from the reports of single modules, as one call would give."""
    bodies = []
    for report in reports:
        if not (report.startswith(_HEAD) and report.endswith(_TAIL)):
            raise ValueError(f"unexpected report shape: {report[:40]!r}")
        if report != _EMPTY:
            bodies.append(report[len(_HEAD) : -len(_TAIL)])
    return _HEAD + ",".join(bodies) + _TAIL


def _describe_asset(member: object) -> None:
    """Read what the report takes from an asset member; raise where that fails."""
    json.dumps(getattr(member, "__vorda_metadata__"), allow_nan=False)
    try:
        function = getattr(member, "__vorda_original__")
    except BaseException:
        function = member
    if not isinstance(textwrap.dedent(inspect.getsource(function)).strip(), str):
        raise TypeError("source text is not a str")
    if not isinstance(getattr(function, "__name__"), str):
        raise TypeError("__name__ is not a str")
    try:
        source_file = inspect.getsourcefile(function)
    except BaseException:
        source_file = ""
    str(pathlib.Path(source_file).resolve())  # type: ignore[arg-type]
    annotation = inspect.signature(function).return_annotation
    if annotation is not inspect.Signature.empty and not isinstance(annotation, type):
        str(annotation)


def _failing_asset(module: ModuleType | None) -> str | None:
    """The name of the first asset of `module` that cannot be described, if any."""
    if module is None:
        return None
    try:
        members = inspect.getmembers(module)
    except BaseException:
        return None
    for name, member in members:
        try:
            kind = getattr(member, "__vorda_kind__")
        except BaseException:
            continue
        if not isinstance(kind, str) or kind != "asset":
            continue
        try:
            _describe_asset(member)
        except KeyboardInterrupt:
            raise
        except BaseException:
            return name
    return None


def report_failure(prog: str, name: str, error: BaseException) -> None:
    """The error line of a module whose inspection failed, naming the asset
    that could not be described when it can be told."""
    where = f"module {name}"
    asset = _failing_asset(sys.modules.get(name))
    if asset is not None:
        where += f", asset {asset}"
    _command.error(prog, f"{where}: {_command.describe(error)}")


def main(argv: list[str] | None = None, prog: str | None = None) -> int:
    """Run the command with `argv` (default: the process's); return the exit status.

    `prog` names the command in usage and error lines (default: as launched).
    """
    prog = prog or _command.default_prog("inspect")
    args = _parser(prog).parse_args(argv)
    return _command.run_command(prog, lambda: _inspect(prog, args))


def _inspect(prog: str, args: argparse.Namespace) -> int:
    _command.search_working_directory()
    reports = []
    for name in args.modules:
        # One module per call, so a failure can name its module.
        try:
            reports.append(inspect_modules([name]))
        except KeyboardInterrupt:
            raise
        except BaseException as error:  # SystemExit from user code is a failure too
            report_failure(prog, name, error)
            return _command.ExitStatus.FAILED
    if args.strict:
        # A module that failed to import is not left in sys.modules.
        skipped = [name for name in dict.fromkeys(args.modules) if sys.modules.get(name) is None]
        if skipped:
            _command.error(prog, f"--strict: could not import {', '.join(skipped)}")
            return _command.ExitStatus.FAILED
    report = _merge(reports)
    if args.pretty:
        report = json.dumps(json.loads(report), indent=2, ensure_ascii=False, sort_keys=True)
    _command.write_utf8(sys.stdout, report + "\n")
    return _command.ExitStatus.OK

if __name__ == "__main__":
    sys.exit(main())
