"""The data-stack row of `make bench`: 200 partition jobs under
`--executor forks` whose module imports pandas and pyarrow at its top,
beside the same pipeline without those imports.

    python3 bench/bench_forks_stack.py [--quick]

Fairness: the same command, interpreter, -j and store layout on both sides,
forced so that every job runs, alternating which goes first; the median of
the per-round ratios of time per job (the whole command over the jobs, so
the heavier side also pays its imports in discovery and in the fork server
once). A side that falls back to fresh processes is reported as such.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import bench_env  # noqa: F401,E402  (PYTHONPATH made absolute before any command runs)

JOBS = 200
TARGET = 3.0

PIPELINE = """
{imports}
from vorda import asset, partitions

@asset(partitions={{"i": partitions(list(range({jobs})))}})
def trivial(i):
    return i
"""


def _run(folder, module, jobs):
    argv = [sys.executable, "-m", "vorda", "run", "--force", "--executor", "forks", "-j", str(jobs),
            "--store", str(folder / f"store-{module}"), module]
    start = time.perf_counter()
    done = subprocess.run(argv, cwd=folder, capture_output=True, text=True)
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed:\n{done.stderr}")
    return took, "instead" in done.stderr


def report(quick):
    """Print the row; the labels of missed targets."""
    try:
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401
    except ImportError:
        print("  pandas or pyarrow is not installed: row left out")
        return []
    jobs = os.cpu_count() or 1
    rounds = 2 if quick else 4
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "bare.py").write_text(PIPELINE.format(imports="", jobs=JOBS))
        (folder / "stack.py").write_text(PIPELINE.format(imports="import pandas, pyarrow", jobs=JOBS))
        ratios, bare, stack, fell_back = [], [], [], False
        for n in range(rounds):
            order = ("bare", "stack") if n % 2 == 0 else ("stack", "bare")
            took = {}
            for module in order:
                took[module], fell = _run(folder, module, jobs)
                fell_back |= fell
            bare.append(took["bare"] / JOBS)
            stack.append(took["stack"] / JOBS)
            ratios.append(took["stack"] / took["bare"])
    ratio = statistics.median(ratios)
    ok = ratio <= TARGET and not fell_back
    print(f"  {f'forks, {JOBS} jobs, pandas+pyarrow imported at the top':52} {statistics.median(stack) * 1e3:7.2f} ms/job "
          f"{ratio:6.2f}x  <={TARGET:.0f}x {'ok' if ok else 'MISS'}{' (fell back to processes)' if fell_back else ''}")
    print(f"  {f'forks, {JOBS} jobs, no such imports':52} {statistics.median(bare) * 1e3:7.2f} ms/job")
    return [] if ok else ["forks with the data stack"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
