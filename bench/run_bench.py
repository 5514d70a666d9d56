"""The benchmark table of `make bench`: the C++ reader and writer beside
RapidJSON and simdjson, Python's json for scale, then the Python-side rows
of bench_python.py, each ratio with its target.

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

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_python  # noqa: E402
import bench_executors  # noqa: E402
import bench_runner  # noqa: E402
from json_python import median_seconds  # noqa: E402

DOCS = ("canada", "citm_catalog", "twitter")
READ_TARGET = WRITE_TARGET = 1.0


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


def run_cpp(binary, quick):
    out = tempfile.NamedTemporaryFile(suffix=".json", delete=False).name
    reps = 3 if quick else 7
    args = [binary, f"--benchmark_out={out}", "--benchmark_out_format=json",
            f"--benchmark_repetitions={reps}", "--benchmark_report_aggregates_only=true",
            "--benchmark_enable_random_interleaving=true", f"--benchmark_min_time={0.05 if quick else 0.2}"]
    done = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
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


def cpp_table(rates, py_rates):
    have_rapid = any("/rapidjson/" in k for k in rates)
    have_simd = any("/simdjson/" in k for k in rates)
    misses = []
    for op, pyname, target in (("read", "json.loads", READ_TARGET), ("write", "json.dumps", WRITE_TARGET)):
        print(f"\nJSON {'reader (text to value)' if op == 'read' else 'writer (value to text)'}, MB/s, "
              "median of interleaved repetitions")
        print(f"  {'document':26}{'vorda':>9}{'RapidJSON':>10}{'ratio':>8}  {'target':9}{'simdjson':>9}{pyname:>12}")
        for doc in DOCS:
            for name in (f"{doc}.json", f"{doc}.dumps.json"):
                ours = rates.get(f"{op}/vorda/{name}")
                if ours is None:
                    continue
                rapid = rates.get(f"{op}/rapidjson/{name}")
                simd = rates.get(f"{op}/simdjson/{name}")
                ratio, mark = "", ""
                if rapid:
                    r = ours / rapid
                    ratio = f"{r:7.2f}x"
                    if name == f"{doc}.json":
                        ok = r >= target
                        mark = f">={target:.1f}x " + ("ok" if ok else "MISS")
                        if not ok:
                            misses.append(f"{op} {name}")
                print(f"  {name:26}{fmt(ours)}{fmt(rapid) if have_rapid else fmt(None):>10}{ratio:>8}  {mark:9}"
                      f"{fmt(simd) if have_simd else fmt(None)}{fmt(py_rates.get((op, name))):>12}")
    if not have_rapid:
        print("  (RapidJSON not installed: comparison rows left out)")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpp", required=True, help="the vorda_json_bench program")
    parser.add_argument("--corpora", default=str(HERE.parent.parent / "shared" / "corpora" / "nativejson"))
    parser.add_argument("--dumps", default=None, help="folder of the *.dumps.json texts (default: beside the program)")
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    dumps = pathlib.Path(args.dumps) if args.dumps else pathlib.Path(args.cpp).resolve().parent / "dumps"

    print(machine_line())
    print("All figures come from this one run; ratios are taken side by side (see bench/README.md).")
    rates = run_cpp(args.cpp, args.quick)
    py_rates = python_json_rates(pathlib.Path(args.corpora), dumps, args.quick)
    misses = cpp_table(rates, py_rates)

    print("\nPython side: time per call (or per asset), ratio to the row's anchor (median of per-round ratios)")
    for section in bench_python.SECTIONS:
        rows = section(args.quick)
        misses += [label for label, _, ratio, target in rows if target is not None and ratio > target]
        bench_python.print_rows(rows)
    print("\nMemory (peak RSS growth over the input list, and what stays after the call)")
    for label, peak, kept in bench_python.memory(args.quick):
        print(f"  {label:52} {peak:9.1f} B / {kept:.1f} B")
    print("  json::Value: 16 bytes (static_assert), strings up to 14 bytes inside it")
    print("\nRunner (see bench/bench_runner.py for how the two sides are made comparable)")
    misses += bench_runner.report(args.quick)
    print("\nRunner executors (see bench/bench_executors.py)")
    misses += bench_executors.report(args.quick)
    print("\nmissed: " + ("; ".join(misses) if misses else "none"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
