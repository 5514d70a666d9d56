"""``vorda run`` and ``vorda runs``: options, exit statuses, signals."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sqlite3
import sys
import time
from pathlib import Path
from types import FrameType
from typing import NoReturn

from vorda import __version__
from vorda.run import graph, report
from vorda.run.discovery import SearchPath, discover
from vorda.run.errors import UsageError
from vorda.run.choose import EXECUTORS, open_executor
from vorda.run.history import History, StoreLock, new_run_id
from vorda.run.jobs import parse_filters, plan_jobs
from vorda.run.layout import make_store
from vorda.run.runner import Run

OK, FAILED, USAGE, INTERRUPTED = 0, 1, 2, 130


class _Parser(argparse.ArgumentParser):
    def __init__(self, prog: str, description: str, epilog: str | None = None) -> None:
        super().__init__(prog=prog, description=description, epilog=epilog)
        self.add_argument("--version", action="version", version=f"vorda {__version__}")

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(USAGE, f"{self.prog}: error: {message}\n")


def _error(prog: str, message: str) -> None:
    print(f"{prog}: error: {message}", file=sys.stderr)


def _jobs_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"expected a positive number of jobs, got {text!r}")
    return count


def run_parser(prog: str = "vorda run") -> argparse.ArgumentParser:
    parser = _Parser(
        prog=prog,
        description=(
            "Discover the assets of the named modules and materialize them, upstream first, one worker "
            "process per partition job, skipping what is up to date. A package stands for all its modules; "
            "with no module, those of the store's last run."
        ),
        epilog="exit status: 0 all ok or up to date; 1 a job failed or was skipped; "
        "2 usage, discovery or graph error (nothing run); 130 interrupted",
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="dotted name of a module (or package) of assets")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="where values, logs and history live (default: .vorda)")
    parser.add_argument("-j", "--jobs", type=_jobs_count, default=os.cpu_count() or 1, metavar="N",
                        help="jobs at once (default: the number of CPUs)")
    parser.add_argument("--select", action="append", default=[], metavar="SEL",
                        help="run only this asset (function or module:function); +SEL adds its upstream, "
                        "SEL+ its downstream; repeatable")
    parser.add_argument("--partition", action="append", default=[], metavar="DIM=VALUE",
                        help="run only partitions whose key in DIM is VALUE (JSON if it parses, else text); repeatable")
    parser.add_argument("--force", action="store_true", help="run even what is up to date")
    parser.add_argument("--dry-run", action="store_true", help="print the plan with each job's would-be status; run nothing")
    parser.add_argument("--json", action="store_true", help="print one JSON summary on standard output instead of the table")
    parser.add_argument("--path", action="append", default=[], metavar="DIR",
                        help="prepend DIR to the module search path of discovery and of every job; repeatable")
    parser.add_argument("--executor", choices=EXECUTORS, default="processes",
                        help="how jobs run: a fresh process each (processes, the default), forks of one process "
                        "that imported the modules once (forks), or tasks on a Dask cluster (dask)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="with --executor dask: the scheduler to use (tcp://HOST:PORT); without it a local "
                        "cluster of -j worker processes is started")
    return parser


def _raise_interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def run_main(argv: list[str]) -> int:
    args = run_parser().parse_args(argv)
    try:
        return _run(args, argv)
    except UsageError as error:
        _error("vorda run", str(error))
        return USAGE
    except KeyboardInterrupt:  # before any job started
        _error("vorda run", "interrupted")
        return INTERRUPTED
    except (OSError, sqlite3.Error) as error:
        _error("vorda run", f"{type(error).__name__}: {error}")
        return USAGE


def _run(args: argparse.Namespace, argv: list[str]) -> int:
    signal.signal(signal.SIGTERM, _raise_interrupt)
    store = Path(args.store).absolute()
    search = SearchPath(args.path)
    modules = list(args.modules)
    if not modules:
        reader = History(store, readonly=True)
        modules = reader.last_modules()
        reader.close()
        if not modules:
            raise UsageError(f"no module given, and the store {args.store} has no earlier run to take them from")
    expanded = search.expand(modules)
    assets = discover(expanded, search) if expanded else {}
    if not assets:
        raise UsageError("no assets found in " + ", ".join(expanded or modules))
    modules = expanded
    graph.check_inputs(assets, search)
    order = graph.asset_order(assets)
    selected = graph.select(assets, args.select)
    jobs = plan_jobs(assets, order, selected, parse_filters(args.partition))

    if args.dry_run:
        history = History(store, readonly=True)
        try:
            run = Run(jobs, store, history, search.env, args.force)
            run.read_upstream_from_store()
            fate = run.would_be()
        finally:
            history.close()
        for job in run.selected:
            run.rows[job.seq].status = fate[job.seq]
        rows = list(run.rows.values())
        if args.json:
            report.summary_json(rows, "dry-run", "dry-run")
        else:
            report.table(rows, "dry-run", "nothing run")
        return OK

    make_store(store)
    lock = StoreLock(store)
    history = History(store)
    try:
        history.end_stale_runs()
        run = Run(jobs, store, history, search.env, args.force)
        run.read_upstream_from_store()
        executor = open_executor(args.executor, args.jobs, args.scheduler,
                                 sorted({j.asset.module for j in run.selected}), search, args.path)
        run_id = new_run_id()
        history.start_run(
            run_id,
            ["vorda", "run", *argv],
            modules,
            [(j.seq, j.asset.ref, j.asset.label, j.partition_id or None, j.asset.code_version) for j in run.selected],
        )
        status = "interrupted"  # unless the run gets to say otherwise
        try:
            with report.progress(len(run.selected)) as progress:
                status = run.execute(run_id, executor, args.jobs, progress)
        finally:
            history.end_run(run_id, status)
    finally:
        history.close()
        lock.release()
    rows = list(run.rows.values())
    if args.json:
        report.summary_json(rows, run_id, status)
    else:
        report.table(rows, run_id, status)
    return {"ok": OK, "failed": FAILED}.get(status, INTERRUPTED)


def runs_parser(prog: str = "vorda runs") -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, description="List recent runs of a store, or the jobs of one run.")
    parser.add_argument("run_id", nargs="?", metavar="RUN_ID", help="list this run's jobs and their log files")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="the store (default: .vorda)")
    parser.add_argument("-n", "--limit", type=_jobs_count, default=20, metavar="N", help="runs to list (default: 20)")
    return parser


def _when(stamp: float | None) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stamp)) if stamp else "-"


def runs_main(argv: list[str]) -> int:
    args = runs_parser().parse_args(argv)
    try:
        history = History(Path(args.store), readonly=True)
    except UsageError as error:
        _error("vorda runs", str(error))
        return USAGE
    try:
        if args.run_id is None:
            print(f"{'run':20}  {'started':19}  {'seconds':>7}  {'status':11}  ok/failed/skipped/up-to-date of jobs  command")
            for rid, started, ended, status, command, ok, failed, skipped, fresh, total in history.runs(args.limit):
                seconds = f"{ended - started:.1f}" if ended else "-"
                counts = f"{ok or 0}/{failed or 0}/{skipped or 0}/{fresh or 0} of {total}"
                print(f"{rid:20}  {_when(started)}  {seconds:>7}  {status:11}  {counts:36}  {' '.join(json.loads(command))}")
            return OK
        rows = history.jobs(args.run_id)
        if not rows:
            _error("vorda runs", f"no run {args.run_id} in {args.store}")
            return USAGE
        for label, partition, status, seconds, message, log_path in rows:
            keys = " ".join(f"{k}={v if isinstance(v, str) else json.dumps(v)}"
                            for k, v in json.loads(partition).items()) if partition else ""
            line = f"{label} {keys}".rstrip() + f"  {status}"
            line += f"  {seconds:.2f} s" if seconds is not None else ""
            line += f"  {report.first_line(message)}" if message else ""
            print(line + (f"\n    log: {log_path}" if log_path else ""))
        return OK
    except sqlite3.Error as error:
        _error("vorda runs", f"cannot read the history: {error}")
        return USAGE
    finally:
        history.close()
