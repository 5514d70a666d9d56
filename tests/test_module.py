import importlib
import pydoc
import subprocess
import sys
import textwrap
import types

import pytest

import vorda
import vorda._vorda as native

ALL = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


class TestSurface:
    def test_all_and_docstring(self):
        assert native.__all__ == ALL
        assert native.__doc__ == "The native `_vorda` module."
        for name in ALL:
            assert hasattr(native, name)

    def test_package_reexports(self):
        assert vorda.partitions is native.partitions
        assert vorda.inspect_modules is native.inspect_modules
        assert vorda.materialize_asset is native.materialize_asset
        assert vorda.AssetWrapper is native.AssetWrapper and vorda.Partitions is native.Partitions
        # The engine's names (AssetWrapper aside, see __init__) and the package's own.
        assert sorted(vorda.__all__) == sorted([*ALL, "load", "__version__"][1:])
        # help(vorda) renders (it cannot order AssetWrapper beside Partitions).
        overview = pydoc.render_doc(vorda, renderer=pydoc.plaintext)
        assert "AssetWrapper" in overview and "materialize_asset(" in overview

    def test_package_asset_takes_any_mapping(self):
        # The package's asset copies a non-dict Mapping into a dict for the engine.
        wrapped = vorda.asset(
            inputs=types.MappingProxyType({"d": "x:y"}), partitions=types.MappingProxyType({"p": vorda.partitions([1])})
        )(len)
        metadata = wrapped.__vorda_metadata__
        assert metadata["inputs"] == {"d": "x:y"}
        assert metadata["partitions"] == {"p": {"kind": "inline", "values_json": "[1]"}}
        assert vorda.asset.__doc__ == native.asset.__doc__
        with pytest.raises(TypeError, match=r"^asset\(\) takes 0 positional arguments but 1 was given$"):
            vorda.asset(len)
        with pytest.raises(TypeError, match=r"^'list' object cannot be converted to 'PyDict'$"):
            vorda.asset(inputs=[("d", "x:y")])

    @pytest.mark.parametrize(
        "name, signature",
        [
            ("asset", "(*, name=None, inputs=None, partitions=None, serializer=None)"),
            ("partitions", "(values)"),
            ("inspect_modules", "(modules)"),
            ("materialize_asset", "(module_name, function_name, output_dir, input_kwargs_json=None)"),
        ],
    )
    def test_functions_are_bound_builtins(self, name, signature):
        fn = getattr(native, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__name__ == name
        assert fn.__text_signature__ == signature
        assert fn.__self__ is native
        assert fn.__module__ == "vorda._vorda"
        assert not fn.__doc__.startswith(name + "(")

    def test_docstrings(self):
        assert native.asset.__doc__.startswith("Decorator that registers a Python function as a vorda asset.\n\nUsage\n")
        assert native.asset.__doc__.endswith("serializer : str, optional\n    Reserved for future use.  Leave unset.")
        assert native.partitions.__doc__ == (
            "Declare a static partition universe for use with ``@asset(partitions=...)``.\n\nExample::\n\n"
            "    from vorda import asset, partitions\n\n"
            '    @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})\n'
            "    def prices(ticker: str): ..."
        )
        assert native.inspect_modules.__doc__ == (
            "Inspect modules for vorda assets. Called by the `python -m vorda.inspect` CLI stub.\n\n"
            'Imports each module, finds functions with `__vorda_kind__ == "asset"`,\n'
            "extracts source and metadata, returns JSON string to stdout."
        )
        assert native.materialize_asset.__doc__ == (
            "Materialize a single asset function. Called by the `python -m vorda.worker` CLI stub.\n\n"
            "Imports the module, finds the function, calls the unwrapped original,\n"
            "serializes the result to JSON, writes value.json and result.json.\n\n"
            "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
            "passed as keyword arguments to the function."
        )

    def test_reimport_gives_the_same_module(self):
        saved = sys.modules.pop("vorda._vorda")
        try:
            again = importlib.import_module("vorda._vorda")
            assert again is saved
            assert again.asset is saved.asset
        finally:
            sys.modules["vorda._vorda"] = saved


@pytest.mark.parametrize("cls, name", [(native.AssetWrapper, "AssetWrapper"), (native.Partitions, "Partitions")])
class TestClasses:
    def test_no_constructor(self, cls, name):
        with pytest.raises(TypeError, match=rf"^No constructor defined for {name}$"):
            cls()
        with pytest.raises(TypeError, match=rf"^No constructor defined for {name}$"):
            cls(1, x=2)

    def test_not_subclassable(self, cls, name):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_names(self, cls, name):
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert "__dict__" not in dir(cls)
        assert cls.__weakrefoffset__ == 0
        assert cls.__dictoffset__ == 0


def test_class_docs():
    assert native.Partitions.__doc__ == "Marker type returned by `partitions([...])`. Stores the static values."
    assert native.Partitions.__module__ == "builtins"


def raises(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


class TestArgumentBinding:
    def test_count_errors(self):
        assert raises(native.asset, print) == "asset() takes 0 positional arguments but 1 was given"
        assert raises(native.asset, 1, 2) == "asset() takes 0 positional arguments but 2 were given"
        assert raises(native.partitions, [], []) == "partitions() takes 1 positional arguments but 2 were given"
        assert raises(native.inspect_modules, [], []) == "inspect_modules() takes 1 positional arguments but 2 were given"
        assert (
            raises(native.materialize_asset, "a", "b", "c", "d", "e")
            == "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"
        )

    def test_keyword_errors(self):
        assert raises(native.asset, nme="x") == "asset() got an unexpected keyword argument 'nme'"
        assert raises(native.partitions, [1], values=[2]) == "partitions() got multiple values for argument 'values'"
        assert (
            raises(native.materialize_asset, "a", "b", "c", module_name="x")
            == "materialize_asset() got multiple values for argument 'module_name'"
        )
        assert raises(native.inspect_modules, mods=[]) == "inspect_modules() got an unexpected keyword argument 'mods'"
        assert raises(native.asset, **{"\udcff": 1}) == "asset() got an unexpected keyword argument '\udcff'"

    def test_count_is_checked_before_keywords(self):
        assert raises(native.partitions, [], [], bogus=1) == "partitions() takes 1 positional arguments but 2 were given"

    def test_missing_arguments_are_joined(self):
        assert raises(native.partitions) == "partitions() missing 1 required positional argument: 'values'"
        assert raises(native.inspect_modules) == "inspect_modules() missing 1 required positional argument: 'modules'"
        assert (
            raises(native.materialize_asset, "m")
            == "materialize_asset() missing 2 required positional arguments: 'function_name' and 'output_dir'"
        )
        assert raises(native.materialize_asset) == (
            "materialize_asset() missing 3 required positional arguments: "
            "'module_name', 'function_name', and 'output_dir'"
        )
        assert (
            raises(native.materialize_asset, function_name="f")
            == "materialize_asset() missing 2 required positional arguments: 'module_name' and 'output_dir'"
        )

    def test_unexpected_keyword_before_missing(self):
        assert raises(native.partitions, value=[]) == "partitions() got an unexpected keyword argument 'value'"

    @pytest.mark.parametrize("param", ["module_name", "function_name", "output_dir", "input_kwargs_json"])
    def test_text_parameters(self, param, tmp_path):
        args = {"module_name": "m", "function_name": "f", "output_dir": str(tmp_path / "never")}
        args[param] = 3
        assert raises(native.materialize_asset, **args) == (
            f"argument '{param}': 'int' object cannot be converted to 'PyString'"
        )
        assert not (tmp_path / "never").exists()

    def test_text_conversion_of_asset_options(self):
        assert raises(native.asset, name=3) == "argument 'name': 'int' object cannot be converted to 'PyString'"
        assert raises(native.asset, serializer=b"x") == (
            "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"
        )
        # name is checked before serializer, both before the dicts
        assert raises(native.asset, serializer=1, name=2, inputs=5).startswith("argument 'name'")

    def test_qualified_type_names(self):
        class Outer:
            class Inner:
                pass

        assert raises(native.asset, name=Outer.Inner()) == (
            "argument 'name': 'TestArgumentBinding.test_qualified_type_names.<locals>.Outer.Inner' object cannot be converted to 'PyString'"
        )

    def test_lone_surrogate_is_the_interpreters_error(self, tmp_path):
        with pytest.raises(UnicodeEncodeError):
            native.materialize_asset("\ud800", "f", str(tmp_path))
        with pytest.raises(UnicodeEncodeError):
            native.asset(name="\udcff")

    def test_none_means_omitted(self):
        d = native.asset(name=None, inputs=None, partitions=None, serializer=None)
        assert d(len).__vorda_metadata__ == native.asset()(len).__vorda_metadata__

    def test_argument_error_has_no_cause_of_its_own(self):
        with pytest.raises(TypeError) as info:
            native.asset(name=1)
        assert info.value.__cause__ is None

    def test_str_subclasses_are_text(self):
        class S(str):
            def __eq__(self, other):
                raise AssertionError("not used")

            __hash__ = str.__hash__

        wrapper = native.asset(name=S("x"))(len)
        assert wrapper.__vorda_metadata__["name"] == "x"

    def test_inspect_modules_argument_forms(self):
        assert raises(native.inspect_modules, "shop.sales") == "argument 'modules': Can't extract `str` to `Vec`"
        assert raises(native.inspect_modules, {"a": 1}) == (
            "argument 'modules': 'dict' object cannot be converted to 'Sequence'"
        )
        assert raises(native.inspect_modules, {"a"}) == "argument 'modules': 'set' object cannot be converted to 'Sequence'"
        assert raises(native.inspect_modules, 5) == "argument 'modules': 'int' object cannot be converted to 'Sequence'"
        assert raises(native.inspect_modules, ["a", 1]) == (
            "argument 'modules': 'int' object cannot be converted to 'PyString'"
        )

    def test_partitions_argument_forms(self):
        assert raises(native.partitions, ("a", "b")) == (
            "argument 'values': 'tuple' object cannot be converted to 'PyList'"
        )
        assert raises(native.partitions, "abc") == "argument 'values': 'str' object cannot be converted to 'PyList'"


SUBINTERPRETER = textwrap.dedent(
    """
    import _xxsubinterpreters as interpreters
    import vorda._vorda
    interp = interpreters.create()
    code = '''
    try:
        import vorda._vorda
    except ImportError as error:
        result = "ImportError: " + str(error)
    else:
        result = "imported"
    assert result.startswith("ImportError"), result
    '''
    interpreters.run_string(interp, code)
    interpreters.destroy(interp)
    assert vorda._vorda.asset()(len)(\"ab\") == 2
    print("refused")
    """
)


def test_second_interpreter_is_refused():
    pytest.importorskip("_xxsubinterpreters")
    done = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "refused"
