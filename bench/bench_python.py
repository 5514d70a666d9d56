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


def call_overhead(quick):
    number, rounds = (100_000, 9) if quick else (300_000, 25)
    times = interleaved(
        {
            "f": "f(1)",
            "fk": "f(1, b=2)",
            "w": "w(1)",
            "wk": "w(1, b=2)",
            "p": "p(1)",
            "pk": "p(1, b=2)",
            "d": "d(1)",
        },
        number,
        rounds,
    )
    return ratio_rows(
        times,
        [
            ("direct call f(1)", "f", None, None),
            ("AssetWrapper w(1)", "w", "f", 1.10),
            ("functools.partial p(1)  [C anchor]", "p", "f", None),
            ("functools.wraps decorator d(1)", "d", "f", None),
            ("direct call f(1, b=2)", "fk", None, None),
            ("AssetWrapper w(1, b=2)", "wk", "fk", 1.10),
            ("functools.partial p(1, b=2)", "pk", "fk", None),
        ],
    )


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


def discovery(quick):
    root = tempfile.mkdtemp(prefix="vorda-bench-")
    sys.path.insert(0, root)
    small = make_package(root, "vbench_small", 20)
    large = make_package(root, "vbench_large", 1000)
    inspect_modules(small), inspect_modules(large)  # imports, source caches
    times = interleaved(
        {"small": lambda: inspect_modules(small), "large": lambda: inspect_modules(large)},
        1,
        5 if quick else 11,
    )
    per_small = [t / 20 for t in times["small"]]
    per_large = [t / 1000 for t in times["large"]]
    return ratio_rows(
        {"small": per_small, "large": per_large},
        [
            ("inspect_modules, 20 assets (per asset)", "small", None, None),
            ("inspect_modules, 1000 assets (per asset)", "large", "small", 1.2),
        ],
    )


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


MEMORY_CHILD = textwrap.dedent(
    """
    import gc, resource, sys
    from vorda._vorda import partitions

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize()

    n = int(sys.argv[2])
    values = [f"k{i:06d}" for i in range(n)] if sys.argv[1] == "str" else list(range(n))
    gc.collect()
    before = rss()
    kept = partitions(values)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    after = rss()
    print(max(peak - before, after - before) / n, (after - before) / n)
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
    ns = seconds * 1e9
    if ns >= 1e6:
        return f"{ns / 1e6:9.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:9.2f} us"
    return f"{ns:9.1f} ns"


def print_rows(rows):
    ok = True
    for label, t, ratio, target in rows:
        r = f"{ratio:6.2f}x" if ratio is not None else ""
        mark = ""
        if target is not None:
            passed = ratio <= target
            ok &= passed
            mark = f"<={target:.2f}x " + ("ok" if passed else "MISS")
        print(f"  {label:52} {fmt_time(t)} {r:>8}  {mark}")
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
