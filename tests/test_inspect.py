import importlib
import inspect
import io
import json
import linecache
import pathlib
import sys

import pytest

from conftest import fd2_captured
from vorda._vorda import inspect_modules

RECORD_KEYS = [
    "decorator_metadata",
    "file_path",
    "function_name",
    "function_source",
    "kind",
    "module_path",
    "module_source",
    "python_version",
    "return_type",
]
VERSION = "{}.{}.{}".format(*sys.version_info[:3])


def assets(modules):
    return json.loads(inspect_modules(modules))["assets"]


def by_name(records):
    return {r["function_name"]: r for r in records}


SALES = """\
from vorda import asset

@asset()
def daily_totals() -> dict:
    return {"total": 42}
"""


class TestReport:
    def test_worked_example(self, moddir):
        path = moddir.write("shop.sales", SALES)
        escaped = 'from vorda import asset\\n\\n@asset()\\ndef daily_totals() -> dict:\\n    return {\\"total\\": 42}\\n'
        expected = (
            '{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":null,"partitions":null,'
            '"serializer":null},"file_path":' + json.dumps(str(path.resolve())) + ',"function_name":"daily_totals",'
            '"function_source":"@asset()\\ndef daily_totals() -> dict:\\n    return {\\"total\\": 42}\\n",'
            '"kind":"asset","module_path":"shop.sales","module_source":"' + escaped + '",'
            '"python_version":"' + VERSION + '","return_type":"dict"}]}'
        )
        assert inspect_modules(["shop.sales"]) == expected
        # A tuple of names works the same.
        assert inspect_modules(("shop.sales",)) == expected

    def test_no_modules_still_sets_up(self, monkeypatch):
        assert inspect_modules([]) == '{"assets":[]}'
        # The standard modules and the version are read even for no names.
        monkeypatch.setitem(sys.modules, "pathlib", None)
        monkeypatch.setitem(sys.modules, "textwrap", None)
        with pytest.raises(ImportError, match="textwrap"):
            inspect_modules([])
        monkeypatch.undo()
        monkeypatch.setattr(sys, "version_info", type("V", (), {"major": 3, "minor": 11})())
        with pytest.raises(AttributeError, match="micro"):
            inspect_modules([])

    def test_version_is_read_at_each_call(self, moddir, monkeypatch):
        moddir.write("shop.sales", SALES)
        monkeypatch.setattr(sys, "version_info", type("V", (), {"major": 3, "minor": 99, "micro": 0})())
        (record,) = assets(["shop.sales"])
        assert record["python_version"] == "3.99.0"

    def test_record_shape_and_key_order(self, moddir):
        moddir.write(
            "shop.many",
            """\
            from vorda import asset

            @asset(name="b")
            def beta(): return 2

            @asset(name="a")
            def alpha(): return 1
            """,
        )
        text = inspect_modules(["shop.many"])
        # One compact line, keys sorted at every level.
        assert text == json.dumps(json.loads(text), separators=(",", ":"), sort_keys=True, ensure_ascii=False)
        records = json.loads(text, object_pairs_hook=lambda pairs: pairs)[0][1]
        assert len(records) == 2
        for record in records:
            assert [k for k, _ in record] == RECORD_KEYS
        data = json.loads(text)["assets"]
        # Name order of the members, and the module text repeated in each.
        assert [r["function_name"] for r in data] == ["alpha", "beta"]
        assert data[0]["module_source"] == data[1]["module_source"]
        assert data[0]["module_source"].startswith("from vorda import asset\n")
        assert data[0]["decorator_metadata"]["name"] == "a"

    def test_sources_are_dedented_and_stripped(self, moddir):
        moddir.write(
            "shop.nested",
            "\n\n   \nfrom vorda import asset\n\nif True:\n    @asset()\n    def inner():\n        return 1\n\n\n  \n",
        )
        (record,) = assets(["shop.nested"])
        assert record["function_source"] == "@asset()\ndef inner():\n    return 1\n"
        assert record["module_source"] == "from vorda import asset\n\nif True:\n    @asset()\n    def inner():\n        return 1\n"

    def test_large_modules_in_one_report(self, moddir):
        # Module texts long enough to be escaped once and copied into each
        # record: two modules of the same length but different text, then
        # one with non-ASCII text (the report leaves its ASCII form).
        def module(tag, n):
            body = "".join(f'@asset()\ndef {tag}_{i}():\n    """{tag} \\\\ "q" {i:04d}"""\n\n' for i in range(n))
            return "from vorda import asset\n\n" + body

        moddir.write("big.first", module("aa", 100))
        moddir.write("big.second", module("bb", 100))
        moddir.write("big.third", module("cc", 3).replace("cc \\", "\u00e9\U0001f600 \\"))
        text = inspect_modules(["big.first", "big.second", "big.first", "big.third"])
        assert text == json.dumps(json.loads(text), separators=(",", ":"), sort_keys=True, ensure_ascii=False)
        records = json.loads(text)["assets"]
        paths = [r["module_path"] for r in records]
        assert paths == ["big.first"] * 100 + ["big.second"] * 100 + ["big.first"] * 100 + ["big.third"] * 3
        for r in records:
            source = inspect.getsource(sys.modules[r["module_path"]])
            assert r["module_source"] == source.strip() + "\n"
        assert len(records[0]["module_source"]) == len(records[100]["module_source"]) > 4096
        assert "\u00e9\U0001f600 \\\\" in records[-1]["function_source"]

