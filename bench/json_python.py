"""Python's own json speed on the benchmark documents, for comparison with
bench/json_bench.cpp. MB/s is the document's size in bytes (10**6 bytes per
MB) divided by the time of one call: the median over five batches, as
`vorda_json_bench --benchmark_repetitions=5` reports it.

    python3 bench/json_python.py [CORPORA_NATIVEJSON_DIR [DUMPS_DIR]]
"""
import json
import pathlib
import statistics
import sys
import time

DOCUMENTS = ("canada.json", "citm_catalog.json", "twitter.json")
HERE = pathlib.Path(__file__).resolve().parent


def median_seconds(call, budget=2.5, rounds=5):
    """The median per-call time over `rounds` batches of about budget/rounds seconds."""
    start = time.perf_counter()
    call()
    n = max(1, int(budget / rounds / max(time.perf_counter() - start, 1e-9)))
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(n):
            call()
        times.append((time.perf_counter() - start) / n)
    return statistics.median(times)


def main(source, dumps):
    paths = [pathlib.Path(source, name) for name in DOCUMENTS]
    paths += [pathlib.Path(dumps, name.replace(".json", ".dumps.json")) for name in DOCUMENTS]
    print(f"{'document':<26}{'bytes':>10}{'json.loads MB/s':>18}{'json.dumps MB/s':>18}")
    for path in paths:
        if not path.exists():
            print(f"{path.name:<26} missing (run bench/make_dumps.py)")
            continue
        data = path.read_bytes()
        text = data.decode("utf-8")
        value = json.loads(text)
        load = median_seconds(lambda: json.loads(text))
        dump = median_seconds(
            lambda: json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False))
        mb = len(data) / 1e6
        print(f"{path.name:<26}{len(data):>10}{mb / load:>18.1f}{mb / dump:>18.1f}")


if __name__ == "__main__":
    args = sys.argv[1:]
    main(args[0] if args else HERE.parent.parent / "shared" / "corpora" / "nativejson",
         args[1] if len(args) > 1 else HERE.parent / "build" / "bench" / "bench" / "dumps")
