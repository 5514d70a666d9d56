import gc
import os
import sys
import weakref

import pytest

from vorda._vorda import AssetWrapper, asset, materialize_asset

EMPTY_METADATA = {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}


def internal_failure(info):
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "InternalFailure"
    return str(info.value)


def f(a, b=2):
    """f's doc"""
    return (a, b)


class TestDecoratorObject:
    def test_is_a_builtin_named_asset_decorator(self):
        d = asset()
        assert type(d).__name__ == "builtin_function_or_method"
        assert d.__name__ == "asset_decorator"
        assert d.__doc__ is None
        assert d.__module__ is None
        assert type(d.__self__).__name__ == "PyCapsule"

    @pytest.mark.parametrize("args", [(), (f, f)])
    def test_needs_exactly_one_positional(self, args):
        with pytest.raises(TypeError, match=r"^asset\(\) decorator expects exactly one argument \(the function\)$"):
            asset()(*args)

    def test_keywords_ignored_and_any_object_accepted(self):
        w = asset()(f, extra=1)
        assert w.__vorda_original__ is f
        assert asset()(42).__vorda_original__ == 42

    def test_each_call_is_a_new_wrapper_with_its_own_metadata(self):
        d = asset(name="x", inputs={"a": "p:q"})
        w1, w2 = d(f), d(len)
        assert w1 is not w2
        assert w1.__vorda_metadata__["name"] == w2.__vorda_metadata__["name"] == "x"
        w1.__vorda_metadata__["inputs"]["a"] = "changed"
        assert w2.__vorda_metadata__["inputs"] == {"a": "p:q"}

    def test_wrapper_outlives_decorator(self):
        w = asset(name="kept", partitions={})(f)
        gc.collect()
        assert w.__vorda_metadata__["name"] == "kept"


class TestOptions:
    def test_defaults(self):
        assert asset()(f).__vorda_metadata__ == EMPTY_METADATA
        assert list(asset()(f).__vorda_metadata__) == ["kind", "name", "serializer", "inputs", "partitions"]

    def test_empty_dicts_are_present(self):
        m = asset(inputs={}, partitions={})(f).__vorda_metadata__
        assert m["inputs"] == {} and m["partitions"] == {}

    def test_text_inputs_are_verbatim(self):
        m = asset(name="n", serializer="json", inputs={"data": "anything at all", "é": "x:y"})(f).__vorda_metadata__
        assert m == {
            "kind": "asset",
            "name": "n",
            "serializer": "json",
            "inputs": {"data": "anything at all", "é": "x:y"},
            "partitions": None,
        }

    def test_inputs_keep_declaration_order(self):
        inputs = {"z": "1", "a": "2", "m": "3"}
        assert list(asset(inputs=inputs)(f).__vorda_metadata__["inputs"]) == ["z", "a", "m"]

    def test_str_subclass_keys_with_equal_text_keep_the_later_value(self):
        class K(str):
            def __hash__(self):
                return id(self)

            def __eq__(self, other):
                return self is other

        inputs = {K("a"): "first", "b": "middle", K("a"): "last"}
        assert len(inputs) == 3
        assert asset(inputs=inputs)(f).__vorda_metadata__["inputs"] == {"a": "last", "b": "middle"}
        assert list(asset(inputs=inputs)(f).__vorda_metadata__["inputs"]) == ["a", "b"]

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"inputs": {"data": 42}}, "inputs values must be @asset-decorated functions or asset ref strings"),
            ({"inputs": {1: "x"}}, "'int' object cannot be converted to 'PyString'"),
            ({"inputs": [("data", "x")]}, "'list' object cannot be converted to 'PyDict'"),
            ({"inputs": 5, "partitions": 5}, "'int' object cannot be converted to 'PyDict'"),
            ({"inputs": {"a": 1}, "partitions": 5}, "inputs values must be @asset-decorated functions or asset ref strings"),
            ({"serializer": 1, "inputs": 5}, "argument 'serializer': 'int' object cannot be converted to 'PyString'"),
            ({"partitions": {"ticker": ["AAPL"]}}, "partition values must be partitions([...]) instances"),
            ({"partitions": {1: ["AAPL"]}}, "'int' object cannot be converted to 'PyString'"),
            ({"partitions": ("t",)}, "'tuple' object cannot be converted to 'PyDict'"),
            ({"inputs": {"a": "ok", 2: 42}}, "'int' object cannot be converted to 'PyString'"),
        ],
    )
    def test_validation_messages_and_order(self, kwargs, message):
        with pytest.raises(TypeError) as info:
            asset(**kwargs)
        assert str(info.value) == message

    def test_kind_must_be_exactly_asset(self):
        class Kinded:
            def __init__(self, kind):
                self.__vorda_kind__ = kind

        for kind in ["Asset", "asset ", 1, None, b"asset"]:
            with pytest.raises(TypeError, match="inputs values must be"):
                asset(inputs={"x": Kinded(kind)})

    def test_kind_lookup_errors_are_discarded(self):
        class Raises(str):
            @property
            def __vorda_kind__(self):
                raise RuntimeError("not an asset")

        # A str whose kind lookup fails is a plain ref string.
        assert asset(inputs={"x": Raises("p:q")})(f).__vorda_metadata__["inputs"] == {"x": "p:q"}

    def test_dict_subclass_is_walked_through_its_storage(self):
        class Sneaky(dict):
            def items(self):
                raise AssertionError("items called")

            def keys(self):
                raise AssertionError("keys called")

            def __iter__(self):
                raise AssertionError("iter called")

            def __getitem__(self, key):
                raise AssertionError("getitem called")

        m = asset(inputs=Sneaky(a="x:y"), partitions=Sneaky())(f).__vorda_metadata__
        assert m["inputs"] == {"a": "x:y"} and m["partitions"] == {}