class TestSkippedModules:
    def good(self, moddir):
        moddir.write("shop.sales", SALES)
        moddir.write("shop.more", "from vorda import asset\n\n@asset()\ndef more():\n    return 1\n")

    def test_missing_module_between_good_ones(self, moddir):
        self.good(moddir)
        with fd2_captured() as err:
            records = assets(["shop.sales", "shop.nothing", "shop.more"])
        assert err.text == "vorda: skipping module 'shop.nothing': ModuleNotFoundError: No module named 'shop.nothing'\n"
        assert [r["module_path"] for r in records] == ["shop.sales", "shop.more"]

    @pytest.mark.parametrize(
        "source, description",
        [
            ("raise ValueError('boom')", "ValueError: boom"),
            ("import sys\nsys.exit(3)", "SystemExit: 3"),
            ("class BaseIsh(BaseException): pass\nraise BaseIsh('odd')", "BaseIsh: odd"),
            ("import shop.nothing_here", "ModuleNotFoundError: No module named 'shop.nothing_here'"),
            (
                "class Outer:\n    class Bad(Exception):\n        def __str__(self): raise RuntimeError\nraise Outer.Bad()",
                "Outer.Bad: <exception str() failed>",
            ),
            ("raise ValueError('a\\udc80b\\ud800')", "ValueError: a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd"),
        ],
    )
    def test_import_failure_is_one_line_and_the_call_goes_on(self, moddir, source, description):
        self.good(moddir)
        moddir.write("shop.broken", source + "\n")
        with fd2_captured() as err:
            records = assets(["shop.sales", "shop.broken", "shop.more"])
        assert err.text == f"vorda: skipping module 'shop.broken': {description}\n"
        assert len(records) == 2

    def test_syntax_error_and_repeated_names(self, moddir):
        moddir.write("shop.bad_syntax", "def (:\n")
        with fd2_captured() as err:
            assert inspect_modules(["shop.bad_syntax", "shop.bad_syntax"]) == '{"assets":[]}'
        lines = err.text.splitlines(keepends=True)
        assert len(lines) == 2 and lines[0] == lines[1]
        assert lines[0].startswith("vorda: skipping module 'shop.bad_syntax': SyntaxError: ")

    def test_line_bypasses_sys_stderr(self, moddir, monkeypatch):
        replaced = io.StringIO()
        monkeypatch.setattr(sys, "stderr", replaced)
        with fd2_captured() as err:
            inspect_modules(["shop_absent"])
        assert replaced.getvalue() == ""
        assert err.text == "vorda: skipping module 'shop_absent': ModuleNotFoundError: No module named 'shop_absent'\n"


