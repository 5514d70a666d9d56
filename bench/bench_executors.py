"""The executors' rows of `make bench`: `vorda run --executor
processes|forks|dask` over 200, 2,000 and 10,000 trivial partition jobs
(processes up to 2,000: its cost per job is flat, and 10,000 of them would
take most of the bench), time per job and the runner's peak memory, beside
two floors measured in the same run.

    python3 bench/bench_executors.py [--quick] [--sizes 200,2000,10000]

Fairness: the three executors run the same pipeline from the same directory
with the same interpreter, environment and -j (the number of CPUs), forced so
that every job runs; their order rotates from round to round and medians are
taken. A row's time is the whole command (interpreter start, discovery,
planning, history, and for dask starting and closing a local cluster of -j
worker processes of one thread each: the same size as the -j children of
the forks server) divided by the jobs: fixed costs are charged to the
executor that pays them. The "per extra job" column is the marginal cost,
(time at the largest size - time at the smallest) / (difference in jobs),
which leaves the fixed costs out. Dask runs in batches sized by the
executor itself (no --batch), as a user gets it. The machine's load average
is printed before and after: other work on the machine slows every row,
and the rotation spreads it over the executors.

Floors, same run, each over 500 jobs: one `subprocess.run([python, "-c", "pass"])` per job from a
pool of -j threads (what starting a process costs, before any import), and
one `os.fork()` + `os._exit(0)` + `waitpid` per job, one at a time, in a
fresh single-threaded interpreter (what a fork costs). Peak memory is the
runner process's own VmHWM (its workers, and dask's worker processes, not
counted), polled every 10 ms.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import bench_env  # noqa: F401,E402  (PYTHONPATH made absolute before any command runs)

EXECUTORS = ("processes", "forks", "dask")
FORKS_SPEEDUP_TARGET = 10.0  # processes / forks per job, on the largest size processes runs
FORKS_OVERHEAD_TARGET_MS = 2.0  # forks per job minus the fork floor
DASK_TARGET = 2.0  # dask / forks per job, on the largest size
PROCESSES_MAX = 2000  # jobs: the largest size processes runs
FLOOR_JOBS = 500  # processes or forks per floor measurement

PIPELINE = """
from vorda import asset, partitions

@asset(partitions={{"i": partitions(list(range({jobs})))}})
def trivial(i):
    return i
"""

FORK_FLOOR = """
import os, sys, time
n = int(sys.argv[1])
start = time.perf_counter()
for _ in range(n):
    pid = os.fork()
    if pid == 0:
        os._exit(0)
    os.waitpid(pid, 0)
