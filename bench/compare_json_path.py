"""The JSON path's cost per job in two trees side by side: bench_runner's
pipeline of 200 trivial JSON partition jobs run by `vorda run --force`
with each tree's package on PYTHONPATH, the trees alternating round by
round (either goes first in turn), median of the per-round ratios.

    python3 bench/compare_json_path.py BEFORE_SRC AFTER_SRC [--rounds N]

Each SRC is a folder holding a `vorda` package with its built `_vorda*.so`
(for instance `git archive COMMIT src/vorda | tar -x -C /tmp/before`, then
the .so copied in).
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

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_runner  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=10)
    args = parser.parse_args()
    trees = {"before": os.path.abspath(args.before), "after": os.path.abspath(args.after)}
    jobs = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "many.py").write_text(textwrap.dedent(bench_runner.PIPELINES["many.py"]))
        times: dict[str, list[float]] = {name: [] for name in trees}
        for n in range(args.rounds):
            for name in list(trees) if n % 2 else list(reversed(trees)):
                env = dict(os.environ, PYTHONPATH=trees[name])
                argv = [sys.executable, "-m", "vorda", "run", "--force", "-j", str(jobs), "--store",
                        str(folder / name), "many"]
                start = time.perf_counter()
                subprocess.run(argv, cwd=folder, env=env, check=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                times[name].append((time.perf_counter() - start) / bench_runner.JOBS * 1e3)
    for name in trees:
        print(f"  vorda run, {bench_runner.JOBS} trivial JSON jobs, -j {jobs}, {name:6} "
              f"{statistics.median(times[name]):7.2f} ms/job")
    ratios = [a / b for a, b in zip(times["after"], times["before"])]
    print(f"  after / before, median of per-round ratios: {statistics.median(ratios):.3f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