class TestReturnType:
    def test_annotations(self, moddir):
        moddir.write(
            "shop.returns",
            """\
            import typing
            from vorda import asset

            class Outer:
                class Inner:
                    pass

            @asset()
            def plain(): pass

            @asset()
            def nothing() -> None: pass

            @asset()
            def mapping() -> dict: pass

            @asset()
            def nested() -> Outer.Inner: pass

            @asset()
            def optional() -> typing.Optional[int]: pass

            @asset()
            def quoted() -> "Frame": pass

            @asset()
            def generic() -> list[int]: pass

            @asset()
            def number() -> 3: pass
            """,
        )
        records = by_name(assets(["shop.returns"]))
        returns = {name: r["return_type"] for name, r in records.items()}
        assert returns == {
            "plain": None,
            "nothing": "None",
            "mapping": "dict",
            "nested": "Inner",
            "optional": "typing.Optional[int]",
            "quoted": "Frame",
            "generic": "list[int]",
            "number": "3",
        }

    def test_postponed_annotations_are_text(self, moddir):
        moddir.write(
            "shop.postponed",
            """\
            from __future__ import annotations
            from vorda import asset

            @asset()
            def mapping() -> dict: pass

            @asset()
            def frame() -> Frame: pass

            @asset()
            def plain(): pass
            """,
        )
        returns = {r["function_name"]: r["return_type"] for r in assets(["shop.postponed"])}
        assert returns == {"mapping": "dict", "frame": "Frame", "plain": None}


class TestMembers:
    def test_only_exact_asset_marker_counts(self, moddir):
        moddir.write(
            "shop.markers",
            """\
            from vorda import AssetWrapper, asset

            class Text(str):
                def __eq__(self, other):
                    return True
                __hash__ = str.__hash__

            class Raising:
                @property
                def __vorda_kind__(self):
                    raise KeyboardInterrupt("do not stop")

            def upper(): pass
            upper.__vorda_kind__ = "Asset"
            def spaced(): pass
            spaced.__vorda_kind__ = "asset "
            def number(): pass
            number.__vorda_kind__ = 5
            def raw(): pass
            raw.__vorda_kind__ = b"asset"
            def surrogate(): pass
            surrogate.__vorda_kind__ = "asset\\udc80"
            def lying(): pass
            lying.__vorda_kind__ = Text("nope")
            raising = Raising()
            wrapper_class = AssetWrapper

            def honest(): pass
            honest.__vorda_kind__ = Text("asset")
            honest.__vorda_metadata__ = None
            """,
        )
        with fd2_captured() as err:
            records = assets(["shop.markers"])
        assert err.text == ""
        assert [r["function_name"] for r in records] == ["honest"]
        assert records[0]["decorator_metadata"] is None
        assert records[0]["kind"] == "asset"

    def test_hand_made_asset_uses_the_object_itself(self, moddir):
        path = moddir.write(
            "shop.manual",
            """\
            def made(x: int) -> str:
                return str(x)

            made.__vorda_kind__ = "asset"
            made.__vorda_metadata__ = {"b": [1, 2.5], "a": {"z": None}, "s": "\\u00e9"}
            """,
        )
        text = inspect_modules(["shop.manual"])
        assert '"decorator_metadata":{"a":{"z":null},"b":[1,2.5],"s":"\u00e9"}' in text
        (record,) = json.loads(text)["assets"]
        assert record["function_name"] == "made"
        assert record["function_source"] == "def made(x: int) -> str:\n    return str(x)\n"
        assert record["file_path"] == str(path.resolve())
        assert record["return_type"] == "str"

    def test_original_read_failure_falls_back_to_member(self, moddir):
        moddir.write(
            "shop.klass",
            """\
            class Meta(type):
                @property
                def __vorda_original__(cls):
                    raise RuntimeError("no original")

            class Table(metaclass=Meta):
                __vorda_kind__ = "asset"
                __vorda_metadata__ = {}
            """,
        )
        (record,) = assets(["shop.klass"])
        assert record["function_name"] == "Table"
        assert record["function_source"].startswith("class Table(metaclass=Meta):\n")
        assert record["decorator_metadata"] == {}

    def test_aliases_give_one_record_per_name(self, moddir):
        moddir.write("shop.sales", SALES + "\nalias = daily_totals\n")
        first, second = assets(["shop.sales"])
        assert first == second
        assert first["function_name"] == "daily_totals"

    def test_imported_asset_reported_under_each_module(self, moddir):
        sales = moddir.write("shop.sales", SALES)
        moddir.write("shop.report", "from shop.sales import daily_totals\n")
        first, second = assets(["shop.sales", "shop.report"])
        for record in (first, second):
            assert record["file_path"] == str(sales.resolve())
            assert record["function_name"] == "daily_totals"
            assert record["function_source"].startswith("@asset()\ndef daily_totals()")
        assert (first["module_path"], second["module_path"]) == ("shop.sales", "shop.report")
        assert second["module_source"] == "from shop.sales import daily_totals\n"


