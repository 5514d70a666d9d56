"""Values beyond JSON through `vorda run`: formats by name, inputs by
reference loaded by annotation, partitions of a frame as one table, matching
on shared dimensions, the store read by other tools, vorda.load, and the bad
inputs, on small real frames."""

import hashlib
import json
import os
import pickle
import subprocess
import sys

import pytest

import vorda

from test_run import PACKAGE_ROOT, Project, statuses

duckdb = pytest.importorskip("duckdb")
np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

FORMATS = """
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pyarrow.dataset as ds
from vorda import asset, values

values.register("text", "txt", lambda value, stream: stream.write(value.encode()),
                lambda path, annotation: open(path, encoding="utf-8").read())

@asset(serializer="parquet")
def penguins() -> pd.DataFrame:
    return pd.DataFrame({"species": ["Adelie", "Gentoo", "Adelie"], "mass": [3700.0, 5000.0, 3800.0]})

@asset(serializer="arrow")
def lazy() -> pl.LazyFrame:
    return pl.LazyFrame({"x": [1, 2, 3]})

@asset(serializer="npy")
def grid() -> np.ndarray:
    return np.arange(6, dtype=np.int32).reshape(2, 3)

@asset(serializer="pickle")
def kept():
    return {"when": __import__("datetime").date(2026, 12, 8), "n": np.int64(3)}

@asset(serializer="auto")
def auto_table():
    return pa.table({"a": [1]})

@asset(serializer="auto")
def auto_array():
    return np.zeros(2)

@asset(serializer="auto")
def auto_json():
    return {"plain": True}

@asset(serializer="text")
def note():
    return "hello"

def describe(value):
    return type(value).__module__.split(".")[0] + "." + type(value).__name__

@asset(inputs={"a": penguins, "b": penguins, "c": penguins, "d": penguins, "e": penguins, "f": penguins})
def readers(a: pd.DataFrame, b: pl.DataFrame, c: pl.LazyFrame, d: pa.Table, e: ds.Dataset, f) -> dict:
    return {"types": [describe(v) for v in (a, b, c, d, e, f)], "mass": float(a["mass"].sum()),
            "lazy": c.filter(pl.col("species") == "Gentoo").collect()["mass"].to_list()}

@asset(inputs={"lazy": lazy, "grid": grid, "kept": kept, "note": note, "table": auto_table})
def others(lazy, grid: np.ndarray, kept, note, table) -> dict:
    grid[0, 0] = 99  # copy-on-write: the stored array stays as it was
    return {"lazy": describe(lazy), "rows": lazy.collect().height, "grid": grid.tolist(), "kept": repr(kept),
            "note": note, "table": describe(table)}
"""


def files(project, *parts):
    return sorted(p.name for p in project.path.joinpath(".vorda", "assets", *parts).iterdir())


def record(project, *parts):
    return json.loads(project.path.joinpath(".vorda", "assets", *parts, "result.json").read_bytes())


@pytest.fixture
def project(tmp_path):
    return Project(tmp_path)


def test_formats_by_name_and_inputs_loaded_by_annotation(project):
    project.write("fmt", FORMATS)
    jobs, summary = project.run_json("fmt")
    assert summary["status"] == "ok", summary
    assert files(project, "fmt", "penguins") == ["result.json", "value.parquet"]
    assert files(project, "fmt", "lazy") == ["result.json", "value.arrow"]
    assert files(project, "fmt", "note") == ["result.json", "value.txt"]
    stored = {name: record(project, "fmt", name)["artifact_format"]
              for name in ("penguins", "lazy", "grid", "kept", "auto_table", "auto_array", "auto_json", "note")}
    assert stored == {"penguins": "parquet", "lazy": "arrow", "grid": "npy", "kept": "pickle",
                      "auto_table": "parquet", "auto_array": "npy", "auto_json": "json", "note": "text"}
    penguins = record(project, "fmt", "penguins")
    assert penguins["result_type"] == "DataFrame" and penguins["value_path"].endswith("penguins/value.parquet")
    assert project.value("fmt", "auto_json") == {"plain": True}

    got = project.value("fmt", "readers")
    # Unannotated: the type the asset returned.
    assert got["types"] == ["pandas.DataFrame", "polars.DataFrame", "polars.LazyFrame", "pyarrow.Table",
                            "pyarrow.FileSystemDataset", "pandas.DataFrame"]
    assert got["mass"] == 12500.0 and got["lazy"] == [5000.0]
    others = project.value("fmt", "others")
    assert others["lazy"] == "polars.LazyFrame" and others["rows"] == 3 and others["table"] == "pyarrow.Table"
    assert others["grid"] == [[99, 1, 2], [3, 4, 5]] and others["note"] == "hello"
    assert others["kept"] == "{'when': datetime.date(2026, 12, 8), 'n': np.int64(3)}"
    assert np.load(project.path / ".vorda/assets/fmt/grid/value.npy")[0, 0] == 0


