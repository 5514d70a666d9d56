import gc
import json
import pathlib
import sys
import weakref

import pytest

from vorda._vorda import materialize_asset

SHOP = """
from vorda import asset

@asset()
def daily_total(orders: list, limit: int = 10) -> dict:
    if not orders:
        raise ValueError("no orders")
    return {"total": sum(orders), "label": "\\u00c4"}
"""

CASES = """
import sys
import weakref
from vorda import asset

def make():
    class Boom(Exception):
        pass
    return Boom

Boom = make()

class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")

class NotText(Exception):
    def __str__(self):
        return 5

class Meta(type):
    @property
    def __name__(cls):
        raise LookupError("no name")

class Nameless(Exception, metaclass=Meta):
    pass

class Tracked(Exception):
    pass

seen = []

def takes_x(x="default"):
    return x

def echo(value):
    return value

def raises_empty(): raise ValueError()
def exits(): sys.exit(3)
def interrupted(): raise KeyboardInterrupt
def returns_set(): return {1, 2}
def nested(): raise Boom("bang")
def bad_str(): raise BadStr("x")
def not_text(): raise NotText()
def escapes(): raise ValueError('say "hi" \\\\ back\\nnext \\u00c4 \\x1f')
def surrogates(): raise ValueError("a\\ud800b\\udcff")
def nameless(): raise Nameless("x")

def tracked():
    error = Tracked("kept?")
    seen.append(weakref.ref(error))
    raise error

no_signature = dict

@asset()
def wrapped(größe: int = 1) -> str:
    return "\\u00e9" * größe
"""


def failing(*args):
    """Run a failing materialization; return the SystemExit it raises."""
    with pytest.raises(SystemExit) as info:
        materialize_asset(*args)
    assert type(info.value.code) is int and info.value.code == 1
    assert info.value.__context__ is None and info.value.__cause__ is None
    return info.value


def record(out):
    return json.loads((out / "result.json").read_bytes().decode("utf-8"))


@pytest.fixture
def cases(moddir):
    moddir.write("pkg.cases", CASES)
    return "pkg.cases"


