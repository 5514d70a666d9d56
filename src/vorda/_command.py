"""What the package's commands share: the parser, exit statuses, error
lines, Ctrl-C and a closed output. Every command's ``main`` goes through
``run_command``."""

from __future__ import annotations

import argparse
import enum
import os
import signal
import sys
from pathlib import Path
from typing import Callable, NoReturn, TextIO

from vorda import __version__


class ExitStatus(enum.IntEnum):
    """What every command's exit status means, as its help lists it."""

    OK = 0
    FAILED = 1
    USAGE = 2  # bad arguments, or a fault found before anything ran
    INTERRUPTED = 130


class UsageError(Exception):
    """A fault the command names before it has run anything: the message is
    shown as one ``prog: error:`` line and the status is 2."""


class Interrupted(KeyboardInterrupt):
    """A signal other than SIGINT that a command treats as Ctrl-C."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def raise_interrupted(signum: int, frame: object) -> None:
    """A signal handler: the signal becomes an ``Interrupted``."""
    raise Interrupted(signum)


def run_command(prog: str, body: Callable[[], int]) -> int:
    """Run a command's body; usage faults, Ctrl-C and a closed standard
    output end it the same way for every command."""
    try:
        return body()
    except UsageError as failure:
        error(prog, str(failure))
        return ExitStatus.USAGE
    except KeyboardInterrupt as stop:
        return interrupted(prog, stop.signum if isinstance(stop, Interrupted) else signal.SIGINT)
    except BrokenPipeError:
        return reader_gone()


def default_prog(command: str) -> str:
    """How the user called `command`: ``vorda <command>`` under the ``vorda``
    command (script or ``python -m vorda``), else ``python -m vorda.<command>``."""
    launched = Path(sys.argv[0]) if sys.argv and sys.argv[0] else Path()
    if launched.name == "vorda" or (launched.name == "__main__.py" and launched.parent.name == "vorda"):
        return f"vorda {command}"
    return f"python -m vorda.{command}"


def parser(prog: str, description: str, exit_statuses: str) -> argparse.ArgumentParser:
    """An argument parser with ``--version`` and the exit statuses after the options."""
    made = argparse.ArgumentParser(
        prog=prog,
        description=description,
        epilog="exit status:\n" + exit_statuses,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    made.add_argument("--version", action="version", version=f"vorda {__version__}")
    return made


def whole_number(least: int, most: int | None, expected: str) -> Callable[[str], int]:
    """An argparse type: a whole number from `least` to `most` (no limit:
    None); else the error says what was `expected`."""

    def parse(text: str) -> int:
        try:
            number = int(text)
        except ValueError:
            number = least - 1
        if number < least or (most is not None and number > most):
            raise argparse.ArgumentTypeError(f"expected {expected}, got {text!r}")
        return number

    return parse


def one_line(text: str) -> str:
    """`text` with backslashes and line breaks escaped, so a message stays one line."""
    return text.replace("\\", "\\\\").replace("\r", "\\r").replace("\n", "\\n")


def describe(error: BaseException) -> str:
    """``Type: message`` on one line, whatever ``str()`` of the error does."""
    try:
        message = str(error)
    except Exception:
        message = "<exception str() failed>"
    return f"{type(error).__qualname__}: {one_line(message)}"


def error(prog: str, message: str) -> None:
    """One error line on standard error, in argparse's ``prog: error: ...`` form."""
    print(f"{prog}: error: {message}", file=sys.stderr, flush=True)


def interrupted(prog: str, signum: int = signal.SIGINT) -> int:
    """After Ctrl-C: one line, then end as Python itself does on an unhandled
    KeyboardInterrupt, by SIGINT, so a calling shell or loop sees the interrupt
    (status 130 in a shell). Returns 130 where the signal cannot be re-raised
    (for instance when SIGINT is ignored), and for the other signals a command
    takes as an interruption (SIGTERM, SIGHUP), which it survives to report."""
    error(prog, "interrupted")
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass
    if signum == signal.SIGINT:
        try:
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGINT)
        except (OSError, ValueError):  # ValueError: not the main thread
            pass
    return ExitStatus.INTERRUPTED


def reader_gone() -> int:
    """After standard output's reader went away (``vorda runs | head``): the
    rest of the output goes nowhere, quietly, and the status is 1."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
    return ExitStatus.FAILED


def exit_now(status: int) -> NoReturn:
    """Flush standard output and error, then end the process with `status`
    at once, without waiting for threads or running exit handlers."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except BaseException:
            pass
    os._exit(status)


def search_working_directory() -> None:
    """Let modules in the working directory import, as ``python -m`` does."""
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)


def tolerant_stdout() -> None:
    """Standard output writes what the locale's encoding cannot show as
    escapes (as standard error does), not a traceback: a partition key may
    be any text."""
    reconfigure = getattr(sys.stdout, "reconfigure", None)
    if reconfigure is not None and sys.stdout.errors in ("strict", "surrogateescape"):
        reconfigure(errors="backslashreplace")


def write_utf8(stream: TextIO, text: str) -> None:
    """Write `text` as UTF-8 whatever the locale's encoding."""
    buffer = getattr(stream, "buffer", None)
    if buffer is not None:
        stream.flush()
        buffer.write(text.encode("utf-8"))
        buffer.flush()
    else:
        stream.write(text)
        stream.flush()