print(time.perf_counter() - start)
"""


def _measure(argv, folder):
    """(seconds, peak RSS in MB) of one command; fails loudly if it fails."""
    errors = tempfile.TemporaryFile()  # a pipe would fill up with the progress lines
    start = time.perf_counter()
    process = subprocess.Popen(argv, cwd=folder, stdout=subprocess.DEVNULL, stderr=errors)
    peak = 0
    status = Path(f"/proc/{process.pid}/status")
    while process.poll() is None:
        try:
            for line in status.read_text().splitlines():
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
        except (OSError, ValueError):
            pass
        time.sleep(0.01)
    seconds = time.perf_counter() - start
    errors.seek(0)
    err = errors.read().decode()
    errors.close()
    if process.returncode != 0 or "instead" in err:  # a failure, or forks falling back
        raise SystemExit(f"{' '.join(argv)}: status {process.returncode}\n{err}")
    return seconds, peak / 1024


def _process_floor(folder, jobs, count):
    argv = [sys.executable, "-c", "pass"]
    start = time.perf_counter()
    with ThreadPoolExecutor(jobs) as pool:
        list(pool.map(lambda _: subprocess.run(argv, cwd=folder, check=True), range(count)))
    return time.perf_counter() - start


def _fork_floor(count):
    done = subprocess.run([sys.executable, "-c", FORK_FLOOR, str(count)], capture_output=True, text=True, check=True)
    return float(done.stdout)


def _load():
    return " ".join(f"{n:.1f}" for n in os.getloadavg())


def report(quick, sizes=None):
    """Print the rows; the labels of missed targets."""
    try:
        import distributed  # noqa: F401
    except ImportError:
        print("  distributed is not installed (make venv installs it): executor rows left out")
        return ["executor rows (no distributed)"]
    sizes = tuple(sorted(sizes or ((200, 1000) if quick else (200, 2000, 10000))))
    # Quick: processes at the smallest size only, smaller floors (the table's budget is minutes).
    processes_max = min(sizes) if quick else PROCESSES_MAX
    floor_jobs = FLOOR_JOBS // 5 if quick else FLOOR_JOBS
    jobs = os.cpu_count() or 1
    rounds = 1 if quick else 3
    misses = []
    per_job = {}  # (executor, size) -> [seconds per job]
    peaks = {}
    floors = {"process": [], "fork": []}
    print(f"  load average before: {_load()} ({jobs} CPUs)", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for size in sizes:
            (folder / f"p{size}.py").write_text(PIPELINE.format(jobs=size))
        for n in range(rounds):
            order = EXECUTORS[n % 3:] + EXECUTORS[:n % 3]
            for size in sizes:
                for executor in order:
                    if executor == "processes" and size > processes_max and size != min(sizes):
                        continue
                    argv = [sys.executable, "-m", "vorda", "run", "--force", "-j", str(jobs), "--executor", executor,
                            "--store", str(folder / f"store-{executor}"), f"p{size}"]
                    seconds, peak = _measure(argv, folder)
                    per_job.setdefault((executor, size), []).append(seconds / size)
                    peaks.setdefault((executor, size), []).append(peak)
                    print(f"  round {n + 1}/{rounds}: {executor}, {size} jobs: {seconds / size * 1e3:.2f} ms/job "
                          f"(load {_load()})", flush=True)
            floors["process"].append(_process_floor(folder, jobs, floor_jobs) / floor_jobs)
            floors["fork"].append(_fork_floor(floor_jobs) / floor_jobs)

    ms = {key: statistics.median(values) * 1e3 for key, values in per_job.items()}
    small = min(sizes)
    print(f"  {'':48} {'ms/job':>8} {'per extra job':>14} {'peak RSS':>9}")
    for executor in EXECUTORS:
        ran = [size for size in sizes if (executor, size) in ms]
        large = max(ran)
        marginal = (ms[executor, large] * large - ms[executor, small] * small) / (large - small) if large > small else None
        for size in ran:
            label = f"vorda run --executor {executor}, {size} jobs, -j {jobs}"
            extra = f"{marginal:10.2f} ms" if size == large and marginal is not None else ""
            print(f"  {label:48} {ms[executor, size]:8.2f} {extra:>14} {statistics.median(peaks[executor, size]):6.1f} MB")
    process_floor = statistics.median(floors["process"]) * 1e3
    fork_floor = statistics.median(floors["fork"]) * 1e3
    print(f"  {'floor: subprocess.run python -c pass, same -j':48} {process_floor:8.2f}")
    print(f"  {'floor: os.fork + _exit + waitpid, one at a time':48} {fork_floor:8.3f}")

    both = max(size for size in sizes if ("processes", size) in ms)
    large = max(sizes)
    speedup = ms["processes", both] / ms["forks", both]
    overhead = ms["forks", large] - fork_floor
    checks = [
        (f"forks {speedup:.1f}x faster per job than processes at {both} jobs", speedup >= FORKS_SPEEDUP_TARGET,
         f">={FORKS_SPEEDUP_TARGET:.0f}x", "forks speed-up over processes"),
        (f"forks overhead over the fork floor at {large} jobs: {overhead:.2f} ms/job",
         overhead <= FORKS_OVERHEAD_TARGET_MS, f"<={FORKS_OVERHEAD_TARGET_MS:.0f} ms", "forks overhead per job"),
    ]
    for size in sizes:
        ratio = ms["dask", size] / ms["forks", size]
        if size == large:
            checks.append((f"dask / forks per job at {size} jobs: {ratio:.2f}x", ratio <= DASK_TARGET,
                           f"<={DASK_TARGET:.0f}x", "dask time per job"))
        else:  # the cluster's start weighs more on fewer jobs: shown, not held to the target
            print(f"  {f'dask / forks per job at {size} jobs: {ratio:.2f}x':62} {'(shown)':>7}")
    for text, ok, target, label in checks:
        print(f"  {text:62} {target:>7} {'ok' if ok else 'MISS'}")
        if not ok:
            misses.append(label)
    print(f"  load average after: {_load()}", flush=True)
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="one round instead of three, 200 and 1,000 jobs (processes: 200), smaller floors")
    parser.add_argument("--sizes", help="pipeline sizes, comma-separated (default: 200,2000,10000; quick: 200,1000)")
    args = parser.parse_args()
    sizes = tuple(int(s) for s in args.sizes.split(",")) if args.sizes else None
    return 1 if report(args.quick, sizes) else 0


if __name__ == "__main__":
    sys.exit(main())
