"""The runner-at-scale rows of `make bench`: forked jobs beside the floor of
a forked job, a process per job beside the floor of starting processes,
planning 50,000 and 500,000 partitions, `vorda runs` over 50,000 runs, and
the flushes per job.

    python3 bench/bench_scale.py [--quick] [--only forks,processes,planning,runs,fsync]

Every row is printed with the 1-minute load average at the time (the machine
is shared), and every floor is measured in the same run, its rounds rotated
with the row's, medians taken.

Forks: `vorda run --force --executor forks -j 2` over N trivial partition
jobs, on a store that already ran them once (every timed round is a rerun).
Its time is read from the store's history: from the earliest `jobs.started`
of the run (written as the first job is submitted) to `runs.ended` (written
once every finished job's record has been committed: the last flush comes
before it), so the interpreter start, discovery, planning and the fork
server's imports are left out, as the floor leaves them out. The whole
command per job is printed beside it, for reference. The floor: two
processes at once, each having imported what the fork server imports
(vorda.worker with the engine, the pipeline module, inspect) and frozen its
objects out of the collector as the server does, each forking one child per
job one after another, half the jobs each; the child sets nothing up, calls
`materialize_asset` as the worker does (the same asset, the partition's
keyword-argument text, `vorda._defer_flush` true as in the runner's workers)
into its own directory under /dev/shm (memory: flushes cost nothing; the
directories exist before the loop, as a rerun finds them) and `os._exit`s.
The loops start together on a signal after the imports; floor per job =
(last loop's end - first loop's start) / N. The runner's store is on the
normal disk and pays its own flushes: that is part of what it must do. At
1,000 jobs a row beside it runs the same with the store in /dev/shm too:
the runner's own cost apart from the disk's (on this VM's ext4 a job's
files cost about 0.25 ms of CPU more than in memory), for reference. A
third row divides the runner's time by the floor run on the store's own
file system instead, its files there from an untimed first pass, so that
each timed pass replaces them as a rerun does: like for like, since this
VM's ext4 has no journal and so, making a file, passes over every inode
freed in the last minutes (a file made and renamed costs 13 us in /dev/shm
and 170 to 680 us there, the more the more files were just replaced).

Processes: `vorda run --force --executor processes -j 2`, whole command per
job, beside two pools of 2 threads running one `subprocess.run` per job of
`python -c "import importlib, inspect, json, pathlib"` (the imports every
job must make: the target's floor) and of `python -c pass`, same count,
same interpreter and directory. 10,000 jobs are left out: about five
minutes per side and round.

Planning: `vorda run --dry-run` of one asset of N partitions (the same
module and asset name, only N differs), on an empty store and on a store
where every partition is up to date (made by one real forks run, whose
runner peak memory is printed too, for reference). Wall time
of the whole command, and the peak resident size of the runner process
itself (VmHWM polled from /proc every 5 ms; its discovery child's peak is
printed beside it, not counted). Rows: the excess of N=50,000 over N=1, its
memory per job, and the excess of N=500,000 over N=1 as a multiple of that
of 50,000, for time and memory. 500,000 up
to date is left out: the 50,000-partition store takes minutes to make
(six under a load average of 4), 500,000 would take about an hour.

Runs: a history of 50,000 runs made from one real run of three jobs whose
rows are copied, with new run ids and times, in one transaction (rows shaped
exactly as the runner wrote them), beside the history of that one run:
`vorda runs --store` as a whole command, rotated, medians.

Flushes: `strace -f -c` of fsync, fdatasync and syncfs over (a) the runner,
`vorda run --force --executor forks -j 2` over 200 jobs (total / 200), and
(b) the old way: `python -m vorda.worker` once per job outside the runner,
which flushes each file it writes (default), total / jobs.

Quick mode (about two minutes on 2 cores under a load average of 4-5):
forks at 200 and 1,000 jobs and processes at 200, one round each (the
sides' order still alternates between sizes); planning on an empty store
only; the old way's flushes over 50 workers. The full mode took 29 minutes
under a load average of 4.
"""