PARTS = """
import pandas as pd
import polars as pl
from vorda import asset, partitions

SPECIES = partitions(["Adelie", "Gentoo"])
YEARS = partitions([2007, 2008])

@asset(serializer="parquet", partitions={"species": SPECIES, "year": YEARS})
def measured(species: str, year: int) -> pd.DataFrame:
    if False and (species, year) == ("Gentoo", 2008):
        raise ValueError("no Gentoo in 2008")
    return pd.DataFrame({"mass": [float(year), 1.0]})

@asset(inputs={"m": measured}, partitions={"species": SPECIES})
def by_species(m: pd.DataFrame, species: str) -> dict:
    return {"rows": len(m), "species": sorted(set(m["species"])), "years": sorted(int(y) for y in m["year"])}

@asset(inputs={"m": measured}, partitions={"year": YEARS})
def by_year(m, year: int) -> list:
    return [entry["partition"] for entry in m]

@asset(inputs={"m": measured})
def everything(m: pl.LazyFrame) -> list:
    return m.filter(pl.col("year") == 2008).select("species").collect()["species"].to_list()

@asset(serializer="parquet", partitions={"species": SPECIES})
def clashing(species: str) -> pd.DataFrame:
    return pd.DataFrame({"species": [species]})

@asset(inputs={"c": clashing})
def reads_clash(c: pd.DataFrame) -> int:
    return len(c)
"""


def test_partitions_as_one_table_and_matching_on_shared_dimensions(project):
    source = project.write("parts", PARTS)
    jobs, _ = project.run_json("parts", check=1)
    # One table of the species' two years, the dimensions as typed columns.
    assert project.value("parts", "by_species", "species=Gentoo") == {
        "rows": 4, "species": ["Gentoo"], "years": [2007, 2007, 2008, 2008]}
    # Unannotated: the list of the agreeing partitions only, in job order.
    assert project.value("parts", "by_year", "year=2008") == [
        {"species": "Adelie", "year": 2008}, {"species": "Gentoo", "year": 2008}]
    assert project.value("parts", "everything") == ["Adelie", "Adelie", "Gentoo", "Gentoo"]
    clash = jobs[("parts:reads_clash", "null")]
    assert clash["status"] == "failed"
    assert "partition dimension 'species' clashes with a column of the same name" in clash["error"]

    # One failed cell skips only the readers that depend on it.
    source.write_text(source.read_text().replace("if False and", "if True and"))
    jobs, _ = project.run_json("parts", check=1)
    got = statuses(jobs)
    assert got[("parts:measured", '{"species": "Gentoo", "year": 2008}')] == "failed"
    assert got[("parts:by_species", '{"species": "Gentoo"}')] == "skipped"
    assert got[("parts:by_year", '{"year": 2008}')] == "skipped"
    assert got[("parts:by_species", '{"species": "Adelie"}')] == "up-to-date"
    assert got[("parts:by_year", '{"year": 2007}')] == "up-to-date"


def test_the_store_reads_with_duckdb_and_polars(project):
    project.write("parts", PARTS)
    project.run_json("parts", "--select", "measured")
    pattern = str(project.path / ".vorda/assets/parts/measured/*/*/*.parquet")
    rows = duckdb.sql(f"SELECT species, year, sum(mass) FROM read_parquet('{pattern}', hive_partitioning = true) "
                      "GROUP BY ALL ORDER BY ALL").fetchall()
    assert rows == [("Adelie", 2007, 2008.0), ("Adelie", 2008, 2009.0), ("Gentoo", 2007, 2008.0),
                    ("Gentoo", 2008, 2009.0)]
    frame = pl.scan_parquet(pattern, hive_partitioning=True).filter(pl.col("year") == 2007).collect()
    assert frame.columns == ["mass", "species", "year"] and frame.height == 4


