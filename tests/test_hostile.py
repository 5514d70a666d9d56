"""User code that fights the module. Whatever it does, each case ends in the
documented exception (or the documented result), never in a crash."""

import contextlib
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from vorda._vorda import asset, inspect_modules, materialize_asset, partitions

# Tests replace json.dumps and json.loads; the helpers keep the real ones.
real_dumps, real_loads = json.dumps, json.loads
INPUTS_MESSAGE = "inputs values must be @asset-decorated functions or asset ref strings"


def f():
    return 1


def internal_failure(info):
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "InternalFailure"
    return str(info.value)


def values_json(p):
    return asset(partitions={"d": p})(f).__vorda_metadata__["partitions"]["d"]["values_json"]


def failure_record(*args):
    with pytest.raises(SystemExit) as info:
        materialize_asset(*args)
    assert info.value.code == 1
    return real_loads(pathlib.Path(args[2], "result.json").read_text("utf-8"))


class Refusing:
    """A meta path finder that raises `error` when asked for one of `names`."""

    def __init__(self, names, error):
        self.names, self.error = set(names), error

    def find_spec(self, name, path=None, target=None):
        if name in self.names:
            raise self.error
        return None


@contextlib.contextmanager
def refused(error, name):
    """Importing `name` raises `error` inside the block. Everything is put
    back on the way out, before pytest itself imports anything again."""
    saved_path = sys.meta_path
    sys.meta_path = [Refusing([name], error)] + saved_path
    saved = sys.modules.pop(name, None)
    try:
        yield
    finally:
        sys.meta_path = saved_path
        if saved is not None:
            sys.modules[name] = saved


def interrupted(name, call):
    """The KeyboardInterrupt that `call` raises while `name` cannot be imported."""
    stop = KeyboardInterrupt(name)
    with pytest.raises(KeyboardInterrupt) as info:
        with refused(stop, name):
            call()
    assert info.value is stop


# ---- Markers: __vorda_kind__ and __vorda_original__ --------------------------------------


class TestMarkersInAssetInputs:
    @pytest.mark.parametrize("error", [KeyboardInterrupt("kind"), SystemExit(4), RecursionError()])
    def test_any_kind_failure_is_discarded(self, error):
        class Raises:
            @property
            def __vorda_kind__(self):
                raise error

        class RaisesStr(str):
            __vorda_kind__ = Raises.__vorda_kind__

        with pytest.raises(TypeError) as info:
            asset(inputs={"x": Raises()})
        assert str(info.value) == INPUTS_MESSAGE
        assert info.value.__context__ is None
        assert asset(inputs={"x": RaisesStr("p:q")})(f).__vorda_metadata__["inputs"] == {"x": "p:q"}

    def test_kind_is_compared_by_text_not_by_eq(self):
        class Liar(str):
            def __eq__(self, other):
                return not str.__eq__(self, other)

            __hash__ = str.__hash__

        class Kinded(str):
            kind = None

            @property
            def __vorda_kind__(self):
                return self.kind

        # Liar("nope") == "asset" holds, but its text is not "asset": a plain ref string.
        plain = Kinded("r")
        plain.kind = Liar("nope")
        assert asset(inputs={"x": plain})(f).__vorda_metadata__["inputs"] == {"x": "r"}
        # Liar("asset") == "asset" does not hold, but it is the marker: the object is located.
        marked = Kinded("r")
        marked.kind = Liar("asset")
        with pytest.raises(TypeError) as info:
            asset(inputs={"x": marked})
        with pytest.raises(TypeError) as direct:
            inspect.getsourcefile(marked)
        assert str(info.value) == str(direct.value)

    def test_original_mutating_the_dict_is_an_internal_failure(self):
        inputs = {}

        class Grows:
            __vorda_kind__ = "asset"

            @property
            def __vorda_original__(self):
                inputs["late"] = "x:y"
                return f

        inputs["a"] = Grows()
        with pytest.raises(BaseException) as info:
            asset(inputs=inputs)
        assert internal_failure(info) == "dictionary changed size during iteration"

    def test_original_removing_its_own_entry_keeps_the_value_alive(self):
        inputs = {}

        class Leaves:
            __vorda_kind__ = "asset"

            @property
            def __vorda_original__(self):
                inputs.clear()
                inputs["b"] = "x:y"
                return f

        inputs["a"] = Leaves()
        # Same size and no more entries than at the start: the walk simply
        # ends, like the interpreter's own dict iteration. The visited value
        # left the dict while in use and must have stayed alive.
        m = asset(inputs=inputs)(f).__vorda_metadata__
        assert m["inputs"] == {"a": f"{os.path.realpath(__file__)}:f"}

    @pytest.mark.parametrize("original", [42, None, "text", b"bytes", asset()(f)])
    def test_odd_originals_fail_with_inspects_error(self, original):
        class Odd:
            __vorda_kind__ = "asset"
            __vorda_original__ = original

        with pytest.raises(TypeError) as info:
            asset(inputs={"x": Odd()})
        with pytest.raises(TypeError) as direct:
            inspect.getsourcefile(original)
        assert str(info.value) == str(direct.value)

    def test_original_raising_a_base_exception_falls_back_to_the_object(self):
        class Marker:
            __vorda_kind__ = "asset"

            @property
            def __vorda_original__(self):
                raise KeyboardInterrupt("never seen")

        # The instance itself is located, and inspect refuses it.
        marker = Marker()
        with pytest.raises(TypeError) as info:
            asset(inputs={"x": marker})
        with pytest.raises(TypeError) as direct:
            inspect.getsourcefile(marker)
        assert str(info.value) == str(direct.value)
        assert not isinstance(info.value.__context__, KeyboardInterrupt)


