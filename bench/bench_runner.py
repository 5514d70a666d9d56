"""The runner's rows of `make bench`: time per job of `vorda run` over 200
trivial partition jobs beside the floor of starting as many
`python -c "import vorda.worker"` processes, and the runner's peak memory
with a 100 MB upstream value.

    python3 bench/bench_runner.py [--quick]

Fairness: both sides start from the same directory with the same
interpreter, environment and parallelism (-j = the number of CPUs, a pool of
as many threads for the floor); they alternate round by round and the
median of the per-round ratios is taken. The runner's time is its whole
command (its own start, discovery, planning and history included), forced so
that every job runs. Memory is the runner process's own peak (VmHWM, its
workers not counted), polled while it runs, against the same command over a
pipeline whose value is two bytes.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import bench_env  # noqa: F401,E402  (PYTHONPATH made absolute before any command runs)

JOBS = 200
TIME_TARGET = 1.3
MEMORY_TARGET_MB = 50

PIPELINES = {
    "many.py": f"""
        from vorda import asset, partitions

        @asset(partitions={{"i": partitions(list(range({JOBS})))}})
        def trivial(i):
            return i
    """,
    "big.py": """
        from vorda import asset

        @asset()
        def blob():
            return "x" * 100_000_000

        @asset(inputs={"blob": blob})
        def size(blob):
            return len(blob)
    """,
    "small.py": """
        from vorda import asset

        @asset()
        def blob():
            return 1

        @asset(inputs={"blob": blob})
        def size(blob):
            return blob
    """,
}


def _runner(folder, module, store, jobs):
    return [sys.executable, "-m", "vorda", "run", "--force", "-j", str(jobs), "--store", str(store), module]


def _timed(argv, folder):
    start = time.perf_counter()
    subprocess.run(argv, cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def _floor(folder, jobs):
    argv = [sys.executable, "-c", "import vorda.worker"]
    start = time.perf_counter()
    with ThreadPoolExecutor(jobs) as pool:
        list(pool.map(lambda _: subprocess.run(argv, cwd=folder, check=True), range(JOBS)))
    return time.perf_counter() - start


def _peak_mb(argv, folder):
    """The process's own peak resident size, polled from /proc until it ends."""
    process = subprocess.Popen(argv, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            for line in Path(f"/proc/{process.pid}/status").read_text().splitlines():
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
        except (OSError, ValueError):
            pass
        time.sleep(0.005)
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed with status {process.returncode}")
    return peak / 1024


def report(quick):
    """Print the rows; the labels of missed targets."""
    jobs = os.cpu_count() or 1
    rounds = 1 if quick else 4  # quick: each side once (the table's budget is minutes)
    misses = []
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for name, source in PIPELINES.items():
            (folder / name).write_text(textwrap.dedent(source))
        store = folder / "store"
        subprocess.run(_runner(folder, "many", store, jobs), cwd=folder, check=True, capture_output=True)
        ratios, ours, floors = [], [], []
        for n in range(rounds):
            # Either side goes first in turn, so neither always meets a cold machine.
            if n % 2:
                mine = _timed(_runner(folder, "many", store, jobs), folder)
                floor = _floor(folder, jobs)
            else:
                floor = _floor(folder, jobs)
                mine = _timed(_runner(folder, "many", store, jobs), folder)
            floors.append(floor)
            ours.append(mine)
            ratios.append(mine / floor)
        ratio = statistics.median(ratios)
        ok = ratio <= TIME_TARGET
        print(f"  {'vorda run, ' + str(JOBS) + ' trivial partition jobs, -j ' + str(jobs):52} "
              f"{statistics.median(ours) / JOBS * 1e3:7.2f} ms/job {ratio:6.2f}x  "
              f"<={TIME_TARGET:.2f}x {'ok' if ok else 'MISS'}")
        floor_label = 'floor: python -c "import vorda.worker", same -j'
        print(f"  {floor_label:52} "
              f"{statistics.median(floors) / JOBS * 1e3:7.2f} ms/job")
        if not ok:
            misses.append("vorda run time per job")

        idle = _peak_mb(_runner(folder, "small", store, jobs), folder)
        peak = _peak_mb(_runner(folder, "big", store, jobs), folder)
        grown = peak - idle
        ok = grown <= MEMORY_TARGET_MB
        print(f"  {'vorda run peak RSS, 100 MB upstream value':52} {peak:7.1f} MB, {grown:+.1f} MB over "
              f"{idle:.1f} MB idle  <={MEMORY_TARGET_MB} MB {'ok' if ok else 'MISS'}")
        if not ok:
            misses.append("vorda run peak memory")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