import argparse
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import bench_env  # noqa: F401,E402  (PYTHONPATH made absolute before any command runs)

PARALLEL = 2  # -j, and the floors' loops and pools
FORKS_TARGET = 1.6  # x the forked job's floor, at 1,000 jobs
FORKS_TARGET_JOBS = 1_000
FORKS_AIM_MS = 2.0  # per job, on an idle machine: an aim, not a target
PROCESSES_TARGET = 1.3  # x the import pool
PLAN_EXCESS_TARGET = 0.5  # seconds beyond the 1-partition dry run, at 50,000
PLAN_MEMORY_TARGET = 1024  # bytes of peak per job beyond the 1-partition run
PLAN_SCALE_TARGET = 10.0  # excess at 500,000 / excess at 50,000
RUNS_TARGET = 0.2  # seconds, the whole `vorda runs`
RUNS_COUNT = 50_000
IMPORTS = "import importlib, inspect, json, pathlib"
FLUSHES = ("fsync", "fdatasync", "syncfs")

PIPELINE = """
    from vorda import asset, partitions

    @asset(partitions={{"i": partitions(list(range({n})))}})
    def trivial(i):
        return i
"""

# One loop of the forked job's floor. Imports what the fork server imports,
# says so, waits for the go line, then forks a child per key.
FORK_FLOOR = """
import gc, json, os, sys, time
import vorda, vorda.worker, importlib, inspect
from vorda._vorda import materialize_asset
module, base, first, last = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
importlib.import_module(module)
vorda._defer_flush = True
gc.freeze()
for key in range(first, last):
    os.makedirs(f"{base}/i={key}", exist_ok=True)
print("ready", flush=True)
sys.stdin.readline()
start = time.time()
for key in range(first, last):
    pid = os.fork()
    if pid == 0:
        try:
            materialize_asset(module, "trivial", f"{base}/i={key}", '{"i": %d}' % key)
        except BaseException:
            os._exit(1)
        os._exit(0)
    if os.waitpid(pid, 0)[1]:
        sys.exit(f"the floor's job {key} failed")
print(json.dumps([start, time.time()]), flush=True)
"""

# The old way's flushes: a worker process per job, default flags.
WORKERS = """
import subprocess, sys
module, base, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
for key in range(count):
    subprocess.run([sys.executable, "-m", "vorda.worker", module, "trivial", f"{base}/i={key}",
                    "--inputs", '{"i": %d}' % key], check=True, stdout=subprocess.DEVNULL)
"""


def load():
    return f"load {os.getloadavg()[0]:.2f}"


def verdict(ok):
    return "ok" if ok else "MISS"


def write_pipeline(folder, n, name=None):
    """The pipeline module of n partitions in `folder`; its module name."""
    name = name or f"p{n}"
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{name}.py").write_text(textwrap.dedent(PIPELINE.format(n=n)))
    return name


def vorda_argv(*args):
    return [sys.executable, "-m", "vorda", *map(str, args)]


def run(argv, folder):
    """Run a command to its end; its wall seconds. Fails loudly if it fails
    (or if forks fell back to a process per job)."""
    with tempfile.TemporaryFile() as errors:  # a pipe would fill up with progress lines
        start = time.perf_counter()
        done = subprocess.run(argv, cwd=folder, stdout=subprocess.DEVNULL, stderr=errors)
        seconds = time.perf_counter() - start
        errors.seek(0)
        err = errors.read().decode(errors="replace")
    if done.returncode != 0 or "instead" in err:
        raise SystemExit(f"{' '.join(argv)}: status {done.returncode}\n{err[-2000:]}")
    return seconds


def _hwm_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return 0


def _children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as listing:
            return [int(p) for p in listing.read().split()]
    except (OSError, ValueError):
        return []