class TestMarkersInDiscovery:
    def test_kind_reading_mutates_the_module(self, moddir):
        moddir.write(
            "hostile.mutating",
            """\
            import sys
            from vorda import asset

            class Sneaky:
                @property
                def __vorda_kind__(self):
                    module = sys.modules[__name__]
                    for name in [n for n in vars(module) if n.startswith("extra")]:
                        delattr(module, name)
                    module.added = asset()(lambda: 0)
                    del module.real
                    return "no"

            @asset()
            def real():
                return 1

            extra1 = extra2 = 5
            sneaky = Sneaky()
            """,
        )
        # The members were listed before the walk: `real` is still reported.
        records = json.loads(inspect_modules(["hostile.mutating"]))["assets"]
        assert [r["function_name"] for r in records] == ["real"]

    @pytest.mark.parametrize("original", ["42", "None", "'text'", "print"])
    def test_odd_originals_end_the_call_with_inspects_error(self, moddir, original):
        moddir.write(
            "hostile.odd",
            f"""\
            class Odd:
                __vorda_kind__ = "asset"
                __vorda_metadata__ = {{}}
                __vorda_original__ = {original}

            odd = Odd()
            """,
        )
        with pytest.raises(TypeError) as info:
            inspect_modules(["hostile.odd"])
        with pytest.raises(TypeError) as direct:
            inspect.getsource(eval(original))
        assert str(info.value) == str(direct.value)

    def test_original_whose_name_raises(self, moddir, monkeypatch):
        moddir.write(
            "hostile.nameless",
            """\
            ERROR = LookupError("no name")

            class Nameless:
                def __getattr__(self, name):
                    if name == "__name__":
                        raise ERROR
                    raise AttributeError(name)

            def marked():
                pass

            marked.__vorda_kind__ = "asset"
            marked.__vorda_metadata__ = {}
            marked.__vorda_original__ = Nameless()
            """,
        )
        module = importlib.import_module("hostile.nameless")
        monkeypatch.setattr(inspect, "getsource", lambda obj: "  source  ")
        with pytest.raises(LookupError) as info:
            inspect_modules(["hostile.nameless"])
        assert info.value is module.ERROR

    def test_reentrant_calls_from_marker_properties(self, moddir):
        moddir.write("hostile.inner", "from vorda import asset\n\n@asset()\ndef inner():\n    return 1\n")
        moddir.write(
            "hostile.outer",
            """\
            import json
            from vorda._vorda import inspect_modules, partitions

            class Nested:
                @property
                def __vorda_kind__(self):
                    partitions([1, 2])
                    return "asset"

                @property
                def __vorda_metadata__(self):
                    return json.loads(inspect_modules(["hostile.inner"]))

                __vorda_original__ = None

            def original():
                pass

            Nested.__vorda_original__ = staticmethod(original)
            nested = Nested()
            """,
        )
        (record,) = json.loads(inspect_modules(["hostile.outer"]))["assets"]
        assert record["function_name"] == "original"
        assert [r["function_name"] for r in record["decorator_metadata"]["assets"]] == ["inner"]