class TestSuccess:
    def test_worked_example(self, moddir, tmp_path, monkeypatch):
        moddir.write("shop.assets", SHOP)
        monkeypatch.chdir(tmp_path)
        assert materialize_asset("shop.assets", "daily_total", "out/run1", '{"orders": [3, 4]}') is None
        value = (tmp_path / "out/run1/value.json").read_bytes()
        assert value == b'{"total": 7, "label": "\\u00c4"}' and len(value) == 31
        assert (tmp_path / "out/run1/result.json").read_bytes() == (
            b'{"artifact_format":"json","function_name":"daily_total","module_path":"shop.assets","ok":true,'
            b'"result_type":"dict","signature":"(orders: list, limit: int = 10) -> dict",'
            b'"value_path":"out/run1/value.json"}'
        )

    def test_worked_failure_example(self, moddir, tmp_path, monkeypatch):
        moddir.write("shop.assets", SHOP)
        monkeypatch.chdir(tmp_path)
        failing("shop.assets", "daily_total", "out/run1", '{"orders": []}')
        assert not (tmp_path / "out/run1/value.json").exists()
        assert (tmp_path / "out/run1/result.json").read_bytes() == (
            b'{"error":"ValueError: no orders","error_type":"ValueError","ok":false}'
        )

    @pytest.mark.parametrize(
        "output_dir, value_path",
        [("out/", "out/value.json"), ("./out", "out/value.json"), (".", "value.json"), ("", "value.json"),
         ("a/b/c", "a/b/c/value.json")],
    )
    def test_value_path_forms(self, cases, tmp_path, monkeypatch, output_dir, value_path):
        monkeypatch.chdir(tmp_path)
        materialize_asset(cases, "takes_x", output_dir)
        assert record(tmp_path / pathlib.Path(value_path).parent)["value_path"] == value_path
        assert (tmp_path / value_path).read_bytes() == b'"default"'

    def test_absolute_output_dir(self, cases, tmp_path):
        materialize_asset(cases, "takes_x", str(tmp_path))
        assert record(tmp_path)["value_path"] == str(tmp_path / "value.json")

    @pytest.mark.parametrize(
        "inputs, value",
        [(None, b'"default"'), ("{}", b'"default"'), ('{"x": [1, 2]}', b"[1, 2]"), ('{"x": null}', b"null")],
    )
    def test_keyword_arguments(self, cases, tmp_path, inputs, value):
        materialize_asset(cases, "takes_x", str(tmp_path), inputs)
        assert (tmp_path / "value.json").read_bytes() == value
        assert record(tmp_path)["ok"] is True

    def test_omitted_keywords_argument(self, cases, tmp_path):
        materialize_asset(module_name=cases, function_name="takes_x", output_dir=str(tmp_path))
        assert (tmp_path / "value.json").read_bytes() == b'"default"'

    @pytest.mark.parametrize(
        "value, text, type_name",
        [("null", b"null", "NoneType"), ('"hi"', b'"hi"', "str"), ('{"b": 1, "a": 2}', b'{"b": 1, "a": 2}', "dict"),
         ("[1.5, true]", b"[1.5, true]", "list")],
    )
    def test_value_file_and_result_type(self, cases, tmp_path, value, text, type_name):
        materialize_asset(cases, "echo", str(tmp_path), '{"value": %s}' % value)
        assert (tmp_path / "value.json").read_bytes() == text
        assert record(tmp_path)["result_type"] == type_name

    def test_wrapper_target_calls_the_undecorated_function(self, cases, tmp_path):
        materialize_asset(cases, "wrapped", str(tmp_path), '{"größe": 2}')
        assert (tmp_path / "value.json").read_bytes() == b'"\\u00e9\\u00e9"'
        text = (tmp_path / "result.json").read_bytes()
        assert '"signature":"(größe: int = 1) -> str"'.encode() in text

    def test_original_is_called_not_the_target(self, moddir, tmp_path):
        moddir.write(
            "pkg.fake",
            """
            def original(n: int = 3) -> list:
                return list(range(n))

            class Fake:
                __vorda_original__ = staticmethod(original)
                def __call__(self):
                    raise AssertionError("the target itself was called")

            class Unreadable:
                @property
                def __vorda_original__(self):
                    raise KeyboardInterrupt
                def __call__(self, k: str) -> str:
                    return k * 2

            fake = Fake()
            unreadable = Unreadable()
            """,
        )
        materialize_asset("pkg.fake", "fake", str(tmp_path / "a"))
        assert (tmp_path / "a/value.json").read_bytes() == b"[0, 1, 2]"
        assert record(tmp_path / "a")["signature"] == "(n: int = 3) -> list"
        # Any failure to read the attribute means the target is the callable.
        materialize_asset("pkg.fake", "unreadable", str(tmp_path / "b"), '{"k": "ab"}')
        assert (tmp_path / "b/value.json").read_bytes() == b'"abab"'
        assert record(tmp_path / "b")["signature"] == "(k: str) -> str"

    def test_second_run_replaces_both_files(self, cases, tmp_path):
        materialize_asset(cases, "echo", str(tmp_path), '{"value": [1, 2, 3]}')
        materialize_asset(cases, "takes_x", str(tmp_path))
        assert (tmp_path / "value.json").read_bytes() == b'"default"'
        assert record(tmp_path)["function_name"] == "takes_x"
        # A later failure leaves the old value but states the failure.
        failing(cases, "raises_empty", str(tmp_path))
        assert (tmp_path / "value.json").read_bytes() == b'"default"'
        assert record(tmp_path)["ok"] is False

    def test_str_subclass_arguments_are_used_as_text(self, cases, tmp_path):
        class Text(str):
            def __hash__(self):
                raise AssertionError("subclass used")

            __eq__ = __hash__

        materialize_asset(Text(cases), Text("echo"), Text(str(tmp_path)), Text('{"value": 1}'))
        assert record(tmp_path)["function_name"] == "echo"
        assert record(tmp_path)["module_path"] == cases


