"""``vorda gc``: drop what neither the store's tree nor its recent runs need.

Kept: every object that the last ok job of a partition names (what the
tree holds) or that a job of the last N runs names, and the history of those
runs and of the runs that made the tree's values. Everything else goes:
objects first, then the history rows and logs of the older runs, so that an
interruption at any point leaves a store that works (a restore whose object
is gone just runs the job).
"""

from __future__ import annotations

import shutil
from dataclasses import dataclass, field

from vorda.run.store.layout import Store


@dataclass
class Freed:
    objects: int = 0
    bytes: int = 0
    runs: list[str] = field(default_factory=list)


def collect(store: Store, keep_runs: int, dry_run: bool = False) -> Freed:
    """Remove (or with `dry_run`, count) what is not needed; call with the
    store's lock held."""
    history = store.history(readonly=dry_run)
    try:
        runs = history.run_ids()
        current = history.current()
        recent = runs[:keep_runs]
        keep = history.hashes_of(recent) | {h for _, value, record in current for h in (value, record) if h}
        needed = set(recent) | {run for run, _, _ in current}
        freed = Freed(runs=[run for run in runs if run not in needed])
        for digest in store.objects.all():
            if digest in keep:
                continue
            freed.objects += 1
            if dry_run:
                freed.bytes += store.objects.size_alone(digest)
            else:
                freed.bytes += store.objects.remove(digest)
        if not dry_run and freed.runs:
            history.forget(freed.runs)
            for run in freed.runs:
                shutil.rmtree(store.root / "logs" / run, ignore_errors=True)
        return freed
    finally:
        history.close()
