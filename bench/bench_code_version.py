"""Code versions: discovery of 1,000 assets in 100 modules (each asset using
helpers and constants of its module and of a shared module) with the exact
code versions (planning/code_version.py) beside the same discovery with
today's (the asset's own source and decorator only).

    python3 bench/bench_code_version.py [--quick]

Needs the vorda package importable (an installed build, or src/ with the
engine beside it on PYTHONPATH).

Fairness: each side is one fresh process of the same interpreter, in the
same environment, over the same module files (read once before the rounds,
so both meet a warm page cache): it imports the modules and inspects them as
the discovery process does (`discovery_remote._records`), then computes the
code version of every record, today's rule on one side, the exact rule on
the other, starting with nothing parsed. The time is the whole process, as
`vorda run` waits for it; the sides alternate which goes first and the ratio
is the median of the per-round ratios. The exact rule's own share is also
timed inside its process.
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


# The exact side: the discovery process itself, each record also given its
# exact code version before the report is written.
EXACT = textwrap.dedent(
    """
    import sys, time
    from vorda.run.planning import discovery_remote
    from vorda.run.planning.code_version import Project, code_version

    cache = sys.argv[2] or None
    project = Project([sys.argv[1]], cache=cache)
    spent = 0.0
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


def _side(mode, root, names):
    """One discovery as `vorda run` makes it: the process started, its report
    read; (seconds, seconds spent on exact code versions). Modes: today,
    exact (nothing cached), warm (the cache a previous run left)."""
    cache = os.path.join(root, "code-versions.cache")
    if mode == "today":
        argv = [sys.executable, "-m", "vorda.run.planning.discovery_remote", *names]
    else:
        argv = [sys.executable, "-c", EXACT, root, cache if mode == "warm" else "", *names]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([root, *filter(None, [os.environ.get("PYTHONPATH")])]))
    start = time.perf_counter()
    done = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True)
    records = json.loads(done.stdout)["assets"] if done.returncode == 0 else []
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{mode} side failed:\n{done.stderr.decode()}")
    if len(records) != MODULES * PER_MODULE or (mode != "today") != ("code_version" in records[0]):
        raise SystemExit(f"{mode}: {len(records)} assets discovered, {MODULES * PER_MODULE} expected")
    return took, float(done.stderr.decode().split()[-1]) if mode != "today" else 0.0


def report(quick):
    """Print the rows; the labels of missed targets."""
    rounds = 4 if quick else 10
    modes = ("today", "exact", "warm")
    times = {mode: [] for mode in modes}
    inside = {mode: [] for mode in modes}
    with tempfile.TemporaryDirectory(prefix="vorda-cv-bench-") as root:
        names = make_project(root)
        # Bytecode written, page cache warm and a cache file left, as for every run after the first.
        for mode in ("today", "exact", "warm"):
            _side(mode, root, names)
        for n in range(rounds):
            # Each side goes first in turn, so that none always meets a cold machine.
            for mode in modes[n % 3:] + modes[: n % 3]:
                took, spent = _side(mode, root, names)
                times[mode].append(took)
                inside[mode].append(spent)
    assets = MODULES * PER_MODULE
    print(f"  {f'discovery, {assets} assets in {MODULES} modules, today':58} "
          f"{statistics.median(times['today']) * 1e3:8.1f} ms")
    misses = []
    for mode, label in (("exact", "with exact code versions, nothing cached"),
                        ("warm", "with exact code versions, modules unchanged")):
        ratio = statistics.median(m / t for m, t in zip(times[mode], times["today"]))
        ok = ratio <= TARGET
        spent = statistics.median(inside[mode])
        print(f"  {label:58} {statistics.median(times[mode]) * 1e3:8.1f} ms {ratio:6.2f}x  <={TARGET:.2f}x "
              f"{'ok' if ok else 'MISS'}  (code versions {spent * 1e3:.0f} ms, {spent / assets * 1e6:.0f} us/asset)")
        if not ok:
            misses.append(f"discovery {label}")
    return misses


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    args = parser.parse_args()
    return 1 if report(args.quick) else 0


if __name__ == "__main__":
    sys.exit(main())