class TestMarkersInMaterialize:
    def test_non_callable_original(self, moddir, tmp_path):
        moddir.write("hostile.target", "class T:\n    __vorda_original__ = 42\n\nt = T()\n")
        assert failure_record("hostile.target", "t", str(tmp_path)) == {
            "error": "TypeError: 'int' object is not callable",
            "error_type": "TypeError",
            "ok": False,
        }

    def test_original_that_removes_the_target_and_raises(self, moddir, tmp_path):
        moddir.write(
            "hostile.vanishing",
            """\
            import sys

            class Vanishing:
                @property
                def __vorda_original__(self):
                    del sys.modules[__name__].target
                    raise SystemExit("gone")

                def __call__(self) -> int:
                    return 7

            target = Vanishing()
            """,
        )
        materialize_asset("hostile.vanishing", "target", str(tmp_path))
        assert (tmp_path / "value.json").read_text() == "7"
        assert json.loads((tmp_path / "result.json").read_text())["signature"] == "() -> int"


# ---- json replaced or hostile ---------------------------------------------------------------


class TestReplacedJson:
    @pytest.mark.parametrize(
        "returned, exc_type, message",
        [
            (None, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
            (b"{}", TypeError, "'bytes' object cannot be converted to 'PyString'"),
            ("", RuntimeError, "JSON parse error: EOF while parsing a value at line 1 column 0"),
            ('{"a":\n NaN}', RuntimeError, "JSON parse error: expected value at line 2 column 2"),
            ("{} {}", RuntimeError, "JSON parse error: trailing characters at line 1 column 4"),
        ],
    )
    def test_discovery_metadata(self, moddir, monkeypatch, returned, exc_type, message):
        moddir.write("hostile.meta", "from vorda import asset\n\n@asset()\ndef a():\n    pass\n")
        monkeypatch.setattr(json, "dumps", lambda obj: returned)
        with pytest.raises(exc_type) as info:
            inspect_modules(["hostile.meta"])
        assert str(info.value) == message

    def test_discovery_metadata_dumps_raising_and_odd_text(self, moddir, monkeypatch):
        moddir.write("hostile.meta", "from vorda import asset\n\n@asset()\ndef a():\n    pass\n")
        boom = KeyboardInterrupt("from dumps")

        def raising(obj):
            raise boom

        monkeypatch.setattr(json, "dumps", raising)
        with pytest.raises(KeyboardInterrupt) as info:
            inspect_modules(["hostile.meta"])
        assert info.value is boom

        monkeypatch.setattr(json, "dumps", lambda obj: "\ud800")
        with pytest.raises(UnicodeEncodeError):
            inspect_modules(["hostile.meta"])

        class Text(str):
            def __str__(self):
                raise AssertionError("used as an object")

            encode = __len__ = __str__

        monkeypatch.setattr(json, "dumps", lambda obj: Text('{"z": 1, "a": [true]}'))
        (record,) = json.loads(inspect_modules(["hostile.meta"]))["assets"]
        assert record["decorator_metadata"] == {"a": [True], "z": 1}

    def test_json_module_replaced(self, moddir, monkeypatch):
        moddir.write("hostile.meta", "from vorda import asset\n\n@asset()\ndef a():\n    pass\n")
        monkeypatch.setitem(sys.modules, "json", object())
        with pytest.raises(AttributeError, match="dumps"):
            inspect_modules(["hostile.meta"])
        with pytest.raises(AttributeError, match="dumps"):
            partitions([1])

    @pytest.mark.parametrize(
        "returned, message",
        [
            ('[1,\n "x", x]', "invalid partition value: expected value at line 2 column 7"),
            ('"\\ud83d\\ude00" 1', "invalid partition value: trailing characters at line 1 column 16"),
        ],
    )
    def test_partitions_multi_line_text(self, monkeypatch, returned, message):
        monkeypatch.setattr(json, "dumps", lambda obj: returned)
        with pytest.raises(ValueError) as info:
            partitions(["a"])
        assert str(info.value) == message

    def test_materialize(self, moddir, tmp_path, monkeypatch):
        moddir.write("hostile.run", "def value(**kwargs):\n    return sorted(kwargs)\n")
        monkeypatch.setattr(json, "dumps", lambda obj: b"[]")
        assert failure_record("hostile.run", "value", str(tmp_path / "a")) == {
            "error": "TypeError: data must be str, not bytes",
            "error_type": "TypeError",
            "ok": False,
        }
        assert not (tmp_path / "a" / "value.json").exists()

        class Keys(dict):
            def keys(self):
                raise AssertionError("keys used")

        monkeypatch.setattr(json, "dumps", real_dumps)
        monkeypatch.setattr(json, "loads", lambda text: Keys(b=1, a=2))
        materialize_asset("hostile.run", "value", str(tmp_path / "b"), "ignored")
        assert (tmp_path / "b" / "value.json").read_text() == '["a", "b"]'

        monkeypatch.setattr(json, "loads", lambda text: {1: 2})
        assert failure_record("hostile.run", "value", str(tmp_path / "c"), "{}")["error"] == (
            "TypeError: keywords must be strings"
        )


# ---- Lists changed while partitions() walks them -------------------------------------------


class TestListsChangedByEncoding:
    """The real json.dumps calls items() of a dict subclass: user code runs mid-walk."""

    @staticmethod
    def element(action, values, payload):
        class Acting(dict):
            def items(self):
                action(values)
                return super().items()

        return Acting(payload)

    @pytest.mark.parametrize(
        "action, expected",
        [
            (lambda values: values.extend(range(1000)), '[{"a":1},"b","c"]'),
            (lambda values: values.pop(), '[{"a":1},"b"]'),
            (lambda values: values.clear(), '[{"a":1}]'),
            (lambda values: values.__setitem__(slice(None), [0] * 3), '[{"a":1},0,0]'),
            (lambda values: values.reverse(), '[{"a":1},"b",{"a":1}]'),
        ],
    )
    def test_walk_stays_in_bounds(self, action, expected):
        values = []
        values.extend([self.element(action, values, {"a": 1}), "b", "c"])
        assert values_json(partitions(values)) == expected

    def test_shrink_then_regrow_reads_the_new_elements(self):
        values = []

        def swap(values):
            if len(values) == 3:
                values.clear()
                values.extend(["x", "y", "z", "w"])

        values.extend([self.element(swap, values, {"k": 0}), "b", "c"])
        assert values_json(partitions(values)) == '[{"k":0},"y","z"]'

    def test_element_dropped_during_its_own_encoding(self):
        values = []
        values.append(self.element(lambda values: values.clear(), values, {"k": list(range(50))}))
        assert values_json(partitions(values)) == real_dumps([{"k": list(range(50))}], separators=(",", ":"))


# ---- str subclasses and lone surrogates ------------------------------------------------------


class Hostile(str):
    """Text whose Python-level methods must never be needed."""

    def _refuse(self, *args, **kwargs):
        raise AssertionError("str subclass method used")

    __hash__ = str.__hash__  # dict keys need it
    __eq__ = __ne__ = __lt__ = __str__ = __repr__ = __len__ = __iter__ = _refuse
    __getitem__ = __contains__ = encode = strip = startswith = _refuse


def test_str_subclass_texts_in_every_asset_option():
    d = asset(
        name=Hostile("n"),
        serializer=Hostile("s"),
        inputs={Hostile("in"): Hostile("x:y")},
        partitions={Hostile("dim"): partitions([Hostile("v")])},
    )
    assert d(f).__vorda_metadata__ == {
        "kind": "asset",
        "name": "n",
        "serializer": "s",
        "inputs": {"in": "x:y"},
        "partitions": {"dim": {"kind": "inline", "values_json": '["v"]'}},
    }


SURROGATE_CALLS = {
    "asset serializer": lambda tmp: asset(serializer="\udfff"),
    "inputs key": lambda tmp: asset(inputs={"\ud800": "x:y"}),
    "inputs value": lambda tmp: asset(inputs={"k": "x:\udc80"}),
    "partitions key": lambda tmp: asset(partitions={"\ud800": partitions([])}),
    "module names": lambda tmp: inspect_modules(["hostile_missing_first", "hostile_\ud800"]),
    "function name": lambda tmp: materialize_asset("m", "\ud800", str(tmp / "out")),
    "output dir": lambda tmp: materialize_asset("m", "f", str(tmp / "out") + "\udc80"),
}


@pytest.mark.parametrize("case", sorted(SURROGATE_CALLS))
def test_lone_surrogates_in_text_arguments(case, tmp_path, fd2):
    with fd2() as err:
        with pytest.raises(UnicodeEncodeError) as info:
            SURROGATE_CALLS[case](tmp_path)
    assert info.value.reason == "surrogates not allowed"
    # Refused before any work: nothing imported, created or reported.
    assert err.text == ""
    assert list(tmp_path.iterdir()) == []


class TestSurrogatesFromPython:
    """Texts the module reads from Python objects, not from its arguments."""

    def test_upstream_name(self):
        def upstream():
            pass

        upstream.__name__ = "up\ud800"
        with pytest.raises(UnicodeEncodeError):
            asset(inputs={"x": asset()(upstream)})

    @pytest.mark.parametrize(
        "line",
        [
            "made.__name__ = 'made\\udc80'",
            "made.__annotations__['return'] = 'Frame\\ud800'",
        ],
    )
    def test_discovery_texts(self, moddir, line):
        moddir.write(
            "hostile.surrogates",
            f"""\
            def made():
                pass

            made.__vorda_kind__ = "asset"
            made.__vorda_metadata__ = {{}}
            {line}
            """,
        )
        with pytest.raises(UnicodeEncodeError):
            inspect_modules(["hostile.surrogates"])

    def test_materialize_signature_is_recorded(self, moddir, tmp_path):
        moddir.write(
            "hostile.texts",
            """\
            class Odd:
                def __repr__(self):
                    return "odd\\ud800"

            def signature(x=Odd()):
                return 1
            """,
        )
        first = failure_record("hostile.texts", "signature", str(tmp_path / "a"))
        assert first["error_type"] == "UnicodeEncodeError"
        assert (tmp_path / "a" / "value.json").read_text() == "1"

    def test_materialize_exception_type_names(self, moddir, tmp_path):
        moddir.write(
            "hostile.raising",
            """\
            class Odd(Exception):
                pass

            Odd.__qualname__ = "Odd\\ud800"

            def run():
                raise Odd("x")
            """,
        )
        # The qualified name is converted as text: the interpreter's error,
        # raised directly, and no record.
        with pytest.raises(UnicodeEncodeError):
            materialize_asset("hostile.raising", "run", str(tmp_path))
        assert not (tmp_path / "result.json").exists()


# ---- Deep recursion and huge inputs -----------------------------------------------------------

CHAINS = textwrap.dedent(
    """
    import functools
    from vorda._vorda import asset

    def f():
        return "end"

    def chain(length, through_partial=False):
        w = f
        for _ in range(length):
            w = asset()(functools.partial(w) if through_partial else w)
        return w

    short = chain(50)
    assert short() == "end" and short.__name__ == "f" and short.__doc__ is None

    long = chain(200_000)
    for read in (lambda: long(), lambda: long(1, k=2), lambda: type(long).__call__(long),
                 lambda: long.__name__, lambda: long.__qualname__, lambda: long.__module__, lambda: long.__doc__):
        try:
            read()
        except RecursionError:
            pass
        else:
            raise AssertionError("no RecursionError")
    assert long.__vorda_original__.__vorda_original__ is not None
    del long
    mixed = chain(100_000, through_partial=True)
    try:
        mixed()
    except RecursionError:
        pass
    else:
        raise AssertionError("no RecursionError through partial objects")
    del mixed
    print("released")
    """
)


def test_long_wrapper_chains_do_not_exhaust_the_stack():
    done = subprocess.run([sys.executable, "-c", CHAINS], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "released\n"


def nested(depth, leaf=0):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


class TestDeepStructures:
    def test_partitions_and_discovery_pass_the_encoders_recursion_error(self, moddir):
        with pytest.raises(RecursionError):
            partitions([nested(100_000)])
        moddir.write(
            "hostile.deep",
            """\
            def deep():
                pass

            value = 0
            for _ in range(100_000):
                value = [value]
            deep.__vorda_kind__ = "asset"
            deep.__vorda_metadata__ = value
            """,
        )
        with pytest.raises(RecursionError):
            inspect_modules(["hostile.deep"])

    def test_materialize_records_recursion_errors(self, moddir, tmp_path):
        moddir.write(
            "hostile.deeprun",
            """\
            def deep_value():
                value = 0
                for _ in range(100_000):
                    value = [value]
                return value

            def takes(**kwargs):
                return len(kwargs)
            """,
        )
        assert failure_record("hostile.deeprun", "deep_value", str(tmp_path / "a"))["error_type"] == "RecursionError"
        text = '{"x": ' + "[" * 100_000 + "]" * 100_000 + "}"
        assert failure_record("hostile.deeprun", "takes", str(tmp_path / "b"), text)["error_type"] == "RecursionError"

    def test_calls_at_the_edge_of_the_recursion_limit(self, tmp_path):
        wrapper = asset(partitions={"d": partitions([1])})(f)

        def work():
            partitions([{"a": [1]}])
            asset(inputs={"x": wrapper})
            wrapper.__vorda_metadata__
            wrapper()
            return inspect_modules([])

        def recurse(n):
            return work() if n == 0 else recurse(n - 1)

        outcomes = set()
        depth = len(inspect.stack(0))
        for n in range(sys.getrecursionlimit() - depth - 150, sys.getrecursionlimit() - depth + 5):
            try:
                outcomes.add(recurse(n))
            except RecursionError:
                outcomes.add("RecursionError")
        assert outcomes == {'{"assets":[]}', "RecursionError"}


class TestHugeInputs:
    def test_partitions_of_a_long_list(self):
        values = list(range(200_000))
        p = partitions(values)
        assert repr(p) == "Partitions(200000 values)"
        assert json.loads(values_json(p)) == values

    def test_many_module_names(self, fd2):
        names = [f"hostile_missing_{i}" for i in range(3000)]
        with fd2() as err:
            assert inspect_modules(names) == '{"assets":[]}'
        lines = err.text.splitlines()
        assert len(lines) == 3000
        assert lines[-1] == (
            "vorda: skipping module 'hostile_missing_2999': ModuleNotFoundError: No module named 'hostile_missing_2999'"
        )

    def test_large_metadata_and_arguments(self, moddir, tmp_path):
        moddir.write(
            "hostile.large",
            """\
            def big(**kwargs):
                return kwargs

            big.__vorda_kind__ = "asset"
            big.__vorda_metadata__ = {"values": list(range(300_000)), "text": "é" * 1_000_000}
            """,
        )
        (record,) = json.loads(inspect_modules(["hostile.large"]))["assets"]
        assert record["decorator_metadata"]["values"][-1] == 299_999
        assert len(record["decorator_metadata"]["text"]) == 1_000_000
        kwargs = json.dumps({"xs": list(range(300_000))})
        materialize_asset("hostile.large", "big", str(tmp_path), kwargs)
        assert (tmp_path / "value.json").read_text() == kwargs


# ---- inspect.getmembers and other standard functions that misbehave ----------------------------


class TestGetmembers:
    @pytest.fixture
    def module(self, moddir):
        moddir.write("hostile.members", "from vorda import asset\n\n@asset()\ndef a():\n    pass\n")
        return importlib.import_module("hostile.members")

    @pytest.mark.parametrize(
        "item, message",
        [
            (None, "'NoneType' object cannot be converted to 'PyTuple'"),
            ("ab", "'str' object cannot be converted to 'PyTuple'"),
            ({"a": 1}, "'dict' object cannot be converted to 'PyTuple'"),
        ],
    )
    def test_items_that_are_not_tuples(self, module, monkeypatch, item, message):
        monkeypatch.setattr(inspect, "getmembers", lambda m: [("a", module.a), item])
        with pytest.raises(TypeError) as info:
            inspect_modules(["hostile.members"])
        assert str(info.value) == message

    def test_tuple_subclass_is_read_through_its_storage(self, module, monkeypatch):
        class Pair(tuple):
            def __getitem__(self, index):
                raise AssertionError("__getitem__ used")

            def __len__(self):
                return 0

        monkeypatch.setattr(inspect, "getmembers", lambda m: [Pair(("x", module.a))])
        assert len(json.loads(inspect_modules(["hostile.members"]))["assets"]) == 1

    def test_iteration_failures_pass_through(self, module, monkeypatch):
        boom = KeyboardInterrupt("during getmembers")

        def members(m):
            yield ("a", module.a)
            raise boom

        monkeypatch.setattr(inspect, "getmembers", members)
        with pytest.raises(KeyboardInterrupt) as info:
            inspect_modules(["hostile.members"])
        assert info.value is boom

        class BadIter:
            def __iter__(self):
                return self

            def __next__(self):
                raise boom

        monkeypatch.setattr(inspect, "getmembers", lambda m: BadIter())
        with pytest.raises(KeyboardInterrupt) as info:
            inspect_modules(["hostile.members"])
        assert info.value is boom

    def test_standard_functions_returning_odd_objects(self, module, monkeypatch):
        import builtins
        import textwrap as textwrap_module

        class Dedented:
            def strip(self):
                return 42

        monkeypatch.setattr(textwrap_module, "dedent", lambda text: Dedented())
        with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
            inspect_modules(["hostile.members"])
        monkeypatch.undo()

        boom = ArithmeticError("no truth")

        class NoTruth:
            def __bool__(self):
                raise boom

        real = builtins.isinstance
        here = sys._getframe().f_code

        def isinstance_(obj, cls):
            # Only the module's own call comes straight from this frame.
            return NoTruth() if sys._getframe(1).f_code is here else real(obj, cls)

        monkeypatch.setattr(builtins, "isinstance", isinstance_)
        (record,) = json.loads(inspect_modules(["hostile.members"]))["assets"]
        assert record["return_type"] is None  # no annotation: isinstance is not asked

        def annotated() -> int:
            pass

        module.a = asset()(annotated)
        with pytest.raises(ArithmeticError) as info:
            inspect_modules(["hostile.members"])
        assert info.value is boom


# ---- Imports that raise KeyboardInterrupt ---------------------------------------------------


class TestInterruptedImports:
    @pytest.mark.parametrize("name", ["importlib", "inspect", "textwrap", "sys", "pathlib"])
    def test_discovery_setup(self, name):
        interrupted(name, lambda: inspect_modules([]))

    @pytest.mark.parametrize("name", ["builtins", "json"])
    def test_discovery_per_asset(self, moddir, name):
        moddir.write("hostile.typed", "from vorda import asset\n\n@asset()\ndef a() -> int:\n    pass\n")
        importlib.import_module("hostile.typed")
        interrupted(name, lambda: inspect_modules(["hostile.typed"]))

    def test_discovery_of_the_named_module_stops_the_call(self, fd2):
        # Ctrl-C is not a module that fails to import: no skip line, the
        # same exception object.
        with fd2() as err:
            interrupted("hostile_interrupted", lambda: inspect_modules(["hostile_interrupted", "json"]))
        assert err.text == ""

    @pytest.mark.parametrize("name", ["json", "inspect", "pathlib"])
    def test_partitions_and_asset_refs(self, name):
        wrapper = asset()(f)
        interrupted(name, lambda: partitions([]) if name == "json" else asset(inputs={"x": wrapper}))

    @pytest.mark.parametrize("name", ["importlib", "inspect", "json", "pathlib"])
    def test_materialize_preparation(self, tmp_path, name):
        interrupted(name, lambda: materialize_asset("m", "f", str(tmp_path / "out")))
        assert not (tmp_path / "out").exists()

    def test_materialize_asset_module(self, tmp_path):
        with refused(KeyboardInterrupt("asset module"), "hostile_interrupted"):
            record = failure_record("hostile_interrupted", "f", str(tmp_path))
        assert record == {"error": "KeyboardInterrupt: asset module", "error_type": "KeyboardInterrupt", "ok": False}

    def test_materialize_exit(self, moddir, tmp_path):
        moddir.write("hostile.plain", "def fails():\n    raise ValueError('x')\n")
        importlib.import_module("hostile.plain")
        interrupted("sys", lambda: materialize_asset("hostile.plain", "fails", str(tmp_path)))
        # The failure record was written before sys was imported.
        assert (tmp_path / "result.json").read_text() == '{"error":"ValueError: x","error_type":"ValueError","ok":false}'


def test_skip_line_with_standard_error_closed(moddir):
    moddir.write("hostile.fine", "from vorda import asset\n\n@asset()\ndef a():\n    pass\n")
    sys.stderr.flush()
    saved = os.dup(2)
    os.close(2)
    try:
        text = inspect_modules(["hostile_missing", "hostile.fine"])
    finally:
        os.dup2(saved, 2)
        os.close(saved)
    assert [r["function_name"] for r in json.loads(text)["assets"]] == ["a"]
