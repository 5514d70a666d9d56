"""Every public operation, success and failure paths, repeated: nothing may grow."""

import contextlib
import gc
import json
import os
import sys

import pytest

from vorda._vorda import asset, inspect_modules, materialize_asset, partitions

ROUNDS = 300


def grows(operation):
    """Allocated blocks gained over ROUNDS calls after a warm-up."""
    for _ in range(100):
        operation()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(ROUNDS):
        operation()
    gc.collect()
    return sys.getallocatedblocks() - before


def expect(exc_type, fn, *args, **kwargs):
    def operation():
        try:
            fn(*args, **kwargs)
        except exc_type:
            pass
        else:
            raise AssertionError(f"{fn.__name__} did not raise {exc_type.__name__}")

    return operation


def target(a=1, b=2):
    return a + b


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    folder = tmp_path_factory.mktemp("leakmods")
    (folder / "leak_assets.py").write_text(
        "from vorda import asset, partitions\n\n"
        "@asset(name='n', partitions={'d': partitions(['a', 1, 2.5])})\n"
        "def produce(x=1) -> dict:\n"
        "    return {'x': x}\n\n"
        "@asset()\n"
        "def broken():\n"
        "    raise ValueError('broken \\ud800')\n"
    )
    (folder / "leak_bad_import.py").write_text("raise KeyError('no')\n")
    sys.path.insert(0, str(folder))
    yield folder
    sys.path.remove(str(folder))
    for name in ["leak_assets", "leak_bad_import"]:
        sys.modules.pop(name, None)


@contextlib.contextmanager
def quiet_fd2():
    saved = os.dup(2)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class Mutating(str):
    """An inputs value whose kind lookup grows the dict being walked."""

    target = None

    @property
    def __vorda_kind__(self):
        Mutating.target[len(Mutating.target)] = "x"
        return "no"


def mutating_inputs():
    inputs = {"a": Mutating("x:y")}
    Mutating.target = inputs
    try:
        asset(inputs=inputs)
    except BaseException as error:
        assert type(error).__name__ == "InternalFailure"


def operations(folder):
    wrapper = asset(name="w", inputs={"up": "x:y"}, partitions={"d": partitions([1, "a", None])})(target)
    upstream = asset()(target)
    out = str(folder / "out")
    return {
        # asset and the decorator
        "asset success": lambda: asset(name="n", serializer="s", inputs={"a": "b", "u": upstream})(target),
        "asset positional": expect(TypeError, asset, target),
        "asset unknown keyword": expect(TypeError, asset, nme=1),
        "asset bad name": expect(TypeError, asset, name=3),
        "asset bad inputs": expect(TypeError, asset, inputs=5),
        "asset bad inputs value": expect(TypeError, asset, inputs={"a": 42}),
        "asset bad partitions value": expect(TypeError, asset, partitions={"t": [1]}),
        "asset surrogate name": expect(UnicodeEncodeError, asset, name="\ud800"),
        "asset dict mutated": mutating_inputs,
        "decorator wrong count": expect(TypeError, asset(), target, target),
        # the wrapper
        "wrapper call": lambda: wrapper(1, b=3),
        "wrapper call raising": expect(TypeError, wrapper, 1, 2, 3),
        "wrapper attributes": lambda: (wrapper.__name__, wrapper.__doc__, wrapper.__vorda_original__),
        "wrapper metadata": lambda: wrapper.__vorda_metadata__,
        # partitions
        "partitions success": lambda: partitions(["a", 1, 2.5, None, [1, {"k": "é"}]]),
        "partitions not a list": expect(TypeError, partitions, ("a",)),
        "partitions nan": expect(ValueError, partitions, [1, float("nan")]),
        "partitions surrogate": expect(ValueError, partitions, ["\udc00"]),
        "partitions unencodable": expect(TypeError, partitions, [object()]),
        # materialize
        "materialize success": lambda: materialize_asset("leak_assets", "produce", out, '{"x": 3}'),
        "materialize failed run": expect(SystemExit, materialize_asset, "leak_assets", "broken", out),
        "materialize missing module": expect(SystemExit, materialize_asset, "leak_nothing_here", "f", out),
        "materialize bad kwargs": expect(SystemExit, materialize_asset, "leak_assets", "produce", out, "[1]"),
        "materialize bad argument": expect(TypeError, materialize_asset, "m", "f", 3),
        "materialize mkdir fails": expect(
            FileExistsError, materialize_asset, "m", "f", str(folder / "leak_assets.py")
        ),
        # inspect_modules
        "inspect success": lambda: inspect_modules(["leak_assets"]),
        "inspect skipped module": lambda: inspect_modules(["leak_bad_import"]),
        "inspect built-in module": expect(TypeError, inspect_modules, ["sys"]),
        "inspect bad argument": expect(TypeError, inspect_modules, "leak_assets"),
    }


CASES = sorted(operations(__import__("pathlib").Path(".")).keys())


@pytest.mark.parametrize("case", CASES)
def test_no_growth(case, modules):
    operation = operations(modules)[case]
    # An interpreter cache may grow once inside a window; a leak grows in every one.
    with quiet_fd2():
        gained = min(grows(operation) for _ in range(3))
    assert gained < ROUNDS // 10, f"{case}: {gained} blocks gained over {ROUNDS} calls"


def test_reference_counts_of_arguments_return(modules):
    values = ["a", 1, 2.5]
    # A str made at run time: an interned literal such as "name" is shared with
    # the whole interpreter, whose own use of it would show up here.
    name = "".join(["asset", "-", "name"])
    inputs, parts = {"a": "b"}, {"d": partitions(values)}
    before = [sys.getrefcount(x) for x in (target, values, name, inputs, parts, json)]
    for _ in range(100):
        w = asset(name=name, inputs=inputs, partitions=parts)(target)
        w(1)
        del w
        partitions(values)
        try:
            asset(inputs=inputs, partitions=values)
        except TypeError:
            pass
    gc.collect()
    assert [sys.getrefcount(x) for x in (target, values, name, inputs, parts, json)] == before
