"""Code versions: which edits change an asset's version, read from real module files."""

import ast
import textwrap

import pytest

from vorda.run.planning.code_version import Project, changed, code_version, own_version
from vorda.run.planning.discovery import _code_version

CLEAN = '''\
"""Cleaning."""
import os
from typing import Any

from vorda import asset, partitions

import shop.util as u
from shop.util import fmt
import extpkg

REGIONS = partitions(["north", "south"])
SCALE = 2


def scaled(rows):
    return [r * SCALE for r in rows]


def unused():
    return "unused"


class Box:
    def size(self):
        return len(scaled([1]))


def even(n):
    return n == 0 or odd(n - 1)


def odd(n):
    return n != 0 and even(n - 1)


@asset()
def orders() -> list[int]:
    return [1, 2, 3]


@asset(inputs={"orders": orders}, partitions={"region": REGIONS})
def clean_rows(orders: list[int], region: str) -> Any:
    return scaled(orders), fmt(orders), u.pad(region), Box().size(), even(2), os.sep, extpkg.VALUE


@asset()
def local_import() -> str:
    from shop import util
    return util.pad("x")
'''

UTIL = '''\
import json

LIMIT = 10


def fmt(rows):
    return json.dumps(rows)[:LIMIT]


def pad(text):
    return text.ljust(WIDTH)


WIDTH = 8


def spare():
    return 0
'''


@pytest.fixture
def project(tmp_path):
    """A project directory with a package `shop`, and an installed package
    on the search path beside it."""
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "__init__.py").write_text("")
    (tmp_path / "shop" / "clean.py").write_text(CLEAN)
    (tmp_path / "shop" / "util.py").write_text(UTIL)
    site = tmp_path / "venv" / "lib" / "site-packages"
    (site / "extpkg").mkdir(parents=True)
    (site / "extpkg" / "__init__.py").write_text("VALUE = 1\n")
    return tmp_path


def version(root, function, module="shop.clean", cache=None):
    """The version as discovery would compute it, from the files as they are now."""
    path = root.joinpath(*module.split(".")).with_suffix(".py")
    source = path.read_text()
    found = None
    for node in ast.parse(source).body:
        if isinstance(node, ast.FunctionDef) and node.name == function:
            first = min([node.lineno, *(d.lineno for d in node.decorator_list)])
            found = "".join(source.splitlines(keepends=True)[first - 1 : node.end_lineno])
    function_source = textwrap.dedent(found or f"{function} = ...\n")
    search = [str(root), str(root / "venv" / "lib" / "site-packages")]
    project = Project([str(root)], search, cache=cache)
    if cache:
        project.prepare([module])
    got = code_version(project, module, function, function_source, {"inputs": None})
    project.save()
    return got


def edit(root, file, old, new):
    path = root / file
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new, 1))


@pytest.mark.parametrize(
    "file, old, new, label",
    [
        ("shop/clean.py", "SCALE = 2", "SCALE = 3", "SCALE in shop/clean.py"),
        ("shop/clean.py", "r * SCALE", "r + SCALE", "scaled in shop/clean.py"),
        ("shop/clean.py", "return len(", "return 1 + len(", "Box in shop/clean.py"),
        # reached through even, which odd calls back
        ("shop/clean.py", "n != 0 and", "n > 0 and", "odd in shop/clean.py"),
        ('shop/clean.py', '["north", "south"]', '["north"]', "REGIONS in shop/clean.py"),
        ("shop/clean.py", "return scaled(orders)", "return  scaled(orders)", "clean_rows in shop/clean.py"),
        # from shop.util import fmt; fmt reads LIMIT
        ("shop/util.py", "LIMIT = 10", "LIMIT = 20", "LIMIT in shop/util.py"),
        # import shop.util as u; u.pad reads WIDTH, bound after it
        ("shop/util.py", "WIDTH = 8", "WIDTH = 9", "WIDTH in shop/util.py"),
    ],
)
def test_an_edit_to_reached_code_changes_the_version_and_is_named(project, file, old, new, label):
    before = version(project, "clean_rows")
    edit(project, file, old, new)
    after = version(project, "clean_rows")
    assert after.digest != before.digest
    assert changed(before.covers, after) == [label]
    assert after.dynamic == []


@pytest.mark.parametrize(
    "file, old, new",
    [
        ("shop/clean.py", "return [1, 2, 3]", "return [4]"),  # the upstream asset, read as an input
        ("shop/clean.py", 'return "unused"', 'return "still unused"'),
        ("shop/clean.py", "SCALE = 2\n", "SCALE = 2\n# a comment\n\n\n"),
        ("shop/clean.py", '"""Cleaning."""', '"""Cleaning rows."""'),
        ("shop/util.py", "return 0", "return 1"),
        ("shop/util.py", "import json\n", "import json  # the standard library's\n"),
        ("venv/lib/site-packages/extpkg/__init__.py", "VALUE = 1", "VALUE = 2"),  # installed
    ],
)
def test_an_edit_to_code_not_reached_keeps_the_version(project, file, old, new):
    before = version(project, "clean_rows")
    edit(project, file, old, new)
    assert version(project, "clean_rows") == before