class TestFailure:
    @pytest.mark.parametrize(
        "function, inputs, error, error_type",
        [
            ("missing", None, "AttributeError: module 'pkg.cases' has no attribute 'missing'", "AttributeError"),
            ("takes_x", "", "JSONDecodeError: Expecting value: line 1 column 1 (char 0)", "JSONDecodeError"),
            ("takes_x", "[1, 2]", "TypeError: 'list' object cannot be converted to 'PyDict'", "TypeError"),
            ("takes_x", "null", "TypeError: 'NoneType' object cannot be converted to 'PyDict'", "TypeError"),
            ("takes_x", '{"y": 1}', "TypeError: takes_x() got an unexpected keyword argument 'y'", "TypeError"),
            ("raises_empty", None, "ValueError: ", "ValueError"),
            ("exits", None, "SystemExit: 3", "SystemExit"),
            ("interrupted", None, "KeyboardInterrupt: ", "KeyboardInterrupt"),
            ("returns_set", None, "TypeError: Object of type set is not JSON serializable", "TypeError"),
            ("nested", None, "make.<locals>.Boom: bang", "Boom"),
            ("bad_str", None, "BadStr: <exception str() failed>", "BadStr"),
            ("not_text", None, "NotText: <exception str() failed>", "NotText"),
        ],
    )
    def test_failure_records(self, cases, tmp_path, function, inputs, error, error_type):
        failing(cases, function, str(tmp_path), inputs)
        assert record(tmp_path) == {"error": error, "error_type": error_type, "ok": False}
        assert not (tmp_path / "value.json").exists()

    @pytest.mark.parametrize(
        "module, error",
        [("pkg.nosuch", "ModuleNotFoundError: No module named 'pkg.nosuch'"), ("pkg.broken", "RuntimeError: at import")],
    )
    def test_module_import_failures(self, moddir, tmp_path, module, error):
        moddir.write("pkg.broken", "raise RuntimeError('at import')\n")
        failing(module, "f", str(tmp_path / "new/dir"))
        assert record(tmp_path / "new/dir")["error"] == error

    def test_message_escapes_and_raw_utf8(self, cases, tmp_path):
        failing(cases, "escapes", str(tmp_path))
        assert (tmp_path / "result.json").read_bytes() == (
            '{"error":"ValueError: say \\"hi\\" \\\\ back\\nnext Ä \\u001f","error_type":"ValueError","ok":false}'
        ).encode()

    def test_lone_surrogates_become_replacement_characters(self, cases, tmp_path):
        failing(cases, "surrogates", str(tmp_path))
        assert (tmp_path / "result.json").read_bytes() == (
            '{"error":"ValueError: a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd","error_type":"ValueError","ok":false}'
        ).encode()

    def test_signature_failure_after_value_written(self, cases, tmp_path):
        failing(cases, "no_signature", str(tmp_path))
        assert (tmp_path / "value.json").read_bytes() == b"{}"
        assert record(tmp_path) == {
            "error": "ValueError: no signature found for builtin type <class 'dict'>",
            "error_type": "ValueError",
            "ok": False,
        }

    def test_failure_is_released(self, cases, tmp_path):
        failing(cases, "tracked", str(tmp_path))
        gc.collect()
        assert sys.modules[cases].seen[0]() is None

    def test_unreadable_type_name_is_raised_and_nothing_written(self, cases, tmp_path):
        with pytest.raises(LookupError, match="^no name$"):
            materialize_asset(cases, "nameless", str(tmp_path / "out"))
        assert list((tmp_path / "out").iterdir()) == []

    def test_failed_record_write_is_raised(self, cases, tmp_path):
        (tmp_path / "result.json").mkdir()
        with pytest.raises(IsADirectoryError):
            materialize_asset(cases, "takes_x", str(tmp_path))
        # The value was written before the (failed) success record.
        assert (tmp_path / "value.json").read_bytes() == b'"default"'

    def test_exit_is_called_with_integer_one(self, cases, tmp_path, monkeypatch):
        calls = []
        monkeypatch.setattr(sys, "exit", lambda *args: calls.append(args))
        assert materialize_asset(cases, "raises_empty", str(tmp_path)) is None
        assert calls == [(1,)] and type(calls[0][0]) is int
        assert record(tmp_path)["ok"] is False

    def test_exit_is_not_chained_inside_a_handler(self, cases, tmp_path):
        try:
            raise KeyError("outer")
        except KeyError as outer:
            with pytest.raises(SystemExit) as info:
                materialize_asset(cases, "nested", str(tmp_path))
            assert info.value.__context__ is outer


class TestBeforeTheRun:
    def test_file_in_the_way(self, moddir, tmp_path):
        moddir.write("pkg.marker", "import sys\nsys.modules['pkg'].imported = True\n")
        blocker = tmp_path / "blocker"
        blocker.write_text("keep")
        with pytest.raises(FileExistsError):
            materialize_asset("pkg.marker", "f", str(blocker))
        assert blocker.read_text() == "keep"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["blocker", "pkg"]
        assert "pkg.marker" not in sys.modules

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"output_dir": pathlib.Path("x")}, "argument 'output_dir': 'PosixPath' object cannot be converted to 'PyString'"),
            ({"input_kwargs_json": {"a": 1}}, "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
        ],
    )
    def test_argument_errors_create_nothing(self, tmp_path, monkeypatch, kwargs, message):
        monkeypatch.chdir(tmp_path)
        args = {"module_name": "m", "function_name": "f", "output_dir": "x", **kwargs}
        with pytest.raises(TypeError) as info:
            materialize_asset(**args)
        assert str(info.value) == message
        with pytest.raises(UnicodeEncodeError):
            materialize_asset("m", "f", "x", "\udc80")
        assert list(tmp_path.iterdir()) == []