def measure(argv, folder):
    """(wall seconds, the process's own peak KB, its children's largest peak KB)."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=folder, stdout=subprocess.DEVNULL, stderr=errors)
        own = children = 0
        while process.poll() is None:
            own = max(own, _hwm_kb(process.pid))
            for child in _children(process.pid):
                children = max(children, _hwm_kb(child))
            time.sleep(0.005)
        seconds = time.perf_counter() - start
        errors.seek(0)
        err = errors.read().decode(errors="replace")
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(argv)}: status {process.returncode}\n{err[-2000:]}")
    return seconds, own, children


def median(values):
    return statistics.median(values)


# -- forks at the floor ------------------------------------------------------


def forks_span(store, size):
    """Seconds from the last run's first submission to its end record."""
    db = sqlite3.connect(f"file:{store / 'history.sqlite'}?mode=ro", uri=True)
    try:
        run_id, ended = db.execute("SELECT id, ended FROM runs ORDER BY started DESC LIMIT 1").fetchone()
        first, count, ok = db.execute(
            "SELECT MIN(started), COUNT(*), SUM(status='ok') FROM jobs WHERE run_id=?", (run_id,)).fetchone()
    finally:
        db.close()
    if count != size or ok != size:
        raise SystemExit(f"forks run {run_id}: {ok} of {count} jobs ok, {size} expected")
    return ended - first


