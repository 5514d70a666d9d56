"""Discovery stub: ``python -m vorda.inspect MODULE [MODULE ...]``.

Imports the named modules, and prints the inspection report of their assets
(one line of JSON) to standard output. Modules that cannot be imported are
reported on standard error and left out. When the inspection fails the
error is printed on standard error and the exit status is 1.
"""

# This file shadows the standard `inspect` only for relative imports, which
# the package does not use; `import inspect` elsewhere gets the standard one.
import argparse
import json
import os
import sys

from vorda._vorda import inspect_modules

PROG = "vorda.inspect"


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m vorda.inspect",
        description="Report the vorda assets of Python modules as one line of JSON.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted name of a module to import and inspect")
    parser.add_argument(
        "--pretty",
        action="store_true",
        help="indent the report for reading (the default is the exact one-line report)",
    )
    return parser


def _describe(error):
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    # One line, whatever the message holds.
    message = message.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")
    return f"{PROG}: {type(error).__qualname__}: {message}"


def _write(stream, text):
    buffer = getattr(stream, "buffer", None)
    if buffer is not None:
        # Bytes, so the report is UTF-8 whatever the locale says.
        stream.flush()
        buffer.write(text.encode("utf-8"))
        buffer.flush()
    else:
        stream.write(text)
        stream.flush()


def main(argv=None):
    args = _parser().parse_args(argv)
    # User modules are found in the current directory, as with `python -m`.
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)
    try:
        report = inspect_modules(args.modules)
    except KeyboardInterrupt:
        raise
    except BaseException as error:  # SystemExit from user code is a failure too
        print(_describe(error), file=sys.stderr, flush=True)
        return 1
    if args.pretty:
        report = json.dumps(json.loads(report), indent=2, ensure_ascii=False, sort_keys=True)
    _write(sys.stdout, report + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
