"""Python-side benchmarks of vorda, measured side by side in one run.

Every figure is a ratio against a pure-Python or standard-library anchor
taken in the same process, in interleaved rounds (each round times every
case of a section once; the ratio is the median of the per-round ratios),
so that a shared, noisy machine slows anchor and case alike.

    python bench/bench_python.py [--quick]

bench/run_bench.py (`make bench`) prints these rows in its table.
"""

import argparse
import functools
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import timeit

from vorda._vorda import asset, inspect_modules, partitions

# (label, seconds per unit, anchor label or None, target ratio or None, note)
Row = tuple


def interleaved(cases, number, rounds):
    """Seconds per call of each zero-argument callable (or statement string),
    per round: {name: [t_round0, t_round1, ...]}."""
    timers = {}
    for name, stmt in cases.items():
        timers[name] = timeit.Timer(stmt, globals=GLOBALS) if isinstance(stmt, str) else timeit.Timer(stmt)
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, timer in timers.items():
            times[name].append(timer.timeit(number) / number)
    return times


def ratio_rows(times, pairs, per=1):
    """Rows of median time and the median per-round ratio to the anchor."""
    rows = []
    for label, name, anchor, target in pairs:
        t = statistics.median(times[name]) / per
        ratio = None
        if anchor is not None:
            ratio = statistics.median(a / b for a, b in zip(times[name], times[anchor]))
        rows.append((label, t, ratio, target))
    return rows


def trivial(a, b=0):
    return a


def py_decorator(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)

    return wrapper


GLOBALS = {
    "f": trivial,
    "w": asset()(trivial),
    "p": functools.partial(trivial),
    "d": py_decorator(trivial),
}


def call_floor():
    """The minimal C forwarder built beside the benchmark (bench/call_floor.cpp), or None."""
    try:
        import _vorda_call_floor
    except ImportError:
        return None
    return _vorda_call_floor.forwarder(trivial)


def call_overhead(quick):
    number, rounds = (100_000, 9) if quick else (300_000, 25)
    cases = {
        "f": "f(1)",
        "fk": "f(1, b=2)",
        "w": "w(1)",
        "wk": "w(1, b=2)",
        "p": "p(1)",
        "pk": "p(1, b=2)",
        "d": "d(1)",
    }
    floor = call_floor()
    if floor is not None:
        GLOBALS["c"] = floor
        cases.update({"c": "c(1)", "ck": "c(1, b=2)"})
    times = interleaved(cases, number, rounds)
    # A C callable cannot reach the direct call on 3.11 (see bench/README.md):
    # the wrapper's target is the floor, a C forwarder to the function's own
    # vectorcall.
    target = 1.05 if floor is not None else None
    rows = [("direct call f(1)", "f", None, None)]
    if floor is not None:
        rows += [("C forwarder c(1)  [floor]", "c", "f", None), ("AssetWrapper w(1), to the floor", "w", "c", target)]
    rows += [
        ("AssetWrapper w(1)", "w", "f", None),
        ("functools.partial p(1)  [C anchor]", "p", "f", None),
        ("functools.wraps decorator d(1)", "d", "f", None),
        ("direct call f(1, b=2)", "fk", None, None),
    ]
    if floor is not None:
        rows += [
            ("C forwarder c(1, b=2)  [floor]", "ck", "fk", None),
            ("AssetWrapper w(1, b=2), to the floor", "wk", "ck", target),
        ]
    rows += [
        ("AssetWrapper w(1, b=2)", "wk", "fk", None),
        ("functools.partial p(1, b=2)", "pk", "fk", None),
    ]
    return ratio_rows(times, rows)


def mixed_values(n):
    rng = random.Random(1)
    makers = [lambda i: f"key-{i}", lambda i: i * 7919, lambda i: rng.random() * 1000]
    return [makers[i % 3](i) for i in range(n)]


