"""Where an asset failed, for the job's log: the full traceback as Python
prints it, and one line naming the place in the user's own code.

The engine records a failure as one line with no traceback; the worker
prints the traceback to its standard error (the job's log) before the
engine sees the exception, and the runner reads the "raised at" line.
"""

from __future__ import annotations

import functools
import os
import sys
from types import TracebackType
from typing import Any, Callable

# sysconfig and traceback are imported only once something failed: every
# job imports this module, few fail.

RAISED_AT = "vorda worker: raised at "

_PACKAGE = os.path.dirname(os.path.abspath(__file__))


def _not_users() -> tuple[str, ...]:
    """Where code that is not the user's lives: vorda itself, the standard
    library, installed packages."""
    import sysconfig

    places = {_PACKAGE + os.sep}
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        path = sysconfig.get_paths().get(key)
        if path:
            places.add(os.path.abspath(path) + os.sep)
    return tuple(places)


def _shown(path: str) -> str:
    """A file as users know it: relative to the search path folder it is in."""
    best = path
    for folder in sys.path:
        if not folder:
            folder = os.getcwd()
        folder = os.path.abspath(folder) + os.sep
        if path.startswith(folder) and len(path) - len(folder) < len(best):
            best = path[len(folder):]
    return best


def raised_at(error: BaseException) -> str | None:
    """``path:line in function`` of the deepest frame of the user's own code."""
    found = None
    others = _not_users()
    tb: TracebackType | None = error.__traceback__
    while tb is not None:
        path = os.path.abspath(tb.tb_frame.f_code.co_filename)
        if not path.startswith(others) and not tb.tb_frame.f_code.co_filename.startswith("<"):
            found = f"{_shown(path)}:{tb.tb_lineno} in {tb.tb_frame.f_code.co_name}"
        tb = tb.tb_next
    return found


def report(error: BaseException, skip: int = 0) -> None:
    """Print the traceback (without its first `skip` frames, vorda's own)
    and the line naming where the user's code raised it; nothing for an
    error that no code of the user's raised (an input vorda could not load:
    the record says it all)."""
    if raised_at(error) is None:
        return
    import traceback

    try:
        tb = error.__traceback__
        for _ in range(skip):
            if tb is not None and tb.tb_next is not None:
                tb = tb.tb_next
        # As Python's own report of a failed import: from the user's first frame.
        first = tb
        others = _not_users()
        while first is not None and (os.path.abspath(first.tb_frame.f_code.co_filename).startswith(others)
                                     or first.tb_frame.f_code.co_filename.startswith("<frozen")):
            first = first.tb_next
        traceback.print_exception(type(error), error, first or tb, file=sys.stderr)
        where = raised_at(error)
        if where is not None:
            print(RAISED_AT + where, file=sys.stderr)
        sys.stderr.flush()
    except Exception:
        pass  # the record still says what failed


class _Traced:
    """Stands for an asset under its module attribute while the engine runs
    it: the same function as __vorda_original__, whose failures are reported
    first. Its signature is the function's (functools.wraps)."""

    def __init__(self, original: Callable[..., Any]) -> None:
        @functools.wraps(original)
        def traced(*args: Any, **kwargs: Any) -> Any:
            try:
                return original(*args, **kwargs)
            except BaseException as error:
                report(error, skip=1)
                raise

        self.__vorda_original__ = traced


def stand_in(target: object) -> object | None:
    """A reporting stand-in for the asset `target`; None when it cannot
    have one (the engine says what is wrong with it)."""
    try:
        original = getattr(target, "__vorda_original__")
    except Exception:
        original = target
    return _Traced(original) if callable(original) else None


def trace(module: object, function: str, target: object) -> None:
    """Put a reporting stand-in for the asset `target` under its module
    attribute; leave everything as it is if that cannot be done."""
    put(module, function, stand_in(target))


def put(module: object, function: str, made: object | None) -> None:
    """Put the stand-in `made` (if any) under the module attribute; the job
    runs without its report where that cannot be done."""
    if made is None:
        return
    try:
        setattr(module, function, made)
    except Exception:
        pass
