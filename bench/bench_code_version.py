"""Code versions: discovery of 1,000 assets in 100 modules (each asset
reaching helpers and constants of its module and of a shared module) with
exact code versions (planning/code_version.py), beside today's discovery
(the asset's own source and decorator only).

    python3 bench/bench_code_version.py [--quick]

Needs the vorda package importable (an installed build, or src/ with the
engine beside it on PYTHONPATH).

Sides, each timed whole as `vorda run` waits for discovery (the process
started, its JSON report read):
- today: `python -m vorda.run.planning.discovery_remote MODULES`.
- in discovery: the same process, each record given its code version
  (digest, covers, dynamic) before the report is written; nothing cached.
- in discovery, cached: the same with the cache file a previous run left,
  no module changed.
- beside discovery: today's process, while the waiting parent parses the
  modules (`Project.prepare`); the versions are computed in the parent from
  the report. Nothing cached.

Fairness: the same interpreter, environment and module files for every side;
bytecode written and the page cache warm before the rounds (as for every run
after the first); each round runs every side, which side goes first turning
round by round; a ratio is the median of the per-round ratios to today.
Time spent on the code versions themselves is also shown, timed inside.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

MODULES = 100
PER_MODULE = 10
TARGET = 1.2

COMMON = '''\
"""Helpers shared by every module."""
import re

LIMIT = 1000.0
PREFIX = "row-"
_SPACES = re.compile(r"\\s+")


def clamp(x: float) -> float:
    return max(-LIMIT, min(LIMIT, x))


def label(k: int) -> str:
    return _SPACES.sub("-", f"{PREFIX} {k}")
'''


def module_source(m):
    lines = [
        f'"""Generated module {m}."""',
        "import json",
        "from typing import Any",
        "",
        "from vorda import asset, partitions",
        "",
        "from cvbench import common",
        "from cvbench.common import clamp",
        "",
        f"SCALE = {m + 1}",
        'REGIONS = partitions(["north", "south"])',
        'WEIGHTS = {"a": 1.0, "b": 2.0}',
        "",
        "",
        "def _norm(x: float) -> float:",
        "    return clamp(x * SCALE)",
        "",
        "",
        "def _rows(n: int) -> list[dict[str, Any]]:",
        '    return [{"v": _norm(k), "label": common.label(k)} for k in range(n)]',
        "",
        "",
        "def _total(rows: list[dict[str, Any]]) -> float:",
        '    return sum(r["v"] for r in rows)',
        "",
        "",
        "def _dump(value: Any) -> str:",
        "    return json.dumps(value, default=str)",
        "",
        "",
        "def _unused() -> int:",
        "    return 0",
        "",
    ]
    for i in range(PER_MODULE):
        name = f"a{m}_{i}"
        if i % 2 == 0:
            lines += [
                "",
                '@asset(partitions={"region": REGIONS})',
                f"def {name}(region: str) -> dict[str, Any]:",
                f"    rows = _rows({i + 1})",
                '    return {"region": region, "total": _total(rows), "text": _dump(rows)}',
                "",
            ]
        else:
            lines += [
                "",
                f'@asset(inputs={{"prev": a{m}_{i - 1}}})',
                f"def {name}(prev: list[dict[str, Any]]) -> float:",
                '    totals = [entry["value"]["total"] for entry in prev]',
                f'    return _norm(sum(totals)) * WEIGHTS["a"] + {i}',
                "",
            ]
    return "\n".join(lines)


# In discovery: the discovery process itself, each record given its exact
# code version before the report is written.
IN_DISCOVERY = textwrap.dedent(
    """
    import sys, time
    from vorda.run.planning import discovery_remote
    from vorda.run.planning.code_version import Project, code_version

    began = time.perf_counter()
    project = Project([sys.argv[1]], cache=sys.argv[2] or None)
    spent = time.perf_counter() - began
    plain = discovery_remote._records

    def records(name):
        global spent
        found = plain(name)
        began = time.perf_counter()
        for r in found:
            version = code_version(project, r["module_path"], r["function_name"], r["function_source"],
                                   r["decorator_metadata"])
            r["code_version"] = {"digest": version.digest, "covers": version.covers, "dynamic": version.dynamic}
        spent += time.perf_counter() - began
        return found

    discovery_remote._records = records
    status = discovery_remote.main(sys.argv[3:])
    began = time.perf_counter()
    project.save()
    spent += time.perf_counter() - began
    print(spent, file=sys.stderr)
    sys.exit(status)
    """
)

SIDES = ("today", "in discovery", "in discovery, cached", "beside discovery")


def make_project(root):
    pkg = Path(root, "cvbench")
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    (pkg / "common.py").write_text(COMMON)
    names = []
    for m in range(MODULES):
        (pkg / f"m{m}.py").write_text(module_source(m))
        names.append(f"cvbench.m{m}")
    return names


def _side(side, root, names):
    """One discovery: (seconds in all, seconds spent on code versions)."""
    from vorda.run.planning.code_version import Project, code_version

    env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, *filter(None, [os.environ.get("PYTHONPATH")])]))
    env.pop("PYTHONDONTWRITEBYTECODE", None)  # steady state: every module's bytecode cached
    if side.startswith("in discovery"):
        cache = os.path.join(root, "code-versions.cache") if side.endswith("cached") else ""
        argv = [sys.executable, "-c", IN_DISCOVERY, root, cache, *names]
    else:
        argv = [sys.executable, "-m", "vorda.run.planning.discovery_remote", *names]
    spent = 0.0
    start = time.perf_counter()
    child = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    if side == "beside discovery":
        project = Project([root], [root, *sys.path])
        project.prepare(names)
        spent = time.perf_counter() - start
    out, err = child.communicate()
    if child.returncode != 0:
        raise SystemExit(f"{side}: discovery failed:\n{err.decode()}")
    records = json.loads(out)["assets"]
    if side == "beside discovery":
        began = time.perf_counter()
        for r in records:
            version = code_version(project, r["module_path"], r["function_name"], r["function_source"],
                                   r["decorator_metadata"])
            r["code_version"] = {"digest": version.digest, "covers": version.covers, "dynamic": version.dynamic}
        spent += time.perf_counter() - began
    took = time.perf_counter() - start
    if len(records) != MODULES * PER_MODULE or (side != "today") != ("code_version" in records[0]):
        raise SystemExit(f"{side}: {len(records)} assets discovered, {MODULES * PER_MODULE} expected")
    if side.startswith("in discovery"):
        spent = float(err.decode().split()[-1])
    return took, spent


def report(quick):
    """Print the rows; the labels of missed targets."""
    rounds = 4 if quick else 12
    times = {side: [] for side in SIDES}
    inside = {side: [] for side in SIDES}
    with tempfile.TemporaryDirectory(prefix="vorda-cv-bench-") as root:
        names = make_project(root)
        for side in SIDES:  # bytecode, page cache, the cache file
            _side(side, root, names)
        for n in range(rounds):
            for side in SIDES[n % len(SIDES):] + SIDES[: n % len(SIDES)]:
                took, spent = _side(side, root, names)
                times[side].append(took)
                inside[side].append(spent)
    assets = MODULES * PER_MODULE
    print(f"  {f'discovery, {assets} assets in {MODULES} modules, today':52} "
          f"{statistics.median(times['today']) * 1e3:8.1f} ms")
    misses = []
    for side in SIDES[1:]:
        ratio = statistics.median(m / t for m, t in zip(times[side], times["today"]))
        ok = ratio <= TARGET
        spent = statistics.median(inside[side])
        print(f"  {'  with exact code versions ' + side:52} {statistics.median(times[side]) * 1e3:8.1f} ms "
              f"{ratio:6.2f}x  <={TARGET:.2f}x {'ok  ' if ok else 'MISS'}  (code versions: {spent * 1e3:.0f} ms)")
        if not ok:
            misses.append(f"discovery with exact code versions {side}")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
