"""Every public function called with arbitrary arguments: the only outcomes
are a documented result or TypeError, ValueError, RuntimeError and the
interpreter's own exceptions (SystemExit from a failed materialization,
OSError from creating its directory). Where the outcome can be predicted
from the arguments, it is.

Module names come from a namespace that does not exist (or name one
generated module), and output directories are relative to a temporary
working directory, so no real module is imported and nothing is written
outside it."""

import contextlib
import inspect
import json
import math
import os
import sys

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import vorda._vorda as native
from vorda._vorda import Partitions, asset, inspect_modules, materialize_asset, partitions

PROPERTY = settings(
    max_examples=250,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

ABSENT = "_vorda_absent_namespace_"
REAL = "_vorda_property_assets"
REAL_SOURCE = """\
from vorda import asset, partitions

@asset(name="fixed", partitions={"d": partitions(["a", 1])})
def fixed() -> list:
    return [1, "é"]

@asset(inputs={"up": fixed})
def echo(**kwargs):
    return kwargs
"""
INPUTS_MESSAGE = "inputs values must be @asset-decorated functions or asset ref strings"
PARTITIONS_MESSAGE = "partition values must be partitions([...]) instances"


def upstream():
    pass


UPSTREAM = asset()(upstream)
UPSTREAM_REF = f"{os.path.realpath(__file__)}:upstream"


@pytest.fixture(scope="module", autouse=True)
def sandbox(tmp_path_factory):
    """A module `REAL` on sys.path and a scratch working directory."""
    folder = tmp_path_factory.mktemp("property_modules")
    (folder / f"{REAL}.py").write_text(REAL_SOURCE)
    work = tmp_path_factory.mktemp("property_work")
    sys.path.insert(0, str(folder))
    cwd = os.getcwd()
    os.chdir(work)
    try:
        yield work
    finally:
        os.chdir(cwd)
        sys.path.remove(str(folder))
        sys.modules.pop(REAL, None)


@contextlib.contextmanager
def quiet_fd2(chunks):
    """Collects what is written to file descriptor 2 into `chunks`."""
    sys.stderr.flush()
    saved = os.dup(2)
    read_end, write_end = os.pipe()
    os.dup2(write_end, 2)
    os.close(write_end)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        with os.fdopen(read_end, "rb") as pipe:
            chunks.append(pipe.read().decode("utf-8"))


# ---- Strategies ----------------------------------------------------------------------------


def mostly(strategy, other, times=5):
    """`strategy`, and one time in `times + 1` `other`."""
    return st.integers(0, times).flatmap(lambda i: other if i == 0 else strategy)


# Any text, one in six with a lone surrogate in it.
all_characters = st.characters(exclude_categories=())
any_text = mostly(
    st.text(all_characters, max_size=12),
    st.tuples(st.text(all_characters, max_size=5), st.characters(categories=["Cs"]), st.text(max_size=5)).map("".join),
)
# Texts that can be imported as nothing: their first package does not exist.
absent_names = any_text.map(lambda s: ABSENT + "." + s)
module_names = st.one_of(absent_names, st.just(REAL))
output_dirs = st.text(st.characters(exclude_categories=(), exclude_characters="/"), max_size=300).map(
    lambda s: "out_" + s
)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.sampled_from([2**64, -(2**63) - 1, 10**309, -(10**400)]),
    st.floats(allow_nan=True, allow_infinity=True),
    any_text,
)
json_keys = st.one_of(any_text, st.integers(-5, 5), st.floats(allow_nan=True), st.booleans(), st.none())
json_like = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(json_keys, inner, max_size=4),
    ),
    max_leaves=12,
)
# Objects json.dumps refuses, alone or inside containers.
unencodable = st.one_of(st.binary(max_size=3), st.sets(st.integers(), max_size=2), st.builds(object))
anything = st.recursive(
    st.one_of(scalars, unencodable, st.just(UPSTREAM)),
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.tuples(inner),
        st.dictionaries(st.one_of(any_text, st.integers(), st.tuples(st.integers())), inner, max_size=3),
    ),
    max_leaves=8,
)
# Values that are harmless in any parameter of any function.
argument_values = st.one_of(
    absent_names.map(lambda s: s.replace("/", "")), st.integers(), st.none(), st.lists(absent_names, max_size=2)
)


