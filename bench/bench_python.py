"""Python-side benchmarks of vorda, measured side by side in one run.

Every figure is a ratio against a pure-Python or standard-library anchor
taken in the same process, so the table compares like with like on
whatever machine runs it.

    python bench/bench_python.py [--quick]
"""

import argparse
import functools
import json
import platform
import random
import sys
import timeit

from vorda._vorda import asset, partitions


def best(stmt, number, repeat, **names):
    """Best time per run of `stmt` in nanoseconds (a string runs with `names` as globals)."""
    return min(timeit.repeat(stmt, number=number, repeat=repeat, globals=names)) / number * 1e9


def trivial(a, b=0):
    return a


def py_decorator(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        return fn(*args, **kwargs)

    return wrapper


def call_overhead(quick):
    number, repeat = (200_000, 5) if quick else (1_000_000, 7)
    wrapped = asset()(trivial)
    partial = functools.partial(trivial)
    decorated = py_decorator(trivial)
    names = {"f": trivial, "w": wrapped, "p": partial, "d": decorated}
    direct = best("f(1)", number, repeat, **names)
    direct_kw = best("f(1, b=2)", number, repeat, **names)
    rows = [("direct call f(1)", direct, None, None), ("direct call f(1, b=2)", direct_kw, None, None)]
    for label, stmt, base, target in [
        ("AssetWrapper w(1)", "w(1)", direct, 1.10),
        ("AssetWrapper w(1, b=2)", "w(1, b=2)", direct_kw, 1.10),
        ("functools.partial p(1)", "p(1)", direct, None),
        ("functools.wraps decorator d(1)", "d(1)", direct, None),
    ]:
        rows.append((label, best(stmt, number, repeat, **names), base, target))
    return rows


def partition_building(quick):
    n = 20_000 if quick else 100_000
    rng = random.Random(1)
    values = [rng.choice([lambda i: f"key-{i}", lambda i: i * 7919, lambda i: rng.random() * 1000])(i) for i in range(n)]
    floor = best(lambda: [json.dumps(x) for x in values], 1, 3 if quick else 5)
    ours = best(lambda: partitions(values), 1, 3 if quick else 5)
    return [
        (f"json.dumps floor, {n} values", floor, None, None),
        (f"partitions({n} values)", ours, floor, 1.25),
    ]


def metadata_read(quick):
    n = 10_000
    values = [f"2026-{i % 12 + 1:02d}-{i % 28 + 1:02d}/{i}" for i in range(n)]
    wrapper = asset(partitions={"day": partitions(values)})(trivial)
    number = 20 if quick else 100
    floor = best(lambda: json.dumps(values, separators=(",", ":")), number, 5)
    ours = best(lambda: wrapper.__vorda_metadata__, number, 5)
    return [
        (f"json.dumps floor, {n} values", floor, None, None),
        (f"__vorda_metadata__ read, {n} values", ours, floor, 1.5),
    ]


def fmt_time(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:10.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:10.2f} us"
    return f"{ns:10.1f} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    print(f"machine: {platform.machine()} {platform.processor() or ''} python {platform.python_version()}")
    print(f"{'case':44} {'time':>13} {'ratio':>8} {'target':>8}")
    ok = True
    for section in (call_overhead, partition_building, metadata_read):
        for label, ns, base, target in section(args.quick):
            ratio = f"{ns / base:7.2f}x" if base else ""
            mark = ""
            if target is not None:
                passed = ns / base <= target
                ok &= passed
                mark = f"<={target:.2f}x" + ("" if passed else " MISS")
            print(f"{label:44} {fmt_time(ns)} {ratio:>8} {mark:>8}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