def partition_building(quick):
    n = 20_000 if quick else 100_000
    values = mixed_values(n)
    times = interleaved(
        {"floor": lambda: [json.dumps(x) for x in values], "ours": lambda: partitions(values)},
        1,
        5 if quick else 11,
    )
    return ratio_rows(
        times,
        [
            (f"[json.dumps(x) for x in values], {n} mixed", "floor", None, None),
            (f"partitions(values), {n} mixed", "ours", "floor", 1.25),
        ],
    )


def metadata_read(quick):
    n = 10_000
    values = [f"2026-{i % 12 + 1:02d}-{i % 28 + 1:02d}/{i}" for i in range(n)]
    wrapper = asset(partitions={"day": partitions(values)})(trivial)
    times = interleaved(
        {
            "floor": lambda: json.dumps(values, separators=(",", ":")),
            "ours": lambda: wrapper.__vorda_metadata__,
        },
        20 if quick else 50,
        9 if quick else 21,
    )
    return ratio_rows(
        times,
        [
            (f"json.dumps(values, separators), {n} values", "floor", None, None),
            (f"__vorda_metadata__ read, {n} values", "ours", "floor", 1.5),
        ],
    )


def make_package(root, name, assets, per_module=10):
    """A package of `assets` assets, `per_module` to a module; its module names."""
    pkg = os.path.join(root, name)
    os.makedirs(pkg)
    open(os.path.join(pkg, "__init__.py"), "w").close()
    names = []
    for m in range((assets + per_module - 1) // per_module):
        lines = ["from vorda import asset, partitions", ""]
        for i in range(m * per_module, min(assets, (m + 1) * per_module)):
            lines += [
                f'@asset(name="asset_{i}", partitions={{"day": partitions(["2026-01-01", "2026-01-02"])}})',
                f"def asset_{i}(day: str) -> int:",
                f"    return {i}",
                "",
            ]
        with open(os.path.join(pkg, f"m{m}.py"), "w") as out:
            out.write("\n".join(lines))
        names.append(f"{name}.m{m}")
    return names


# Peak measurement in a child process. getrusage's ru_maxrss survives
# execve, so a child of a large parent would start with the parent's peak:
# the peak (VmHWM) is reset to the current size first where Linux allows.
PEAK_HELPERS = textwrap.dedent(
    """
    import resource

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024
        return None

    def rss():
        return status("VmRSS:")

    def reset_peak():
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            return lambda: status("VmHWM:")
        except OSError:
            return lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    """
)

DISCOVERY_PEAK_CHILD = PEAK_HELPERS + textwrap.dedent(
    """
    import importlib, inspect, sys
    sys.path.insert(0, sys.argv[1])
    from vorda._vorda import inspect_modules

    names = sys.argv[2:]
    for name in names:
        inspect.getsource(importlib.import_module(name))  # imports and line caches, not measured
    before = rss()
    peak = reset_peak()
    report = inspect_modules(names)
    grown = peak() - before
    print(grown, len(report.encode()))
    """
)


def discovery(quick):
    root = tempfile.mkdtemp(prefix="vorda-bench-")
    sys.path.insert(0, root)
    small = make_package(root, "vbench_small", 20)
    spread = make_package(root, "vbench_large", 1000)
    one = make_package(root, "vbench_one", 1000, per_module=1000)
    inspect_modules(small), inspect_modules(spread)  # imports, source caches
    report_bytes = len(inspect_modules(one).encode())
    times = interleaved(
        {
            "small": lambda: inspect_modules(small),
            "spread": lambda: inspect_modules(spread),
            "one": lambda: inspect_modules(one),
        },
        1,
        3 if quick else 7,
    )
    per = {"small": [t / 20 for t in times["small"]], "spread": [t / 1000 for t in times["spread"]],
           "one": [t / 1000 for t in times["one"]]}
    rows = ratio_rows(
        per,
        [
            ("inspect_modules, 20 assets (per asset)", "small", None, None),
            ("inspect_modules, 1000 assets (per asset)", "spread", "small", 1.2),
            ("inspect_modules, 1000 assets in one module (per asset)", "one", "spread", None),
        ],
    )
    # What one large module costs beyond the same assets in modules of ten,
    # per byte of its report (every record carries the module's text).
    beyond = statistics.median(a - b for a, b in zip(times["one"], times["spread"])) / report_bytes
    rows.append((f"  beyond modules of 10, per byte of the {report_bytes / 1e6:.0f} MB report", beyond, beyond * 1e9,
                 1.0, "ns/B"))
    out = subprocess.run([sys.executable, "-c", DISCOVERY_PEAK_CHILD, root, *one], capture_output=True, text=True,
                         check=True).stdout.split()
    grown, size = int(out[0]), int(out[1])
    rows.append(("  peak memory growth of that call, to its report size", f"{grown / 1e6:.0f} MB", grown / size, 1.5,
                 "x"))
    return rows


def declaring(quick):
    n = 1000
    sources = "\n".join(f"def fn_{i}(x: int) -> int:\n    return x + {i}\n" for i in range(n))
    space = {}
    exec(sources, space)
    functions = [space[f"fn_{i}"] for i in range(n)]
    times = interleaved(
        {
            "wraps": lambda: [py_decorator(fn) for fn in functions],
            "asset": lambda: [asset()(fn) for fn in functions],
            "named": lambda: [asset(name=fn.__name__, serializer="json")(fn) for fn in functions],
        },
        1,
        9 if quick else 21,
    )
    return ratio_rows(
        {k: [t / n for t in v] for k, v in times.items()},
        [
            (f"functools.wraps decorator, {n} functions (each)", "wraps", None, None),
            (f"@asset(), {n} functions (each)", "asset", "wraps", None),
            (f"@asset(name=, serializer=), {n} functions (each)", "named", "wraps", None),
        ],
    )


MEMORY_CHILD = PEAK_HELPERS + textwrap.dedent(
    """
    import gc, sys
    from vorda._vorda import partitions

    n = int(sys.argv[2])
    values = [f"k{i:06d}" for i in range(n)] if sys.argv[1] == "str" else list(range(n))
    gc.collect()
    before = rss()
    peak = reset_peak()
    kept = partitions(values)
    top = peak()
    after = rss()
    print(max(top - before, after - before) / n, (after - before) / n)
    """
)


def memory(quick):
    n = 1_000_000
    rows = []
    for kind, label in (("str", "short strings ('k000000')"), ("int", "small ints")):
        out = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, kind, str(n)], capture_output=True, text=True, check=True
        ).stdout.split()
        rows.append((f"partitions, {n} {label}: peak / kept bytes per value", float(out[0]), float(out[1])))
    return rows


SECTIONS = (call_overhead, partition_building, metadata_read, discovery, declaring)


def fmt_time(seconds):
    if isinstance(seconds, str):
        return f"{seconds:>12}"
    ns = seconds * 1e9
    if ns >= 1e6:
        return f"{ns / 1e6:9.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:9.2f} us"
    return f"{ns:9.1f} ns"


def print_rows(rows):
    """Rows of (label, seconds or shown text, ratio, target[, unit of the ratio, "x" by default])."""
    ok = True
    for label, t, ratio, target, *rest in rows:
        unit = rest[0] if rest else "x"
        r = f"{ratio:6.2f}{unit}" if ratio is not None else ""
        mark = ""
        if target is not None:
            passed = ratio <= target
            ok &= passed
            mark = f"<={target:.2f}{unit} " + ("ok" if passed else "MISS")
        print(f"  {label:56} {fmt_time(t)} {r:>9}  {mark}")
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    ok = True
    for section in SECTIONS:
        ok &= print_rows(section(args.quick))
    for label, peak, kept in memory(args.quick):
        print(f"  {label:52} {peak:9.1f} B / {kept:.1f} B")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