def fork_floor(folder, module, size, shm, base=None):
    """Seconds of PARALLEL fork loops over `size` jobs in all, from the first
    loop's start to the last one's end: into a fresh folder under `shm`,
    removed after, or into `base`, kept (a later call replaces its files, as
    a rerun replaces a store's)."""
    own = base is None
    if own:
        base = Path(tempfile.mkdtemp(prefix="floor-", dir=shm))
    try:
        bounds = [size * k // PARALLEL for k in range(PARALLEL + 1)]
        loops = [subprocess.Popen([sys.executable, "-c", FORK_FLOOR, module, str(base), str(lo), str(hi)],
                                  cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                 for lo, hi in zip(bounds, bounds[1:])]
        for loop in loops:
            if loop.stdout.readline().strip() != "ready":
                raise SystemExit("the fork floor did not start")
        for loop in loops:
            loop.stdin.write("go\n")
            loop.stdin.flush()
        spans = []
        for loop in loops:
            out, _ = loop.communicate()
            if loop.returncode != 0:
                raise SystemExit("the fork floor failed")
            spans.append(json.loads(out))
        return max(end for _, end in spans) - min(start for start, _ in spans)
    finally:
        if own:
            shutil.rmtree(base, ignore_errors=True)


def forks_rows(quick, folder):
    sizes = (200, 1_000) if quick else (200, 1_000, 2_000, 10_000)
    rounds = 1 if quick else 3
    shm = "/dev/shm" if os.path.isdir("/dev/shm") else None
    misses = []
    stores = {}
    for size in sizes:
        module = write_pipeline(folder, size)
        stores[size] = folder / f"forks-{size}"
        run(vorda_argv("run", "--executor", "forks", "-j", PARALLEL, "--store", stores[size], module), folder)
    # Beside the target row, the same run with its store on the floor's file system.
    alike = Path(tempfile.mkdtemp(prefix="forks-", dir=shm)) / "store" if shm else None
    try:
        if alike is not None:
            run(vorda_argv("run", "--executor", "forks", "-j", PARALLEL, "--store", alike, f"p{FORKS_TARGET_JOBS}"),
                folder)
        # And the floor on the store's file system, its files there before it is timed.
        on_disk = folder / "floor-disk"
        on_disk.mkdir()
        fork_floor(folder, f"p{FORKS_TARGET_JOBS}", FORKS_TARGET_JOBS, shm, on_disk)
        spans, wholes, floors, alikes, disk_floors = {}, {}, {}, [], []
        for n in range(rounds):
            for k, size in enumerate(sizes):
                sides = ["forks", "floor"] + (["alike"] if alike is not None and size == FORKS_TARGET_JOBS else [])
                sides += ["disk floor"] if size == FORKS_TARGET_JOBS else []
                # Each side goes first in turn, so none always meets a cold machine.
                for side in sides[(n + k) % len(sides):] + sides[:(n + k) % len(sides)]:
                    store = alike if side == "alike" else stores[size]
                    argv = vorda_argv("run", "--force", "--executor", "forks", "-j", PARALLEL, "--store", store,
                                      f"p{size}")
                    if side == "forks":
                        wholes.setdefault(size, []).append(run(argv, folder) / size)
                        spans.setdefault(size, []).append(forks_span(store, size) / size)
                    elif side == "alike":
                        run(argv, folder)
                        alikes.append(forks_span(store, size) / size)
                    elif side == "disk floor":
                        disk_floors.append(fork_floor(folder, f"p{size}", size, shm, on_disk) / size)
                    else:
                        floors.setdefault(size, []).append(fork_floor(folder, f"p{size}", size, shm) / size)
    finally:
        if alike is not None:
            shutil.rmtree(alike.parent, ignore_errors=True)
    where = "/dev/shm" if shm else "the temporary folder (no /dev/shm)"
    print(f"  floor: {PARALLEL} loops of fork + materialize_asset + _exit into {where}; "
          f"forks' time from first submission to the run's end record")
    print(f"  {'':46} {'ms/job':>7} {'floor':>7} {'ratio':>7}  {'target':12} {'whole cmd':>9}  {'aim':12}")
    for size in sizes:
        ours, floor, whole = median(spans[size]) * 1e3, median(floors[size]) * 1e3, median(wholes[size]) * 1e3
        ratio = median([s / f for s, f in zip(spans[size], floors[size])])
        target = ""
        if size == FORKS_TARGET_JOBS:
            ok = ratio <= FORKS_TARGET
            target = f"<={FORKS_TARGET:.1f}x {verdict(ok)}"
            if not ok:
                misses.append(f"forks at {size} jobs / their floor")
        aim = f"{FORKS_AIM_MS:.0f} ms: {'met' if ours <= FORKS_AIM_MS else 'not met'}"
        label = f"vorda run --executor forks -j {PARALLEL}, {size:,} jobs"
        print(f"  {label:46} {ours:7.2f} {floor:7.2f} {ratio:6.2f}x  {target:12} {whole:9.2f}  {aim:12}  {load()}",
              flush=True)
        if size == FORKS_TARGET_JOBS and alikes:
            ratio = median([s / f for s, f in zip(alikes, floors[size])])
            label = "  the same, its store in /dev/shm as the floor's"
            print(f"  {label:46} {median(alikes) * 1e3:7.2f} {floor:7.2f} {ratio:6.2f}x  {'(reference)':12}",
                  flush=True)
        if size == FORKS_TARGET_JOBS:
            ratio = median([s / f for s, f in zip(spans[size], disk_floors)])
            label = "  its floor on the store's disk instead"
            print(f"  {label:46} {ours:7.2f} {median(disk_floors) * 1e3:7.2f} {ratio:6.2f}x  {'(reference)':12}",
                  flush=True)
    return misses


# -- a process per job -------------------------------------------------------


def pool(folder, code, count):
    argv = [sys.executable, "-c", code]
    start = time.perf_counter()
    with ThreadPoolExecutor(PARALLEL) as threads:
        list(threads.map(lambda _: subprocess.run(argv, cwd=folder, check=True), range(count)))
    return time.perf_counter() - start


def processes_rows(quick, folder):
    sizes = (200,) if quick else (200, 2_000)
    rounds = 1 if quick else 3
    misses = []
    for size in sizes:
        module = write_pipeline(folder, size)
        store = folder / f"processes-{size}"
        argv = vorda_argv("run", "--force", "--executor", "processes", "-j", PARALLEL, "--store", store, module)
        run(argv, folder)  # the store exists before the timed rounds
        sides = {
            "run": lambda: run(argv, folder),
            "imports": lambda: pool(folder, IMPORTS, size),
            "pass": lambda: pool(folder, "pass", size),
        }
        times = {name: [] for name in sides}
        order = list(sides)
        for n in range(rounds):
            for name in order[n % 3:] + order[:n % 3]:
                times[name].append(sides[name]() / size)
        ratio = median([r / f for r, f in zip(times["run"], times["imports"])])
        ok = ratio <= PROCESSES_TARGET
        if not ok:
            misses.append(f"processes at {size} jobs / the import pool")
        label = f"vorda run --executor processes -j {PARALLEL}, {size:,} jobs"
        print(f"  {label:56} {median(times['run']) * 1e3:7.2f} ms/job {ratio:6.2f}x  "
              f"<={PROCESSES_TARGET:.1f}x {verdict(ok)}  {load()}")
        print(f"    floor: pool of {PARALLEL}, python -c \"{IMPORTS}\"  {median(times['imports']) * 1e3:7.2f} ms/job")
        print(f"    beside it: pool of {PARALLEL}, python -c pass {'':28}{median(times['pass']) * 1e3:7.2f} ms/job",
              flush=True)
    print("  (10,000 jobs left out: about five minutes per side and round)")
    return misses


# -- planning at scale -------------------------------------------------------


def dry_runs(folder, stores, sizes, rounds):
    """{size: [(seconds, own KB, children KB)]}, sizes rotated each round."""
    found = {size: [] for size in sizes}
    for n in range(rounds):
        for size in sizes[n % len(sizes):] + sizes[:n % len(sizes)]:
            argv = vorda_argv("run", "--dry-run", "--store", stores[size], "scale")
            found[size].append(measure(argv, folder / f"n{size}"))
    return found


def planning_table(title, figures, sizes):
    misses = []
    seconds = {size: median([f[0] for f in figures[size]]) for size in sizes}
    own = {size: median([f[1] for f in figures[size]]) for size in sizes}
    children = {size: median([f[2] for f in figures[size]]) for size in sizes}
    print(f"  {title}")
    for size in sizes:
        print(f"    vorda run --dry-run, {size:>7,} partitions {seconds[size]:8.2f} s  runner peak "
              f"{own[size] / 1024:7.1f} MB  (discovery {children[size] / 1024:.1f} MB)")
    small, mid = sizes[0], sizes[1]
    excess = seconds[mid] - seconds[small]
    per_job = (own[mid] - own[small]) * 1024 / mid
    rows = [(f"{mid:,} minus 1 partition: {excess:.2f} s", excess <= PLAN_EXCESS_TARGET,
             f"<={PLAN_EXCESS_TARGET} s", f"dry-run time at {mid:,}"),
            (f"peak memory beyond 1 partition: {per_job:.0f} B/job", per_job <= PLAN_MEMORY_TARGET,
             f"<={PLAN_MEMORY_TARGET} B", f"dry-run memory at {mid:,}")]
    if len(sizes) > 2:
        big = sizes[2]
        scale = (seconds[big] - seconds[small]) / excess if excess > 0 else float("inf")
        memory = (own[big] - own[small]) / (own[mid] - own[small]) if own[mid] > own[small] else float("inf")
        rows += [(f"{big:,}: time excess {scale:.1f}x that of {mid:,}", scale <= PLAN_SCALE_TARGET,
                  f"<={PLAN_SCALE_TARGET:.0f}x", f"dry-run time at {big:,}"),
                 (f"{big:,}: memory excess {memory:.1f}x that of {mid:,}", memory <= PLAN_SCALE_TARGET,
                  f"<={PLAN_SCALE_TARGET:.0f}x", f"dry-run memory at {big:,}")]
    for text, ok, target, label in rows:
        print(f"    {text:58} {target:>9} {verdict(ok)}  {load()}")
        if not ok:
            misses.append(f"{label} ({title})")
    return misses


def planning_rows(quick, folder):
    sizes = (1, 50_000) if quick else (1, 50_000, 500_000)
    rounds = 2 if quick else 3
    for size in sizes:
        write_pipeline(folder / f"n{size}", size, "scale")
    empty = {size: folder / f"n{size}" / "empty" for size in sizes}
    misses = planning_table("empty store", dry_runs(folder, empty, sizes, rounds), sizes)
    if quick:
        print("  every partition up to date: left out in quick mode (its 50,000-partition store takes minutes "
              "to make)", flush=True)
        return misses
    made = {size: folder / f"n{size}" / "current" for size in sizes[:2]}
    real = {size: measure(vorda_argv("run", "--executor", "forks", "-j", PARALLEL, "--store", store, "scale"),
                          folder / f"n{size}") for size, store in made.items()}
    small, big = sizes[:2]
    print(f"  the up-to-date store made by one real run, vorda run --executor forks -j {PARALLEL}, {big:,} partitions: "
          f"{real[big][0]:.0f} s, runner peak {real[big][1] / 1024:.1f} MB, "
          f"{(real[big][1] - real[small][1]) * 1024 / big:.0f} B/job beyond 1 partition (for reference: the target "
          f"is the dry run's); {sizes[2]:,} up to date left out: about an hour to make", flush=True)
    return misses + planning_table("every partition up to date", dry_runs(folder, made, sizes[:2], rounds), sizes[:2])


# -- vorda runs over a long history -----------------------------------------


def copy_runs(source, target, count):
    """A history of `count` runs: the one run of `source`, copied with new
    ids, times one second apart and log paths under the new id."""
    shutil.copytree(source, target)
    db = sqlite3.connect(target / "history.sqlite", isolation_level=None)
    try:
        runs = db.execute("SELECT * FROM runs")
        run_columns = [c[0] for c in runs.description]
        (first,) = [dict(zip(run_columns, row)) for row in runs]
        jobs = db.execute("SELECT * FROM jobs WHERE run_id=?", (first["id"],))
        job_columns = [c[0] for c in jobs.description]
        job_rows = [dict(zip(job_columns, row)) for row in jobs]
        db.execute("BEGIN")
        for k in range(1, count):
            shift = -float(k)
            when = time.strftime("%Y%m%d-%H%M%S", time.localtime(first["started"] + shift))
            run_id = f"{when}-{k % 65536:04x}"
            db.execute(f"INSERT INTO runs ({', '.join(run_columns)}) VALUES ({', '.join('?' * len(run_columns))})",
                       [dict(first, id=run_id, started=first["started"] + shift, ended=first["ended"] + shift)[c]
                        for c in run_columns])
            db.executemany(
                f"INSERT INTO jobs ({', '.join(job_columns)}) VALUES ({', '.join('?' * len(job_columns))})",
                [[dict(job, run_id=run_id, started=job["started"] + shift,
                       log_path=job["log_path"].replace(first["id"], run_id))[c] for c in job_columns]
                 for job in job_rows])
        db.execute("COMMIT")
        total = db.execute("SELECT COUNT(*) FROM runs").fetchone()[0]
    finally:
        db.close()
    if total != count:
        raise SystemExit(f"the long history holds {total} runs, not {count}")


def runs_rows(quick, folder):
    rounds = 3 if quick else 7
    module = write_pipeline(folder, 3)
    one = folder / "runs-1"
    run(vorda_argv("run", "--executor", "processes", "-j", PARALLEL, "--store", one, module), folder)
    many = folder / "runs-many"
    start = time.perf_counter()
    copy_runs(one, many, RUNS_COUNT)
    made = time.perf_counter() - start
    times = {one: [], many: []}
    for n in range(rounds):
        for store in ((one, many) if n % 2 == 0 else (many, one)):
            times[store].append(run(vorda_argv("runs", "--store", store), folder))
    small, big = median(times[one]), median(times[many])
    ok = big <= RUNS_TARGET
    print(f"  {f'vorda runs, {RUNS_COUNT:,} runs in the history':52} {big:7.3f} s  "
          f"<={RUNS_TARGET} s {verdict(ok)}  {load()}")
    print(f"  {'vorda runs, 1 run (the fixed start cost)':52} {small:7.3f} s  excess {big - small:+.3f} s  "
          f"(history of 3 jobs per run copied in {made:.1f} s)", flush=True)
    return [] if ok else ["vorda runs with 50,000 runs"]


# -- flushes per job ---------------------------------------------------------


def strace_flushes(argv, folder):
    """fsync + fdatasync + syncfs calls of the command and its children."""
    with tempfile.NamedTemporaryFile("r", suffix=".strace") as out:
        subprocess.run(["strace", "-f", "-c", "-o", out.name, "-e", "trace=" + ",".join(FLUSHES), *argv],
                       cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        counts = {name: 0 for name in FLUSHES}
        for line in out.read().splitlines():
            parts = line.split()
            if parts and parts[-1] in counts:
                counts[parts[-1]] = int(parts[3])
    return counts


def fsync_rows(quick, folder):
    if shutil.which("strace") is None:
        print("  strace is not installed (make system-deps installs it): the flush row is left out")
        return []
    jobs, old = 200, 50 if quick else 200
    module = write_pipeline(folder, jobs)
    store = folder / "fsync"
    (folder / "workers").mkdir()
    run(vorda_argv("run", "--executor", "forks", "-j", PARALLEL, "--store", store, module), folder)
    after = strace_flushes(vorda_argv("run", "--force", "--executor", "forks", "-j", PARALLEL, "--store", store,
                                      module), folder)
    before = strace_flushes([sys.executable, "-c", WORKERS, module, str(folder / "workers"), str(old)], folder)

    def per_job(counts, n):
        return sum(counts.values()) / n, ", ".join(f"{name} {c / n:.2f}" for name, c in counts.items() if c)

    b, b_detail = per_job(before, old)
    a, a_detail = per_job(after, jobs)
    print(f"  fsync/fdatasync/syncfs per job: before {b:.2f}, after {a:.2f}  {load()}")
    print(f"    before: python -m vorda.worker per job outside the runner, {old} jobs ({b_detail or 'none'})")
    print(f"    after: vorda run --force --executor forks -j {PARALLEL}, {jobs} jobs, history included "
          f"({a_detail or 'none'})", flush=True)
    return []


SECTIONS = {
    "forks": ("Forked jobs beside the floor of a forked job", forks_rows),
    "processes": ("A process per job beside the floor of starting one", processes_rows),
    "planning": ("Planning at scale (--dry-run of one asset)", planning_rows),
    "runs": ("vorda runs over a long history", runs_rows),
    "fsync": ("Flushes per job (strace)", fsync_rows),
}


def report(quick, only=None):
    """Print the rows; the labels of missed targets."""
    misses = []
    with tempfile.TemporaryDirectory(prefix="vorda-scale-") as tmp:
        for name, (title, rows) in SECTIONS.items():
            if only and name not in only:
                continue
            print(f" {title}  ({load()}, {os.getloadavg()[1]:.2f} over 5 min)", flush=True)
            section = Path(tmp) / name
            section.mkdir()
            misses += rows(quick, section)
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and rounds")
    parser.add_argument("--only", help="sections, comma-separated: " + ",".join(SECTIONS))
    args = parser.parse_args()
    only = set(args.only.split(",")) if args.only else None
    if only and not only <= set(SECTIONS):
        parser.error(f"--only takes {', '.join(SECTIONS)}")
    sys.stdout.reconfigure(line_buffering=True)
    misses = report(args.quick, only)
    print("missed: " + ("; ".join(misses) if misses else "none"))
    return 1 if misses else 0


if __name__ == "__main__":
    sys.exit(main())