def approx_equal(actual, expected):
    """JSON values equal up to the reader's float rounding and integer overflow."""
    if isinstance(expected, bool) or expected is None or isinstance(expected, str):
        return actual == expected and type(actual) is type(expected)
    if isinstance(expected, (int, float)):
        if isinstance(actual, bool) or not isinstance(actual, (int, float)):
            return False
        if isinstance(expected, int) and isinstance(actual, int):
            return actual == expected
        return math.isclose(actual, expected, rel_tol=1e-14, abs_tol=0.0) or actual == expected
    if isinstance(expected, list):
        return isinstance(actual, list) and len(actual) == len(expected) and all(map(approx_equal, actual, expected))
    return (
        isinstance(actual, dict)
        and sorted(actual) == sorted(expected)
        and all(approx_equal(actual[k], expected[k]) for k in expected)
    )


def readable(value):
    """Whether the reader accepts what json.dumps wrote for `value`, which
    Python's own json.loads has read back as `value`."""
    if isinstance(value, float):
        return math.isfinite(value)
    if isinstance(value, int) and not isinstance(value, bool):
        return abs(value) < 10**308
    if isinstance(value, str):
        return not any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, list):
        return all(map(readable, value))
    if isinstance(value, dict):
        return all(readable(k) and readable(v) for k, v in value.items())
    return True


def values_json(p):
    return asset(partitions={"d": p})(upstream).__vorda_metadata__["partitions"]["d"]["values_json"]


# ---- partitions ----------------------------------------------------------------------------


@PROPERTY
@given(st.lists(st.one_of(json_like, anything), max_size=6))
def test_partitions_of_arbitrary_lists(values):
    expected = []
    expected_error = None
    for element in values:
        try:
            text = json.dumps(element)
        except Exception as error:  # noqa: BLE001 - the same must come out of partitions
            expected_error = (type(error), str(error))
            break
        decoded = json.loads(text)
        if not readable(decoded):
            expected_error = (ValueError, None)
            break
        expected.append(decoded)

    try:
        p = partitions(values)
    except (TypeError, ValueError, RuntimeError) as error:
        event(f"raised {type(error).__name__}")
        assert expected_error is not None, f"unexpected {error!r}"
        exc_type, message = expected_error
        assert type(error) is exc_type
        if message is not None:
            assert str(error) == message
        else:
            assert str(error).startswith("invalid partition value: ")
            assert " at line 1 column " in str(error)
        return
    assert expected_error is None, f"expected {expected_error}"
    assert type(p) is Partitions
    assert repr(p) == f"Partitions({len(values)} values)"
    assert approx_equal(json.loads(values_json(p)), expected)


@PROPERTY
@given(anything)
def test_partitions_of_non_lists(value):
    if isinstance(value, list):
        return
    with pytest.raises(TypeError) as info:
        partitions(value)
    assert str(info.value) == f"argument 'values': '{type(value).__qualname__}' object cannot be converted to 'PyList'"


# ---- asset -----------------------------------------------------------------------------


class Refused(Exception):
    """The predicted failure: its type and, if known, its message."""

    def __init__(self, exc_type, message=None):
        super().__init__(exc_type, message)
        self.exc_type, self.message = exc_type, message


def text_of(value, prefix=""):
    if not isinstance(value, str):
        raise Refused(TypeError, f"{prefix}'{type(value).__qualname__}' object cannot be converted to 'PyString'")
    if any(0xD800 <= ord(c) <= 0xDFFF for c in value):
        raise Refused(UnicodeEncodeError)
    return value


def predict_asset(name, inputs, parts, serializer):
    """The metadata dict asset(...) gives for these options, or Refused."""
    metadata = {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}
    if name is not None:
        metadata["name"] = text_of(name, "argument 'name': ")
    if serializer is not None:
        metadata["serializer"] = text_of(serializer, "argument 'serializer': ")
    if inputs is not None:
        if not isinstance(inputs, dict):
            raise Refused(TypeError, f"'{type(inputs).__qualname__}' object cannot be converted to 'PyDict'")
        metadata["inputs"] = {}
        for key, value in inputs.items():
            key = text_of(key)
            if value is UPSTREAM:
                metadata["inputs"][key] = UPSTREAM_REF
            elif isinstance(value, str):
                metadata["inputs"][key] = text_of(value)
            else:
                raise Refused(TypeError, INPUTS_MESSAGE)
    if parts is not None:
        if not isinstance(parts, dict):
            raise Refused(TypeError, f"'{type(parts).__qualname__}' object cannot be converted to 'PyDict'")
        metadata["partitions"] = {}
        for key, value in parts.items():
            key = text_of(key)
            if type(value) is not Partitions:
                raise Refused(TypeError, PARTITIONS_MESSAGE)
            metadata["partitions"][key] = {"kind": "inline", "values_json": values_json(value)}
    return metadata