@pytest.fixture
def upstream(moddir, tmp_path):
    """An asset `raw` in shop/raw.py, imported through a symlinked directory."""
    real = tmp_path / "real"
    real.mkdir()
    moddir.path = real
    moddir.write(
        "shop.raw",
        """
        from vorda import asset

        @asset(name="display name")
        def raw():
            return [1, 2, 3]

        class Holder:
            @staticmethod
            def method():
                return 1
        """,
    )
    link = tmp_path / "link"
    link.symlink_to(real, target_is_directory=True)
    sys.path.insert(0, str(link))
    try:
        import shop.raw

        assert shop.raw.__file__.startswith(str(link))
        yield shop.raw, os.path.realpath(real / "shop" / "raw.py")
    finally:
        sys.path.remove(str(link))
        for name in ["shop.raw", "shop"]:
            sys.modules.pop(name, None)


class TestAssetRefs:
    def test_ref_is_resolved_path_and_function_name(self, upstream):
        module, real_file = upstream
        m = asset(inputs={"data": module.raw})(f).__vorda_metadata__
        assert m["inputs"] == {"data": f"{real_file}:raw"}

    def test_ref_uses_dunder_name_not_qualname(self, upstream):
        module, real_file = upstream
        d = asset(inputs={"m": asset()(module.Holder.method)})
        assert d(f).__vorda_metadata__["inputs"] == {"m": f"{real_file}:method"}

    def test_hand_made_asset_without_original_is_located_itself(self, upstream):
        module, real_file = upstream

        def local():
            pass

        local.__vorda_kind__ = "asset"
        m = asset(inputs={"x": local})(f).__vorda_metadata__
        assert m["inputs"] == {"x": f"{os.path.realpath(__file__)}:local"}

    def test_original_lookup_failure_falls_back_to_object(self):
        class Kind:
            __vorda_kind__ = "asset"

            @property
            def __vorda_original__(self):
                raise KeyError("gone")

        # The object itself is located; a class instance has no source file.
        with pytest.raises(TypeError):
            asset(inputs={"x": Kind()})

    def test_no_source_file_fails_with_pathlibs_error(self, monkeypatch):
        import inspect

        monkeypatch.setattr(inspect, "getsourcefile", lambda obj: None)
        w = asset()(f)
        with pytest.raises(TypeError) as info:
            asset(inputs={"data": w})
        assert "NoneType" in str(info.value)

    def test_exceptions_from_locating_pass_through(self, monkeypatch):
        import inspect

        boom = OSError("no file system today")

        def getsourcefile(obj):
            raise boom

        monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
        with pytest.raises(OSError) as info:
            asset(inputs={"data": asset()(f)})
        assert info.value is boom

    def test_dict_changing_size_is_an_internal_failure(self):
        inputs = {}

        class Grows(str):
            @property
            def __vorda_kind__(self):
                inputs["extra"] = "x:y"
                return "not asset"

        inputs["a"] = Grows("p:q")
        with pytest.raises(BaseException) as info:
            asset(inputs=inputs)
        assert internal_failure(info) == "dictionary changed size during iteration"

    def test_dict_changing_keys_is_an_internal_failure(self):
        inputs = {}
        made = []

        class Swaps(str):
            @property
            def __vorda_kind__(self):
                # Same size, new keys: the walk yields more entries than it started with.
                if len(made) < 50:
                    del inputs[next(iter(inputs))]
                    made.append(Swaps("x"))
                    inputs[f"k{len(made)}"] = made[-1]
                return "no"

        inputs["a"] = Swaps("x")
        inputs["b"] = Swaps("y")
        with pytest.raises(BaseException) as info:
            asset(inputs=inputs)
        assert internal_failure(info) == "dictionary keys changed during iteration"

    def test_source_hook_mutating_dict(self, monkeypatch):
        import inspect

        inputs = {"a": asset()(f)}
        real = inspect.getsourcefile

        def getsourcefile(obj):
            inputs.clear()
            return real(obj)

        monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
        with pytest.raises(BaseException) as info:
            asset(inputs=inputs)
        assert internal_failure(info) == "dictionary changed size during iteration"


