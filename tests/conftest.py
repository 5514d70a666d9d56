import contextlib
import importlib
import os
import sys
import tempfile
import textwrap

import pytest


class ModuleDir:
    """A temporary directory on sys.path in which tests write modules."""

    def __init__(self, path):
        self.path = path
        self.names = []

    def write(self, name, source):
        """Write module `name` (dotted names create packages) and return its file."""
        parts = name.split(".")
        folder = self.path
        for package in parts[:-1]:
            folder = folder / package
            folder.mkdir(exist_ok=True)
            init = folder / "__init__.py"
            if not init.exists():
                init.write_text("")
        target = folder / (parts[-1] + ".py")
        target.write_text(textwrap.dedent(source))
        self.names.append(name)
        importlib.invalidate_caches()
        return target


@pytest.fixture
def moddir(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    before = set(sys.modules)
    mods = ModuleDir(tmp_path)
    yield mods
    for name in set(sys.modules) - before:
        module = sys.modules.get(name)
        if getattr(module, "__file__", None) and str(tmp_path) in module.__file__:
            del sys.modules[name]
    importlib.invalidate_caches()


class Fd2Capture:
    text = ""


@contextlib.contextmanager
def fd2_captured():
    """What is written to file descriptor 2 itself while the block runs."""
    captured = Fd2Capture()
    sys.stderr.flush()
    saved = os.dup(2)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield captured
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            sink.seek(0)
            captured.text = sink.read().decode("utf-8")


@pytest.fixture
def fd2():
    """fd2() is a context manager capturing file descriptor 2."""
    return fd2_captured