class TestFailures:
    def test_builtin_module_ends_the_call(self):
        with pytest.raises(TypeError) as info:
            inspect_modules(["sys"])
        with pytest.raises(TypeError) as direct:
            inspect.getsource(sys)
        assert str(info.value) == str(direct.value)

    def test_module_without_source_ends_the_call(self, moddir):
        path = moddir.write("shop.gone", "X = 1\n")
        importlib.import_module("shop.gone")
        path.unlink()
        linecache.clearcache()
        with pytest.raises(OSError):
            inspect_modules(["shop.gone"])

    def test_getsourcefile_raising_gives_empty_path(self, moddir, monkeypatch):
        moddir.write("shop.sales", SALES)
        real = inspect.getsourcefile

        def getsourcefile(obj):
            # inspect.getsource needs the real answer; only the direct call fails.
            if sys._getframe(1).f_globals.get("__name__") == "inspect":
                return real(obj)
            raise OSError("no file for you")

        monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
        (record,) = assets(["shop.sales"])
        assert record["file_path"] == ""
        assert record["function_source"].startswith("@asset()")

    def test_getsourcefile_none_ends_the_call(self, moddir, monkeypatch):
        moddir.write("shop.sales", SALES)
        real = inspect.getsourcefile

        def getsourcefile(obj):
            if sys._getframe(1).f_globals.get("__name__") == "inspect":
                return real(obj)
            return None

        monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
        with pytest.raises(TypeError) as info:
            inspect_modules(["shop.sales"])
        with pytest.raises(TypeError) as direct:
            pathlib.Path(None)
        assert str(info.value) == str(direct.value)

    def test_member_items_must_be_tuples(self, moddir, monkeypatch):
        moddir.write("shop.sales", SALES)
        monkeypatch.setattr(inspect, "getmembers", lambda module: [["daily_totals", None]])
        with pytest.raises(TypeError, match=r"^'list' object cannot be converted to 'PyTuple'$"):
            inspect_modules(["shop.sales"])

        class Pair(tuple):
            pass

        mod = importlib.import_module("shop.sales")
        monkeypatch.setattr(inspect, "getmembers", lambda module: iter([Pair(("x", mod.daily_totals))]))
        assert len(assets(["shop.sales"])) == 1

        monkeypatch.setattr(inspect, "getmembers", lambda module: [("short",)])
        with pytest.raises(IndexError):
            inspect_modules(["shop.sales"])

        monkeypatch.setattr(inspect, "getmembers", lambda module: 42)
        with pytest.raises(TypeError, match="not iterable"):
            inspect_modules(["shop.sales"])

    def test_metadata_conversion_errors_propagate(self, moddir):
        moddir.write(
            "shop.badmeta",
            """\
            def nan(): pass
            nan.__vorda_kind__ = "asset"
            nan.__vorda_metadata__ = {"x": float("nan")}
            """,
        )
        with pytest.raises(RuntimeError, match=r"^JSON parse error: expected value at line 1 column 7$"):
            inspect_modules(["shop.badmeta"])

        moddir.write(
            "shop.setmeta",
            """\
            def s(): pass
            s.__vorda_kind__ = "asset"
            s.__vorda_metadata__ = {"x": {1, 2}}
            """,
        )
        with pytest.raises(TypeError, match="not JSON serializable"):
            inspect_modules(["shop.setmeta"])

    def test_user_exceptions_pass_through_as_the_same_object(self, moddir):
        moddir.write(
            "shop.raising",
            """\
            ERROR = LookupError("metadata unavailable")

            class Member:
                @property
                def __vorda_kind__(self):
                    return "asset"

                @property
                def __vorda_metadata__(self):
                    raise ERROR

            member = Member()
            """,
        )
        with pytest.raises(LookupError) as info:
            inspect_modules(["shop.raising"])
        assert info.value is sys.modules["shop.raising"].ERROR