class TestWrapper:
    def test_attributes(self):
        w = asset()(f)
        assert w.__vorda_kind__ == "asset"
        assert w.__vorda_original__ is f and w.__wrapped__ is f
        assert w.__name__ == "f" and w.__qualname__ == "f"
        assert w.__module__ == __name__
        assert w.__doc__ == "f's doc"
        assert type(w) is AssetWrapper and type(w).__name__ == "AssetWrapper"

    def test_attributes_follow_the_wrapped_object(self):
        def g():
            pass

        w = asset()(g)
        g.__name__ = "renamed"
        g.__doc__ = "later doc"
        assert w.__name__ == "renamed" and w.__doc__ == "later doc"

    def test_missing_attributes_raise_the_wrapped_objects_error(self):
        w = asset()(42)
        assert w.__vorda_original__ == 42
        with pytest.raises(AttributeError):
            w.__name__
        with pytest.raises(TypeError, match="not callable"):
            w()

    def test_read_only(self):
        w = asset()(f)
        for attr in ["x", "__name__", "__vorda_kind__", "__doc__", "__wrapped__"]:
            with pytest.raises(AttributeError):
                setattr(w, attr, 1)
        with pytest.raises(AttributeError):
            del w.__vorda_metadata__
        with pytest.raises(TypeError):
            weakref.ref(w)

    def test_class_level_descriptors(self):
        assert type(AssetWrapper.__dict__["__doc__"]).__name__ == "getset_descriptor"
        assert AssetWrapper.__doc__ is AssetWrapper.__dict__["__doc__"]
        assert AssetWrapper.__module__ is AssetWrapper.__dict__["__module__"]
        names = [n for n, v in AssetWrapper.__dict__.items() if type(v).__name__ == "getset_descriptor"]
        assert names == [
            "__vorda_metadata__",
            "__vorda_kind__",
            "__vorda_original__",
            "__name__",
            "__doc__",
            "__module__",
            "__qualname__",
            "__wrapped__",
        ]

    def test_metadata_is_fresh_each_read(self):
        w = asset(inputs={"a": "b"})(f)
        first, second = w.__vorda_metadata__, w.__vorda_metadata__
        assert first == second and first is not second and first["inputs"] is not second["inputs"]
        first["name"] = "x"
        assert w.__vorda_metadata__["name"] is None


class TestCalls:
    def record(self):
        calls = []

        def target(*args, **kwargs):
            calls.append((args, kwargs))
            return "result"

        return calls, target

    @pytest.mark.parametrize("via", ["vectorcall", "tp_call"])
    def test_arguments_are_forwarded_exactly(self, via):
        calls, target = self.record()
        w = asset()(target)
        call = w if via == "vectorcall" else (lambda *a, **k: type(w).__call__(w, *a, **k))
        assert call(1, b=2) == "result"
        assert call() == "result"
        assert call(*range(10), **{f"k{i}": i for i in range(5)}) == "result"
        assert calls == [((1,), {"b": 2}), ((), {}), (tuple(range(10)), {f"k{i}": i for i in range(5)})]

    def test_exceptions_come_out_unchanged(self):
        boom = ValueError("boom")

        def target():
            raise boom

        with pytest.raises(ValueError) as info:
            asset()(target)()
        assert info.value is boom

    def test_descriptor_returns_the_wrapper(self):
        calls, target = self.record()

        class Holder:
            method = asset()(target)

        h = Holder()
        assert h.method is Holder.__dict__["method"]
        h.method(1)
        Holder.method(2)
        assert calls == [((1,), {}), ((2,), {})]

    def test_wrapper_around_a_bound_method_and_partial(self):
        import functools

        w = asset()(functools.partial(f, 1))
        assert w(b=5) == (1, 5)
        with pytest.raises(AttributeError):
            w.__name__


def test_wrapped_reference_is_released():
    def target():
        pass

    before = sys.getrefcount(target)
    wrappers = [asset(name="x")(target) for _ in range(100)]
    assert sys.getrefcount(target) == before + 100
    del wrappers
    assert sys.getrefcount(target) == before


def test_decorated_assets_materialize_end_to_end(moddir, tmp_path):
    moddir.write(
        "pipeline.assets",
        """
        from vorda import asset

        @asset()
        def raw():
            return [1, 2, 3]

        @asset(inputs={"data": raw})
        def processed(data: list) -> list:
            return [x * 2 for x in data]
        """,
    )
    out = tmp_path / "out"
    materialize_asset("pipeline.assets", "processed", str(out), '{"data": [1, 2, 3]}')
    assert (out / "value.json").read_text() == "[2, 4, 6]"
    assert '"signature":"(data: list) -> list"' in (out / "result.json").read_text()
