"""The rows of `make bench` for values beyond JSON.

    python3 bench/bench_values.py [--quick]

1. A 100 MB table (two int64/float64 columns) read by 8 partition jobs.
   Per job's load: vorda's loader (what the worker runs for a parameter
   annotated pyarrow.Table: the identity check, the open without following
   links, the memory map) on the stored value.arrow, beside
   pyarrow.ipc.open_file(pa.memory_map(path)).read_all() on the same file,
   alternating in one process, median of the per-round ratios; the same
   loader on value.parquet and the worker's json.loads of the same table's
   JSON text ({"a": [...], "b": [...]}), for comparison. Then the runner's
   own peak memory (VmHWM, polled, its workers not counted) over the whole
   `vorda run` of the 8 jobs, for each format, beside the same run of a
   two-byte value: no value bytes pass through the runner.
2. A 1,000-partition parquet asset read as one polars LazyFrame (the
   worker's loader for a partitioned upstream), filtered on the partition
   column: the files are laid out as the store lays them (written here
   directly: 1,000 worker processes would only time process starts). After
   the scan is made, the 999 files the filter excludes are deleted, and the
   filtered collect still gives the partition's rows: only the matching
   file is read. Its time beside the unfiltered collect of all 1,000.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

from bench_runner import _peak_mb  # the runner's own peak, polled as the runner rows do

LOAD_TARGET = 2.0
MEMORY_TARGET_MB = 50
ROWS = 6_250_000  # two 8-byte columns: 100 MB

PIPELINE = """
import numpy as np
import pyarrow as pa
from vorda import asset, partitions

@asset(serializer=FORMAT)
def big():
    return pa.table({"a": np.arange(ROWS, dtype=np.int64), "b": np.arange(ROWS, dtype=np.float64) / 7})

@asset(inputs={"big": big}, partitions={"i": partitions(list(range(8)))})
def reader(big: pa.Table, i: int):
    return big.num_rows + i
"""

JSON_PIPELINE = """
from vorda import asset, partitions

@asset()
def big():
    return {"a": list(range(ROWS)), "b": [n / 7 for n in range(ROWS)]}

@asset(inputs={"big": big}, partitions={"i": partitions(list(range(8)))})
def reader(big, i: int):
    return len(big["a"]) + i
"""

TINY = """
from vorda import asset, partitions


@asset()
def big():
    return 1

@asset(inputs={"big": big}, partitions={"i": partitions(list(range(8)))})
def reader(big, i: int):
    return big + i
