"""The incremental rows of `make bench`: an all-up-to-date run whose values
are 1 MB each beside the same run over 1-byte values, and a run that
restores every partition from the kept objects.

    python3 bench/bench_incremental.py [--quick]

Fairness: the two up-to-date runs are the same command over the same number
of partitions, same executor (forks) and -j, differing only in the size of
the stored values; they alternate round by round and the median of the
per-round ratios is taken, so the ratio is what the value sizes cost. The
restore row times the whole command that puts back every partition of an
asset after its code was switched back, divided by the partitions; beside
it the same command when everything is up to date (what any run costs).
VORDA_BENCH_FULL=1 takes 10,000 partitions instead of 2,000.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import bench_env  # noqa: F401,E402  (PYTHONPATH made absolute before any command runs)

UP_TO_DATE_TARGET = 1.5
RESTORE_TARGET_MS = 2.0

VALUES = """
    from vorda import asset, partitions

    @asset(partitions={{"i": partitions(list(range({n})))}})
    def values(i):
        return "{fill}" * {size}
"""


def _run(folder, store, module, jobs):
    argv = [sys.executable, "-m", "vorda", "run", "--executor", "forks", "-j", str(jobs), "--store", str(store),
            module]
    start = time.perf_counter()
    subprocess.run(argv, cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def report(quick):
    """Print the rows; the labels of missed targets."""
    jobs = os.cpu_count() or 1
    count = 10_000 if os.environ.get("VORDA_BENCH_FULL") else (500 if quick else 2_000)
    rounds = 2 if quick else 4
    misses = []
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "small.py").write_text(textwrap.dedent(VALUES.format(n=count, fill="x", size=1)))
        (folder / "big.py").write_text(textwrap.dedent(VALUES.format(n=count, fill="x", size=1 << 20)))
        for module in ("small", "big"):
            _run(folder, folder / module, module, jobs)
        ratios, small, big = [], [], []
        for n in range(rounds):
            order = ("small", "big") if n % 2 == 0 else ("big", "small")
            took = {module: _run(folder, folder / module, module, jobs) for module in order}
            small.append(took["small"])
            big.append(took["big"])
            ratios.append(took["big"] / took["small"])
        ratio = statistics.median(ratios)
        ok = ratio <= UP_TO_DATE_TARGET
        print(f"  {f'up-to-date run, {count} partitions of 1 MB':52} {statistics.median(big):7.2f} s  "
              f"{ratio:6.2f}x  <={UP_TO_DATE_TARGET:.1f}x {'ok' if ok else 'MISS'}")
        print(f"  {f'up-to-date run, {count} partitions of 1 byte':52} {statistics.median(small):7.2f} s")
        if not ok:
            misses.append("up-to-date run with 1 MB values")

        # Two versions of the code, each run once; then every switch restores.
        restores = 1_000
        module = folder / "switch.py"
        source = textwrap.dedent(VALUES.format(n=restores, fill="x", size=1))
        other = source.replace('"x"', '"y"')
        store = folder / "switch"
        for text in (source, other):
            module.write_text(text)
            _run(folder, store, "switch", jobs)
        times = []
        for n in range(rounds):
            module.write_text(source if n % 2 == 0 else other)
            times.append(_run(folder, store, "switch", jobs))
        fresh = _run(folder, store, "switch", jobs)
        per = statistics.median(times) / restores * 1e3
        ok = per <= RESTORE_TARGET_MS
        print(f"  {f'restore run, {restores} partitions from objects':52} {per:7.2f} ms/partition  "
              f"<={RESTORE_TARGET_MS:.0f} ms {'ok' if ok else 'MISS'}")
        print(f"  {f'the same run, all up to date':52} {fresh / restores * 1e3:7.2f} ms/partition")
        if not ok:
            misses.append("restore per partition")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer partitions and rounds")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
