"""The benchmark table of `make bench`: the C++ reader and writer beside
RapidJSON and simdjson (the writer on a warm heap and on a fresh one),
Python's json for scale, then the Python-side rows of bench_python.py, each
ratio with its target.

    python3 bench/run_bench.py --cpp build/bench/bench/vorda_json_bench [--quick]

Needs the vorda package importable (make bench puts the optimised build on
PYTHONPATH). Exits 0 even when a target is missed: the table says so.
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_materialize  # noqa: E402
import bench_python  # noqa: E402
import bench_executors  # noqa: E402
import bench_forks_stack  # noqa: E402
import bench_incremental  # noqa: E402
import bench_runner  # noqa: E402
import bench_scale  # noqa: E402
import bench_code_version  # noqa: E402
import bench_ui  # noqa: E402
import bench_values  # noqa: E402
from json_python import median_seconds  # noqa: E402

DOCS = ("canada", "citm_catalog", "twitter")
READ_TARGET = 1.2  # x RapidJSON, every document
WRITE_TARGET = 1.5  # x RapidJSON Writer, every document, warm and fresh heap
SIMDJSON_AIM = 0.35  # x simdjson's DOM: not a target, the ceiling
# glibc raises its mmap threshold each time a large block is freed, so a
# benchmark loop soon gets its output buffers from a warm heap. A fixed
# threshold turns that off: every buffer above it is fresh pages from the
# kernel, as in a process that writes one large document.
FRESH_HEAP_ENV = {"MALLOC_MMAP_THRESHOLD_": "131072"}


def machine_line():
    cpu = platform.processor() or platform.machine()
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = ""
    try:
        kb = int(open("/proc/meminfo").readline().split()[1])
        mem = f", {kb / 2**20:.0f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    versions = []
    for pkg, label in (("libbenchmark-dev", "Google Benchmark"), ("rapidjson-dev", "RapidJSON"), ("libsimdjson-dev", "simdjson")):
        try:
            v = subprocess.run(["dpkg-query", "-W", "-f=${Version}", pkg], capture_output=True, text=True).stdout
        except OSError:
            v = ""
        if v:
            versions.append(f"{label} {v.split('-')[0].split('+')[0]}")
    try:
        cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        cxx = "c++"
    return (f"machine: {cpu}, {os.cpu_count()} cpus{mem}, {platform.system()} {platform.release()}; "
            f"{cxx}, -O3; CPython {platform.python_version()}; " + ", ".join(versions))


def run_cpp(binary, quick, env=None, only=None):
    out = tempfile.NamedTemporaryFile(suffix=".json", delete=False).name
    reps = 3 if quick else 7
    args = [binary, f"--benchmark_out={out}", "--benchmark_out_format=json",
            f"--benchmark_repetitions={reps}", "--benchmark_report_aggregates_only=true",
            "--benchmark_enable_random_interleaving=true", f"--benchmark_min_time={0.05 if quick else 0.2}"]
    if only:
        args.append(f"--benchmark_filter={only}")
    done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                          env=dict(os.environ, **env) if env else None)
    if done.returncode != 0:
        sys.exit(f"{binary} failed:\n{done.stderr}")
    data = json.load(open(out))
    os.unlink(out)
    rates = {}
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "median":
            rates[b["name"].rsplit("_median", 1)[0]] = b["bytes_per_second"] / 1e6
    return rates


def python_json_rates(corpora, dumps, quick):
    rates = {}
    for doc in DOCS:
        for path in (corpora / f"{doc}.json", dumps / f"{doc}.dumps.json"):
            if not path.exists():
                continue
            text = path.read_text(encoding="utf-8")
            value = json.loads(text)
            mb = len(path.read_bytes()) / 1e6
            budget = 0.5 if quick else 1.5
            rates[("read", path.name)] = mb / median_seconds(lambda: json.loads(text), budget)
            rates[("write", path.name)] = mb / median_seconds(
                lambda: json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False), budget)
    return rates


def fmt(x):
    return f"{x:9.0f}" if x is not None else f"{'-':>9}"


TITLES = {
    "read": ("reader (text to value)", "json.loads"),
    "write": ("writer (value to text), warm heap", "json.dumps"),
    "write-fresh": ("writer (value to text), fresh heap (" + " ".join(f"{k}={v}" for k, v in FRESH_HEAP_ENV.items())
                    + ")", None),
}


def cpp_table(rates, py_rates):
    """rates: {"read"|"write"|"write-fresh": {case name: MB/s}}."""
    have_rapid = any("/rapidjson/" in k for k in rates["read"])
    have_simd = any("/simdjson/" in k for k in rates["read"])
    misses = []
    for section, (title, pyname) in TITLES.items():
        table = rates.get(section)
        if not table:
            continue
        op = section.split("-")[0]
        target = READ_TARGET if op == "read" else WRITE_TARGET
        simd_column = have_simd and section != "write-fresh"
        print(f"\nJSON {title}, MB/s, median of interleaved repetitions")
        print(f"  {'document':26}{'vorda':>9}{'RapidJSON':>10}{'ratio':>8}  {'target':10}"
              + (f"{'simdjson':>9}{'ratio':>7}" if simd_column else "") + (f"{pyname:>12}" if pyname else ""))
        for doc in DOCS:
            for name in (f"{doc}.json", f"{doc}.dumps.json"):
                ours = table.get(f"{op}/vorda/{name}")
                if ours is None:
                    continue
                rapid = table.get(f"{op}/rapidjson/{name}")
                simd = table.get(f"{op}/simdjson/{name}")
                ratio, mark, simd_ratio = "", "", ""
                if rapid:
                    r = ours / rapid
                    ratio = f"{r:7.2f}x"
                    ok = r >= target
                    mark = f">={target:.1f}x " + ("ok" if ok else "MISS")
                    if not ok:
                        misses.append(f"{section} {name}")
                if simd and op == "read":
                    simd_ratio = f"{ours / simd:6.2f}x"
                py = f"{fmt(py_rates.get((op, name))):>12}" if pyname else ""
                simd_text = f"{fmt(simd)}{simd_ratio:>7}" if simd_column else ""
                print(f"  {name:26}{fmt(ours)}{fmt(rapid) if have_rapid else fmt(None):>10}{ratio:>8}  {mark:10}"
                      f"{simd_text}{py}")
    if not have_rapid:
        print("  (RapidJSON not installed: comparison rows left out)")
    if have_simd:
        print(f"  reader ratio to simdjson's DOM (no sorting, no tree of owned values): aim >= {SIMDJSON_AIM:.2f}x")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpp", required=True, help="the vorda_json_bench program")
    parser.add_argument("--corpora", default=str(HERE.parent.parent / "shared" / "corpora" / "nativejson"))
    parser.add_argument("--dumps", default=None, help="folder of the *.dumps.json texts (default: beside the program)")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # the table prints as it goes
    dumps = pathlib.Path(args.dumps) if args.dumps else pathlib.Path(args.cpp).resolve().parent / "dumps"
    # The floor of the wrapper-call rows (_vorda_call_floor) is built beside the program.
    sys.path.insert(0, str(pathlib.Path(args.cpp).resolve().parent))

    began = mark = time.perf_counter()
    print(machine_line())
    print("All figures come from this one run; ratios are taken side by side (see bench/README.md).")
    rates = {"read": {}, "write": {}}
    for name, rate in run_cpp(args.cpp, args.quick).items():
        rates[name.split("/")[0]][name] = rate
    rates["write-fresh"] = run_cpp(args.cpp, args.quick, env=FRESH_HEAP_ENV, only="^write/(vorda|rapidjson)/")
    py_rates = python_json_rates(pathlib.Path(args.corpora), dumps, args.quick)
    misses = cpp_table(rates, py_rates)
    print(f"  ({time.perf_counter() - mark:.0f} s)")
    mark = time.perf_counter()

    print("\nPython side: time per call (or per asset), ratio to the row's anchor (median of per-round ratios)")
    for section in bench_python.SECTIONS + bench_materialize.SECTIONS:
        rows = section(args.quick)
        misses += [label for label, _, ratio, target, *_ in rows if target is not None and ratio > target]
        bench_python.print_rows(rows)
    print("\nMemory (peak RSS growth over the input list, and what stays after the call)")
    for label, peak, kept in bench_python.memory(args.quick):
        print(f"  {label:56} {peak:9.1f} B / {kept:.1f} B")
    print("  json::Value: 16 bytes (static_assert), strings up to 14 bytes inside it")
    print(f"  ({time.perf_counter() - mark:.0f} s)")
    for title, bench in (
        ("Runner (see bench/bench_runner.py for how the two sides are made comparable)", bench_runner),
        ("Runner executors (see bench/bench_executors.py)", bench_executors),
        ("The runner at scale (see bench/bench_scale.py)", bench_scale),
        ("Forks with the data stack (see bench/bench_forks_stack.py)", bench_forks_stack),
        ("Values beyond JSON (see bench/bench_values.py)", bench_values),
        ("Incremental runs (see bench/bench_incremental.py)", bench_incremental),
        ("Code versions (see bench/bench_code_version.py)", bench_code_version),
        ("vorda ui (see bench/bench_ui.py)", bench_ui),
    ):
        print("\n" + title)
        mark = time.perf_counter()
        misses += bench.report(args.quick)
        print(f"  ({time.perf_counter() - mark:.0f} s)")
    print("\nmissed: " + ("; ".join(misses) if misses else "none"))
    print(f"whole table: {time.perf_counter() - began:.0f} s, load average now {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