def test_unchanged_frames_keep_readers_up_to_date_and_changed_files_rerun(project):
    project.write("fmt", FORMATS)
    project.run_json("fmt")
    store = project.path / ".vorda/assets/fmt"
    before = hashlib.sha256((store / "penguins/value.parquet").read_bytes()).hexdigest()
    # The same table written again gives the same bytes: its readers stay up to date.
    jobs, _ = project.run_json("--force", "--select", "penguins", "fmt")
    assert hashlib.sha256((store / "penguins/value.parquet").read_bytes()).hexdigest() == before
    jobs, _ = project.run_json("fmt")
    assert set(statuses(jobs).values()) == {"up-to-date"}

    # A value file tampered with or deleted, of any format, reruns its job.
    (store / "penguins/value.parquet").write_bytes(b"PAR1 not a table")
    (store / "grid/value.npy").unlink()
    kept = store / "kept/value.pkl"
    kept.write_bytes(kept.read_bytes() + b"\0")
    # Written in place to the same size, its mtime put back (as touch -r or a sync tool would).
    same = store / "auto_json/value.json"
    info, data = same.stat(), same.read_bytes()
    with open(same, "r+b") as out:
        out.write(data[:-1] + (b" " if data[-1:] != b" " else b"\n"))
    os.utime(same, ns=(info.st_atime_ns, info.st_mtime_ns))
    jobs, _ = project.run_json("fmt")
    ran = {asset for (asset, _), status in statuses(jobs).items() if status in ("ok", "restored")}
    assert ran == {"fmt:penguins", "fmt:grid", "fmt:kept", "fmt:auto_json"}
    # The pickle was changed in place, which changed its kept copy too: it runs.
    assert statuses(jobs)[("fmt:kept", "null")] == "ok"
    assert hashlib.sha256((store / "penguins/value.parquet").read_bytes()).hexdigest() == before

    # A format changed: the file of the old one goes, so the folder holds one value.
    source = project.path / "fmt.py"
    first = source.read_text()
    source.write_text(first.replace('@asset(serializer="npy")', '@asset(serializer="pickle")'))
    project.run_json("fmt", "--select", "grid")
    assert files(project, "fmt", "grid") == ["result.json", "value.pkl"]
    # Back again: the earlier value is restored, and here too the other file goes.
    source.write_text(first)
    jobs, _ = project.run_json("fmt", "--select", "grid")
    assert statuses(jobs)[("fmt:grid", "null")] == "restored"
    assert files(project, "fmt", "grid") == ["result.json", "value.npy"]


def test_vorda_load(project):
    project.write("parts", PARTS)
    project.write("fmt", FORMATS)
    _, summary = project.run_json("fmt", "parts", check=1)
    script = """
import json, os, sys
import numpy as np, pandas as pd, polars as pl, pyarrow as pa, pyarrow.dataset as ds
import vorda, parts, fmt
out = {}
# A table as of a run comes from its kept object, whose name has no suffix.
out["by_run"] = [len(vorda.load(fmt.penguins, run=sys.argv[1])),
                 vorda.load(fmt.penguins, run=sys.argv[1], type=ds.Dataset).count_rows()]
out["one"] = vorda.load(parts.measured, {"species": "Adelie", "year": 2008})["mass"].tolist()
out["typed"] = type(vorda.load("parts:measured", {"year": 2008, "species": "Adelie"}, type=pl.DataFrame)).__name__
whole = vorda.load(parts.measured)
out["whole"] = [list(whole.columns), len(whole), str(whole["year"].dtype)]
out["lazy"] = vorda.load(parts.measured, type=pl.LazyFrame).filter(pl.col("species") == "Gentoo").collect().height
out["json"] = vorda.load("parts:by_species", {"species": "Adelie"})["rows"]
out["listed"] = [e["partition"]["year"] for e in vorda.load("by_year")]  # a function's name will do
out["array"] = vorda.load(fmt.grid).tolist()
errors = []
os.mkdir("junk")
with open("junk/history.sqlite", "wb") as f:
    f.write(os.urandom(4096))
for args, kw in [((parts.measured, {"species": "Adelie"}), {}), (("parts:nothing",), {}),
                 ((parts.measured, {"species": "Emperor", "year": 2007}), {}), ((fmt.grid,), {"store": "elsewhere"}),
                 ((fmt.penguins,), {"type": np.ndarray}), ((fmt.grid,), {"store": "junk"})]:
    try:
        vorda.load(*args, **kw)
    except (LookupError, ValueError, TypeError) as error:
        errors.append(f"{type(error).__name__}: {error}")
out["errors"] = errors
# A value replaced behind the history is not the recorded one.
with open("swap.json", "w") as f:
    f.write("{}")
os.replace("swap.json", ".vorda/assets/fmt/auto_json/value.json")
os.replace(".vorda/assets/fmt/auto_json/value.json", ".vorda/assets/parts/by_species/species=Adelie/value.json")
for read in (lambda: vorda.load(fmt.auto_json), lambda: vorda.load("parts:by_species")):
    try:
        read()
    except LookupError as error:
        out.setdefault("replaced", []).append(str(error))
print(json.dumps(out))
"""
    done = subprocess.run([sys.executable, "-c", script, summary["run_id"]], cwd=project.path,
                          capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, str(project.path)])))
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["one"] == [2008.0, 1.0] and out["typed"] == "DataFrame"
    assert out["whole"] == [["mass", "species", "year"], 8, "int64"] and out["lazy"] == 4
    assert out["json"] == 4 and out["listed"] == [2007, 2008]
    assert out["array"] == [[0, 1, 2], [3, 4, 5]] and out["by_run"] == [3, 3]
    missing, changed = out["replaced"]
    assert "fmt:auto_json: its value file" in missing and "is missing" in missing
    assert "parts:by_species species=Adelie: its stored value or record changed since run" in changed
    missing_dim, unknown, no_key, no_store, wrong_type, junk = out["errors"]
    assert missing_dim == ('ValueError: partition {"species":"Adelie"} of parts:measured: missing year '
                           "(its dimensions: species, year)")
    assert unknown.startswith("LookupError: no value of parts:nothing in the store") and "parts:measured" in unknown
    assert no_key == ('LookupError: parts:measured has no key "Emperor" in dimension \'species\' '
                      '(keys: "Adelie", "Gentoo")')
    assert no_store.startswith("LookupError: no store at ") and no_store.endswith("elsewhere (no run history there)")
    assert junk.startswith("ValueError: cannot open the run history ") and "not a database" in junk
    assert wrong_type == "TypeError: a parameter annotated numpy.ndarray cannot take a table (stored as parquet)"