option_values = st.one_of(st.none(), any_text, anything)
input_dicts = st.dictionaries(
    st.one_of(any_text, st.integers()), st.one_of(any_text, st.just(UPSTREAM), anything), max_size=4
)
partition_dicts = st.dictionaries(
    st.one_of(any_text, st.integers()),
    st.one_of(st.lists(st.one_of(st.integers(), st.text(max_size=5)), max_size=3).map(partitions), anything),
    max_size=3,
)


@PROPERTY
@given(
    option_values,
    st.one_of(st.none(), input_dicts, anything),
    st.one_of(st.none(), partition_dicts, anything),
    option_values,
)
def test_asset_options(name, inputs, parts, serializer):
    try:
        expected = predict_asset(name, inputs, parts, serializer)
    except Refused as refused:
        event(f"refused with {refused.exc_type.__name__}")
        with pytest.raises(refused.exc_type) as info:
            asset(name=name, inputs=inputs, partitions=parts, serializer=serializer)
        if refused.message is not None:
            assert str(info.value) == refused.message
        return
    event("declared")
    decorator = asset(name=name, inputs=inputs, partitions=parts, serializer=serializer)
    assert decorator(upstream).__vorda_metadata__ == expected


# ---- inspect_modules -----------------------------------------------------------------------

sequences = st.lists(st.one_of(module_names, module_names, argument_values), max_size=5)
modules_arguments = st.one_of(
    sequences,
    sequences.map(tuple),
    st.binary(max_size=2),
    any_text,
    st.dictionaries(any_text, st.integers(), max_size=2),
    st.sets(any_text, max_size=2),
    st.integers(),
    st.none(),
    sequences.map(iter),
)

REAL_ASSETS = ["echo", "fixed"]


@PROPERTY
@given(modules_arguments)
def test_inspect_modules_arguments(modules):
    written = []
    # What the argument turns into, and which error comes first.
    expected_error = None
    if isinstance(modules, str):
        expected_error = (TypeError, "argument 'modules': Can't extract `str` to `Vec`")
    elif not isinstance(modules, (list, tuple, bytes)):
        message = f"argument 'modules': '{type(modules).__qualname__}' object cannot be converted to 'Sequence'"
        expected_error = (TypeError, message)
    else:
        for item in modules:
            if not isinstance(item, str):
                message = f"argument 'modules': '{type(item).__qualname__}' object cannot be converted to 'PyString'"
                expected_error = (TypeError, message)
                break
            if any(0xD800 <= ord(c) <= 0xDFFF for c in item):
                expected_error = (UnicodeEncodeError, None)
                break

    with quiet_fd2(written):
        try:
            report = inspect_modules(modules)
        except (TypeError, ValueError) as error:
            outcome = error
        else:
            outcome = None

    if expected_error is not None:
        assert type(outcome) is expected_error[0], repr(outcome)
        if expected_error[1] is not None:
            assert str(outcome) == expected_error[1]
        assert "".join(written) == ""
        return
    assert outcome is None, repr(outcome)
    records = json.loads(report)["assets"]
    assert [r["function_name"] for r in records] == REAL_ASSETS * list(modules).count(REAL)
    assert all(r["module_path"] == REAL for r in records)
    # One line per absent name, the name exactly as given (line breaks included).
    missing = f"ModuleNotFoundError: No module named '{ABSENT}'"
    assert "".join(written) == "".join(
        f"vorda: skipping module '{name}': {missing}\n" for name in modules if name != REAL
    )


# ---- materialize_asset ---------------------------------------------------------------------