"""


def _run(folder, module, jobs):
    return [sys.executable, "-m", "vorda", "run", "--force", "-j", str(jobs), "--store", str(folder / module),
            module]


def _reference(path):
    info = os.stat(path)
    return {"asset": "bench:big", "module": "bench", "list": False, "dims": {}, "sources": [{
        "partition": None, "path": str(path), "hash": "",
        "identity": [info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns]}]}


def _load_rows(folder, rounds):
    """Per-job load of the stored values, in this process."""
    import pyarrow as pa
    import pyarrow.ipc

    from vorda.materialize import load_input

    arrow = folder / "arrow_pipe/assets/arrow_pipe/big/value.arrow"
    parquet = folder / "parquet_pipe/assets/parquet_pipe/big/value.parquet"
    json_text = (folder / "json_pipe/assets/json_pipe/big/value.json").read_text()
    arrow_ref, parquet_ref = _reference(arrow), _reference(parquet)

    def raw():
        return pyarrow.ipc.open_file(pa.memory_map(str(arrow))).read_all()

    def ours():
        return load_input("big", arrow_ref, pa.Table)

    for warm in (raw, ours):
        warm()
    ratios, raws, mine, parquets, jsons = [], [], [], [], []
    for n in range(rounds):
        order = [(raw, raws), (ours, mine)] if n % 2 else [(ours, mine), (raw, raws)]
        for call, into in order:
            start = time.perf_counter()
            call()
            into.append(time.perf_counter() - start)
        ratios.append(mine[-1] / raws[-1])
    for _ in range(max(2, rounds // 4)):
        start = time.perf_counter()
        load_input("big", parquet_ref, pa.Table)
        parquets.append(time.perf_counter() - start)
    for _ in range(2):
        start = time.perf_counter()
        json.loads(json_text)
        jsons.append(time.perf_counter() - start)
    return statistics.median(ratios), statistics.median(raws), statistics.median(mine), \
        statistics.median(parquets), statistics.median(jsons)


def _partitions(folder):
    """1,000 parquet partitions in the store's layout; the lazy scan's rows."""
    import polars as pl
    import pyarrow as pa
    import pyarrow.parquet as pq

    from vorda import values
    from vorda.loading import Part, read_partitions

    base = folder / "lazy/assets/bench/many"
    parts = []
    for k in range(1000):
        place = base / f"k={k}"
        place.mkdir(parents=True)
        path = place / "value.parquet"
        with open(path, "wb") as out:
            values.get("parquet").write(pa.table({"v": list(range(k * 100, k * 100 + 100))}), out)
        info = os.stat(path)
        parts.append(Part({"k": k}, str(path), (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)))
    dims = {"k": list(range(1000))}
    start = time.perf_counter()
    whole = read_partitions(parts, dims, pl.LazyFrame).collect()
    all_seconds = time.perf_counter() - start
    start = time.perf_counter()
    scan = read_partitions(parts, dims, pl.LazyFrame)
    made = time.perf_counter() - start
    for part in parts:
        if part.keys["k"] != 421:
            os.unlink(part.path)
    start = time.perf_counter()
    picked = scan.filter(pl.col("k") == 421).collect()
    filtered = time.perf_counter() - start
    assert whole.height == 100_000
    assert picked["v"].to_list() == list(range(42_100, 42_200)) and set(picked["k"]) == {421}
    return made, filtered, all_seconds


def report(quick):
    misses = []
    jobs = os.cpu_count() or 1
    rows = ROWS // 10 if quick else ROWS
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for name, source in (("arrow_pipe", PIPELINE.replace("FORMAT", '"arrow"')),
                             ("parquet_pipe", PIPELINE.replace("FORMAT", '"parquet"')),
                             ("json_pipe", JSON_PIPELINE), ("tiny_pipe", TINY)):
            (folder / f"{name}.py").write_text(textwrap.dedent(source).replace("ROWS", str(rows)))
        peaks = {name: _peak_mb(_run(folder, name, jobs), folder)
                 for name in ("tiny_pipe", "arrow_pipe", "parquet_pipe", "json_pipe")}
        size = (folder / "arrow_pipe/assets/arrow_pipe/big/value.arrow").stat().st_size / 1e6
        sys.path.insert(0, str(folder))
        ratio, raw, mine, parquet, json_seconds = _load_rows(folder, 6 if quick else 20)
        ok = ratio <= LOAD_TARGET
        print(f"  {f'{size:.0f} MB table, load per job: pyarrow.ipc.open_file(memory_map).read_all()':72} "
              f"{raw * 1e3:9.2f} ms")
        print(f"  {'  vorda, arrow (memory-mapped), annotated pyarrow.Table, same file':72} {mine * 1e3:9.2f} ms "
              f"{ratio:6.2f}x  <={LOAD_TARGET:.1f}x {'ok' if ok else 'MISS'}")
        print(f"  {'  vorda, parquet, annotated pyarrow.Table':72} {parquet * 1e3:9.2f} ms")
        print(f"  {'  JSON: the worker json.loads the same table inline':72} {json_seconds * 1e3:9.2f} ms")
        if not ok:
            misses.append("arrow load per job")
        idle = peaks["tiny_pipe"]
        for name, label in (("arrow_pipe", "arrow"), ("parquet_pipe", "parquet"), ("json_pipe", "JSON")):
            grown = peaks[name] - idle
            ok = grown <= MEMORY_TARGET_MB or name == "json_pipe"
            target = f"<={MEMORY_TARGET_MB} MB {'ok' if ok else 'MISS'}" if name != "json_pipe" else ""
            print(f"  {f'vorda run peak RSS, 8 jobs reading it, {label}':72} {peaks[name]:7.1f} MB, "
                  f"{grown:+.1f} MB over {idle:.1f} MB idle  {target}")
            if not ok:
                misses.append(f"runner memory, {label}")
        made, filtered, whole = _partitions(folder)
        print(f"  {'1,000-partition parquet asset as one polars LazyFrame: scan made':72} {made * 1e3:9.2f} ms")
        print(f"  {'  collect, filter k == 421 (the other 999 files deleted first: not read)':72} "
              f"{filtered * 1e3:9.2f} ms")
        print(f"  {'  collect, no filter (all 1,000 files)':72} {whole * 1e3:9.2f} ms")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 10 MB table, fewer rounds")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