def test_a_partition_whose_last_job_failed_is_not_read_as_its_value(project):
    project.write("flip", """
        import os
        from vorda import asset

        @asset()
        def v():
            if os.path.exists("broken"):
                raise RuntimeError("feed broken")
            return 1
    """)
    _, first = project.run_json("flip")
    (project.path / "broken").write_text("")
    project.run_json("--force", "flip", check=1)
    store = project.path / ".vorda"
    with pytest.raises(LookupError, match=r"^flip:v: its last job failed \(RuntimeError: feed broken\); run the "
                       f"asset again, or read what run {first['run_id']} made with run='{first['run_id']}'$"):
        vorda.load("flip:v", store=store)
    assert vorda.load("flip:v", store=store, run=first["run_id"]) == 1
    digest = hashlib.sha256(b"1").hexdigest()
    (store / "objects" / digest[:2] / digest).write_text("2")  # in place: the tree's file is the same one
    with pytest.raises(LookupError, match=f"the kept copy of run {first['run_id']}'s value .* no longer has its hash"):
        vorda.load("flip:v", store=store, run=first["run_id"])


def test_a_link_under_the_store_is_not_read(project):
    project.write("fmt", FORMATS)
    project.run_json("fmt", "--select", "grid")
    folder = project.path / ".vorda/assets/fmt/grid"
    (project.path / "moved").mkdir()
    os.rename(folder / "value.npy", project.path / "moved/value.npy")
    (folder / "value.npy").symlink_to(project.path / "moved/value.npy")
    # Nor is a FIFO waited on.
    (project.path / "fifo").mkdir()
    os.mkfifo(project.path / "fifo/value.json")
    script = """
import vorda, fmt
from vorda import loading
for read in (lambda: vorda.load(fmt.grid), lambda: loading.read_file("fifo/value.json", None)):
    try:
        read()
    except OSError as e:
        print(e)
"""
    done = subprocess.run([sys.executable, "-c", script], cwd=project.path, capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_ROOT, str(project.path)])),
                          timeout=60)
    link, fifo = done.stdout.splitlines()
    assert "symbolic link" in link and fifo == "fifo/value.json is not a regular file", done.stdout + done.stderr


BAD = """
import sys
import numpy as np
import pandas as pd
from vorda import asset, partitions

@asset(serializer="parquet", partitions={"k": partitions(["a", "b"])})
def frame(k):
    return {"not": "a table"} if k == "b" else pd.DataFrame({"v": [1]})

@asset(inputs={"frame": frame}, partitions={"k": partitions(["a", "b"])})
def after_frame(frame, k):
    return len(frame)

@asset(serializer="parquet")
def table():
    return pd.DataFrame({"v": [1]})

@asset(inputs={"table": table})
def wants_array(table: np.ndarray):
    return 1

@asset(inputs={"x": wants_array})
def after_array(x):
    return x

@asset(serializer="npy")
def objects():
    return np.array([{}, []], dtype=object)
"""

