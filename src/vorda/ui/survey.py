"""The survey process of ``vorda ui``:

    python -m vorda.ui.survey --store DIR [--path DIR ...] [MODULE ...]

Discovers the modules, reads each partition's last job from the history and
writes it as one line of JSON on standard output (model.encode), then takes
the dry run of every job (``make_plan`` and ``Plan.dry_run``: the runner's
own rule of what would run) and writes the whole again with its verdicts. It runs in a process of its own so that the
memory a dry run of many partitions takes goes when it ends, and so that
the modules' imports never happen in the server. It only reads the store.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sqlite3
import sys
import time
from pathlib import Path
from typing import Any, Callable

from vorda import _command, _lifeline
from vorda._command import UsageError
from vorda.run.plan import make_plan
from vorda.run.planning.discovery import Asset
from vorda.run.search_path import SearchPath
from vorda.run.store.layout import Store
from vorda.ui.model import AssetView, Snapshot, Verdicts, encode, last_code, partition_of

_COPY = re.compile(r" #\d+$")  # "NAMES in PATH #2": the second statement binding them

# Each partition's last job, newest run first (pending jobs have no start
# time yet, so the run's start orders them).
LAST_JOBS = """
SELECT asset, partition, status, reason FROM (
    SELECT j.asset, j.partition, j.status, j.reason,
           ROW_NUMBER() OVER (PARTITION BY j.asset, j.partition ORDER BY r.started DESC, j.seq DESC) AS n
    FROM jobs j JOIN runs r ON r.id = j.run_id)
WHERE n = 1
"""


def source_files(modules: list[str], search: SearchPath, assets: list[Asset]) -> list[str]:
    """The files and package folders whose change may change what discovery
    finds or what a dry run says: each module's file, each named package's
    folder, each asset's file, and each file its code version reads (a
    helper module's constant, a module covered whole)."""
    found: set[str] = set()
    covered = {_COPY.sub("", label.partition(" in ")[2] or label) for asset in assets for label in asset.covers}
    for path in covered:
        for folder in search.dirs:
            if Path(folder, path).is_file():
                found.add(str(Path(folder, path)))
    for name in [*modules, *search.expand(modules)]:
        for folder in search.dirs:
            base = Path(folder, *name.split("."))
            for candidate in (base.with_suffix(".py"), base / "__init__.py"):
                if candidate.is_file():
                    found.add(str(candidate))
            if (base / "__init__.py").is_file():
                found.add(str(base))
    for asset in assets:
        path = asset.ref.rpartition(":")[0]
        if path:
            found.add(path)
    return sorted(found)


def _runs(store: Store) -> dict[str, str]:
    history = store.history(readonly=True)
    try:
        if history.db is None:
            return {}
        return {str(rid): str(status) for rid, status in history.db.execute("SELECT id, status FROM runs")}
    finally:
        history.close()


def _read_last(store: Store, views: list[AssetView]) -> None:
    by_key = {view.key: view for view in views}
    history = store.history(readonly=True)
    try:
        if history.db is None:
            return
        for key, partition, status, reason in history.db.execute(LAST_JOBS):
            view = by_key.get(key)
            if view is None:
                continue
            try:
                place = view.position(partition_of(partition))
            except ValueError:
                continue
            if place is not None:
                view.last[place] = last_code(status, reason)
    finally:
        history.close()


def survey(modules: list[str], store_dir: str, paths: list[str], first: Callable[[Snapshot], None]) -> Snapshot:
    """The snapshot of the pipeline; `first` hears of it before the dry
    run, with the last jobs only (a dry run of many partitions takes a while)."""
    store = Store(store_dir)
    runs = _runs(store)  # first: a run going on now is read again by the server
    notices: list[str] = []
    search = SearchPath(list(paths))
    try:
        plan = make_plan(modules, store=store_dir, path=paths, notice=notices.append)
    except UsageError as failure:
        return Snapshot([], runs, source_files(modules, search, []), error=str(failure))
    views: dict[str, AssetView] = {}
    verdicts: dict[str, Verdicts] = {}
    for ref, asset in plan.assets.items():
        size = 1
        for keys in asset.dims.values():
            size *= len(keys)
        views[ref] = AssetView(
            label=asset.label, name=asset.name, key=asset.key,
            inputs=[plan.assets[up].label for up in dict.fromkeys(asset.inputs.values()) if up in plan.assets],
            dims=[(dim, list(keys)) for dim, keys in asset.dims.items()],
            last=bytearray(size), would=bytearray(size), verdicts=[],
        )
        verdicts[ref] = Verdicts()
    ordered = [views[ref] for ref in plan.assets]
    _read_last(store, ordered)
    files = source_files([*modules, *plan.modules], search, list(plan.assets.values()))
    first(Snapshot(ordered, runs, files, notice="\n".join(notices), checked=False))
    rows = plan.dry_run()
    for job, row in zip(plan.selected, rows):
        view = views[job.asset.ref]
        place = view.position(job.keys)
        if place is not None and row.reason is not None:
            view.would[place] = verdicts[job.asset.ref].code(row.status, row.reason, row.reason_detail)
    for ref, view in views.items():
        view.verdicts = verdicts[ref].table
    return Snapshot(ordered, runs, files, notice="\n".join(notices))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="vorda ui: survey")
    parser.add_argument("modules", nargs="*")
    parser.add_argument("--store", required=True)
    parser.add_argument("--path", action="append", default=[])
    args = parser.parse_args(argv)
    _lifeline.watch(_lifeline.take())
    # The report keeps standard output's descriptor; what modules print goes nowhere.
    report = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    start = time.monotonic()
    with os.fdopen(report, "wb") as out:
        def write(snapshot: Snapshot) -> None:
            data: dict[str, Any] = encode(snapshot)
            data["seconds"] = time.monotonic() - start
            out.write(json.dumps(data, ensure_ascii=False).encode("utf-8", "surrogatepass") + b"\n")
            out.flush()

        try:
            snapshot = survey(args.modules, args.store, args.path, write)
        except (OSError, sqlite3.Error, ValueError) as error:
            snapshot = Snapshot([], {}, [], error=f"cannot read the store {args.store}: {_command.describe(error)}")
        write(snapshot)
    return 0


if __name__ == "__main__":
    sys.exit(_command.run_command("vorda ui: survey", lambda: main(sys.argv[1:])))