def test_covers_only_project_definitions_and_follows_imports_inside_functions(project):
    covers = version(project, "clean_rows").covers
    assert set(covers) == {
        "clean_rows in shop/clean.py", "scaled in shop/clean.py", "SCALE in shop/clean.py", "Box in shop/clean.py",
        "even in shop/clean.py", "odd in shop/clean.py", "REGIONS in shop/clean.py", "fmt in shop/util.py",
        "LIMIT in shop/util.py", "pad in shop/util.py", "WIDTH in shop/util.py",
    }
    before = version(project, "local_import")
    edit(project, "shop/util.py", "WIDTH = 8", "WIDTH = 9")
    assert changed(before.covers, version(project, "local_import")) == ["WIDTH in shop/util.py"]


def test_own_code_alone_keeps_the_version_discovery_gives_today(project):
    record = {"function_source": "@asset()\ndef orders() -> list[int]:\n    return [1, 2, 3]\n",
              "decorator_metadata": {"inputs": None}}
    got = version(project, "orders")
    assert got.digest == _code_version(record) == own_version(record["function_source"], {"inputs": None})
    (project / "shop" / "again.py").write_text("from shop.clean import orders\n")
    assert code_version(Project([str(project)], [str(project)]), "shop.again", "orders", record["function_source"],
                        {"inputs": None}) == got
    edit(project, "shop/clean.py", "return [1, 2, 3]", "return [1, 2]")
    assert version(project, "orders").digest != got.digest


@pytest.mark.parametrize(
    "body, whole",
    [
        ("return getattr(plug, os.environ['NAME'])()", "shop/plug.py"),
        ("return globals()['run']()", "shop/dyn.py"),
        ("return eval('run()')", "shop/dyn.py"),
        ("return importlib.import_module(os.environ['NAME']).run()", "shop/dyn.py"),
        ("return importlib.import_module('shop.plug').run()", "shop/plug.py"),
        ("return run()", "shop/plug.py"),  # from shop.plug import *
        ("return plug.__dict__['run']()", "shop/plug.py"),
    ],
)
def test_a_reference_not_resolved_statically_includes_the_whole_module(project, body, whole):
    (project / "shop" / "plug.py").write_text("def run():\n    return 1\n\n\ndef other():\n    return 2\n")
    star = "from shop.plug import *\n" if body == "return run()" else ""
    (project / "shop" / "dyn.py").write_text(
        f"import importlib\nimport os\nfrom vorda import asset\nfrom shop import plug\n{star}\n\n"
        f"@asset()\ndef pick():\n    {body}\n\n\ndef elsewhere():\n    return 3\n"
    )
    before = version(project, "pick", "shop.dyn")
    assert whole in before.dynamic and whole in before.covers
    # Any edit of that module counts, even a comment.
    edit(project, whole, "\n\n\ndef ", "\n\n# a comment\ndef ")
    after = version(project, "pick", "shop.dyn")
    assert changed(before.covers, after) == [whole]


def test_an_asset_made_by_a_factory_covers_its_whole_module(project):
    (project / "shop" / "made.py").write_text(
        "from vorda import asset\n\nfrom shop.util import pad\n\n\ndef make(n):\n"
        "    @asset(name=f'a{n}')\n    def made():\n        return pad(str(n))\n    return made\n\n\nA1 = make(1)\n"
    )
    before = version(project, "made", "shop.made")
    assert before.dynamic == ["shop/made.py"]
    assert "WIDTH in shop/util.py" in before.covers  # what the whole module reaches
    edit(project, "shop/made.py", "make(1)", "make(2)")
    assert changed(before.covers, version(project, "made", "shop.made")) == ["shop/made.py"]


def test_a_cache_of_module_analyses_gives_the_same_versions_and_never_a_stale_one(project):
    cache = str(project / "code-versions.cache")
    first = version(project, "clean_rows", cache=cache)
    assert first == version(project, "clean_rows")
    search = [str(project), str(project / "venv" / "lib" / "site-packages")]
    assert not Project([str(project)], search, cache=cache).module("shop.util").fresh  # taken from it
    assert version(project, "clean_rows", cache=cache) == first
    edit(project, "shop/util.py", "[:LIMIT]", "[:WIDTH]")  # what fmt reaches changes
    assert version(project, "clean_rows", cache=cache) == version(project, "clean_rows") != first
    with open(cache, "r+b") as damaged:
        damaged.seek(100)
        damaged.write(b"#")
    assert version(project, "clean_rows", cache=cache) == version(project, "clean_rows")


def test_cycles_across_modules_terminate(project):
    (project / "shop" / "ping.py").write_text(
        "from vorda import asset\nfrom shop.pong import pong, loop\n\n\n"
        "def ping(n):\n    return n and pong(n - 1)\n\n\n@asset()\ndef rally() -> int:\n    return ping(3) + loop\n"
    )
    # pong calls back into ping; `loop` is imported from each module by the other
    (project / "shop" / "pong.py").write_text(
        "from shop import ping as other\nfrom shop.ping import loop\n\n\n"
        "def pong(n):\n    return n and other.ping(n - 1)\n"
    )
    got = version(project, "rally", "shop.ping")
    assert set(got.covers) == {"rally in shop/ping.py", "ping in shop/ping.py", "pong in shop/pong.py"}