MISSING = """
import sys
sys.modules["pyarrow"] = None  # as if it were not installed
from vorda import asset

@asset(serializer="parquet")
def needs_pyarrow():
    open("ran", "w").close()
    return None
"""


def test_bad_inputs_fail_their_job_only(project):
    project.write("bad", BAD)
    project.write("missing", MISSING)
    jobs, summary = project.run_json("bad", "missing", check=1)
    errors = {(asset, part): job["error"] for (asset, part), job in jobs.items() if job["status"] != "ok"}
    assert errors == {
        ("bad:frame", '{"k": "b"}'): 'TypeError: the asset returned a dict; the "parquet" format takes a pandas '
                                     "DataFrame, a polars DataFrame or LazyFrame, or a pyarrow Table",
        ("bad:after_frame", '{"k": "b"}'): "upstream bad:frame failed",
        ("bad:wants_array", "null"): "TypeError: input 'table' from bad:table: a parameter annotated "
                                     "numpy.ndarray cannot take a table (stored as parquet)",
        ("bad:after_array", "null"): "upstream bad:wants_array failed",
        ("bad:objects", "null"): 'TypeError: the asset returned an array of Python objects (object); the "npy" '
                                 'format takes arrays of numbers, booleans, text or dates (use "pickle" for objects)',
        ("missing:needs_pyarrow", "null"): 'MissingLibrary: the "parquet" format needs pyarrow, which is not '
                                           "installed: pip install 'vorda[parquet]'",
    }
    assert not (project.path / "ran").exists()  # refused before the asset ran
    assert files(project, "bad", "frame", "k=b") == ["result.json"]
    assert files(project, "missing", "needs_pyarrow") == ["result.json"]

    # An unknown serializer stops the run before anything runs, naming the
    # asset, the name and the names known.
    project.write("unknown", 'from vorda import asset\n\n@asset(serializer="feather")\ndef f():\n    return 1\n')
    for args in (["unknown"], ["--dry-run", "unknown"]):
        done = project.run("run", "--store", "other", *args, check=2)
        assert done.stderr.strip() == ("vorda run: error: unknown:f: unknown serializer 'feather' "
                                       "(known: json, parquet, arrow, npy, pickle, auto)")
    assert not (project.path / "other").exists()


def test_references_the_worker_cannot_trust(project):
    """A value replaced or deleted after the runner read it, and a pickle of
    another Python: a failed job, its record naming what is wrong."""
    project.write("fmt", FORMATS)
    project.write("reader", """
        from vorda import asset
        from fmt import kept, penguins

        @asset(inputs={"p": penguins, "k": kept})
        def both(p, k):
            return len(p)
    """)
    project.run_json("fmt", "reader", "--select", "+both")
    store = project.path / ".vorda/assets/fmt"
    table, kept = store / "penguins/value.parquet", store / "kept/value.pkl"

    def refs(**changes):
        sources = {"p": table, "k": kept}
        made = {}
        for param, path in sources.items():
            info = os.stat(path) if param not in changes else None
            identity = changes.get(param) or [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns]
            made[param] = {"asset": f"fmt:{param}", "module": "fmt", "list": False, "dims": {}, "sources": [{
                "partition": None, "path": str(path), "hash": "", "identity": identity}]}
        (project.path / "refs.json").write_text(json.dumps(made))
        return project.run("worker", "reader", "both", "out", "--refs-file", "refs.json")

    assert refs().returncode == 0
    done = refs(p=[0, 0, 0, 0])
    assert done.returncode == 1
    assert "ValueChanged: input 'p' from fmt:p: " in done.stderr and "changed after the run read it" in done.stderr
    other = kept.with_name("other.pkl")
    other.write_bytes(pickle.dumps({"python": "CPython 2.7"}) + pickle.dumps(1))
    os.replace(other, kept)
    done = refs()
    assert done.returncode == 1
    assert "was pickled by CPython 2.7, and this is CPython 3.11" in done.stderr
    os.unlink(table)
    done = refs(p=[0, 0, 0, 0])
    assert done.returncode == 1 and "FileNotFoundError: input 'p' from fmt:p" in done.stderr
    assert json.loads((project.path / "out/result.json").read_text())["ok"] is False