function_names = st.one_of(
    st.just("fixed"),
    st.just("echo"),
    st.sampled_from(["asset", "missing", "__builtins__", "__name__", "__spec__", "__class__"]),
    # Calling the module's __init__ with a `name` keyword would rename it.
    any_text.filter(lambda s: s != "__init__"),
)
kwargs_dicts = st.dictionaries(st.text(max_size=5), json_like, max_size=3).map(json.dumps)
kwargs_texts = st.one_of(st.none(), kwargs_dicts, kwargs_dicts, any_text, json_like.map(json.dumps))


SUCCESS_KEYS = ["artifact_format", "function_name", "module_path", "ok", "result_type", "signature", "value_path"]


def text_error(value, param):
    if not isinstance(value, str):
        return TypeError, f"argument '{param}': '{type(value).__qualname__}' object cannot be converted to 'PyString'"
    if any(0xD800 <= ord(c) <= 0xDFFF for c in value):
        return UnicodeEncodeError, None
    return None


@PROPERTY
@given(
    mostly(module_names, st.integers(), times=9),
    mostly(function_names, st.none(), times=9),
    mostly(output_dirs, st.just(b"out"), times=9),
    mostly(kwargs_texts, st.integers(), times=9),
)
def test_materialize_arguments(module_name, function_name, output_dir, kwargs):
    expected_error = None
    for value, param in [(module_name, "module_name"), (function_name, "function_name"), (output_dir, "output_dir")]:
        expected_error = text_error(value, param)
        if expected_error:
            break
    if expected_error is None and kwargs is not None:
        expected_error = text_error(kwargs, "input_kwargs_json")

    try:
        result = materialize_asset(module_name, function_name, output_dir, kwargs)
    except (TypeError, ValueError, OSError) as error:
        event(f"raised {type(error).__name__}")
        if expected_error is not None:
            assert type(error) is expected_error[0]
            if expected_error[1] is not None:
                assert str(error) == expected_error[1]
        else:
            # Only creating the directory can fail before the run: an embedded
            # NUL or a name too long for the file system.
            assert "\0" in output_dir or len(output_dir.encode()) > 255, repr(error)
        return
    except SystemExit as exit:
        assert expected_error is None
        assert exit.code == 1 and type(exit.code) is int
        with open(os.path.join(output_dir, "result.json"), encoding="utf-8") as file:
            record = json.loads(file.read())
        event(f"failure record {record['error_type']}")
        assert sorted(record) == ["error", "error_type", "ok"] and record["ok"] is False
        assert record["error"].split(": ", 1)[0].split(".")[-1] == record["error_type"]
        if module_name != REAL:
            assert record["error_type"] == "ModuleNotFoundError"
        return
    event(f"success {function_name}")
    assert expected_error is None
    assert result is None
    assert module_name == REAL
    with open(os.path.join(output_dir, "result.json"), encoding="utf-8") as file:
        record = json.loads(file.read())
    assert sorted(record) == SUCCESS_KEYS and record["ok"] is True
    assert (record["module_path"], record["function_name"]) == (module_name, function_name)
    with open(os.path.join(output_dir, "value.json"), encoding="utf-8") as file:
        value = file.read()
    if function_name == "fixed":
        assert value == '[1, "\\u00e9"]' and record["signature"] == "() -> list"


# ---- Argument binding of all four functions ----------------------------------------------

FUNCTIONS = [native.asset, native.partitions, native.inspect_modules, native.materialize_asset]
keyword_names = st.sampled_from(
    ["name", "inputs", "partitions", "serializer", "values", "modules", "module_name", "function_name", "output_dir",
     "input_kwargs_json", "nme", "value", "é", "\udcff"]
)


@PROPERTY
@given(
    st.sampled_from(FUNCTIONS),
    st.lists(argument_values, max_size=6),
    st.dictionaries(keyword_names, argument_values, max_size=4),
)
def test_argument_binding(function, args, kwargs):
    signature = inspect.signature(function)
    try:
        signature.bind(*args, **kwargs)
        binds = True
    except TypeError:
        binds = False
    written = []
    with quiet_fd2(written):
        try:
            function(*args, **kwargs)
        except (TypeError, ValueError, RuntimeError, OSError) as error:
            outcome = error
        except SystemExit as exit:
            assert function is native.materialize_asset and exit.code == 1
            outcome = None
        else:
            outcome = None
    binding_error = isinstance(outcome, TypeError) and str(outcome).startswith(f"{function.__name__}() ")
    assert binding_error == (not binds), repr(outcome)
