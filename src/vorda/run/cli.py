"""``vorda run`` and ``vorda runs``: options, exit statuses, signals."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sqlite3
import sys
import time

from vorda import _command
from vorda._command import ExitStatus, UsageError
from vorda.run import report
from vorda.run.executors import EXECUTORS
from vorda.run.status import RunStatus
from vorda.run.store.history import RUNS_TALLY
from vorda.run.store.keys import canonical, partition_label
from vorda.run.store.layout import Store

RUN_EXIT_STATUSES = """\
  0    every job is ok or up to date
  1    a job failed or was skipped, or the store failed once jobs had run
  2    usage, discovery or graph error: nothing was run
  130  interrupted
"""

RUNS_EXIT_STATUSES = """\
  0    the listing is on standard output
  2    bad arguments, no such run, or an unreadable history
  130  interrupted
"""


_jobs_count = _command.whole_number(1, None, "a positive number of jobs")
_count = _command.whole_number(0, None, "a number of runs")


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not seconds > 0 or seconds == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return seconds


def run_parser(prog: str = "vorda run") -> argparse.ArgumentParser:
    parser = _command.parser(
        prog,
        "Discover the assets of the named modules and materialize them, upstream first, one worker "
        "process per partition job, skipping what is up to date. A package stands for all its modules; "
        "with no module, those of the store's last run.",
        RUN_EXIT_STATUSES,
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
    parser.add_argument("--timeout", type=_seconds, metavar="SECONDS",
                        help="fail a job that runs longer than this, ending its processes (default: no limit)")
    parser.add_argument("--retries", type=_command.whole_number(0, None, "a number of retries"), default=0,
                        metavar="N",
                        help="try a job that fails by an exception or a non-zero exit up to N more times, after a "
                        "short growing delay (default: 0; a timed-out or interrupted job is not tried again)")
    parser.add_argument("--all", action="store_true", dest="show_all",
                        help="list up-to-date jobs too, in the progress lines and the table")
    parser.add_argument("--dry-run", action="store_true", help="print the plan with each job's would-be status; run nothing")
    parser.add_argument("--json", action="store_true", help="print one JSON summary on standard output instead of the table")
    parser.add_argument("--path", action="append", default=[], metavar="DIR",
                        help="prepend DIR to the module search path of discovery and of every job; repeatable")
    parser.add_argument("--executor", choices=EXECUTORS, default="processes",
                        help="how jobs run: a fresh process each (processes, the default), forks of one process "
                        "that imported the modules once (forks), or batches of them as tasks on a Dask cluster, "
                        "forked there the same way (dask)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="with --executor dask: the scheduler to use (tcp://HOST:PORT); without it a local "
                        "cluster of -j worker processes is started")
    parser.add_argument("--batch", type=_command.whole_number(1, None, "a positive number of jobs"), metavar="N",
                        help="with --executor dask: N jobs per Dask task (default: as many as take about 0.1 s, "
                        "from the times of the jobs run so far)")
    return parser


class _Notice:
    """Prints what the library reports along the way on standard error,
    after `prefix`."""

    def __init__(self, prefix: str = "") -> None:
        self.prefix = prefix

    def __call__(self, text: str) -> None:
        print(self.prefix + text, file=sys.stderr, flush=True)


def run_main(argv: list[str]) -> int:
    prog = "vorda run"
    args = run_parser(prog).parse_args(argv)
    _command.tolerant_stdout()
    return _command.run_command(prog, lambda: _run(prog, args, argv))


def _run(prog: str, args: argparse.Namespace, argv: list[str]) -> int:
    from vorda.run.plan import RunFailed, make_plan  # here: `vorda runs` and the others need none of it
    from vorda.run.planning.jobs import parse_filters

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _command.raise_interrupted)
    try:
        # What the modules wrote while they were imported is shown as it is.
        plan = make_plan(args.modules, store=args.store, path=args.path, select=args.select,
                         partitions=parse_filters(args.partition), force=args.force, notice=_Notice())
        if args.dry_run:
            rows = plan.dry_run()
            run_id, status = RunStatus.DRY_RUN.value, RunStatus.DRY_RUN
        else:
            result = plan.execute(args.executor, jobs=args.jobs, scheduler=args.scheduler, batch=args.batch,
                                  timeout=args.timeout, retries=args.retries,
                                  progress=report.progress(len(plan.selected), show_all=args.show_all),
                                  argv=["vorda", "run", *argv],
                                  notice=_Notice(f"{prog}: "))
            rows, run_id, status = result.rows, result.run_id, result.status
    except RunFailed as failure:
        _command.error(prog, f"run {failure.run_id}: {failure}")
        return ExitStatus.FAILED
    except (OSError, sqlite3.Error) as error:  # before anything ran
        raise UsageError(f"{type(error).__name__}: {error}") from None
    if args.json:
        report.summary_json(rows, run_id, status)
    else:
        report.table(rows, run_id, "nothing run" if args.dry_run else status, dry_run=args.dry_run,
                     show_all=args.show_all)
    return {RunStatus.OK: ExitStatus.OK, RunStatus.FAILED: ExitStatus.FAILED,
            RunStatus.DRY_RUN: ExitStatus.OK}.get(status, ExitStatus.INTERRUPTED)


def runs_parser(prog: str = "vorda runs") -> argparse.ArgumentParser:
    parser = _command.parser(prog, "List recent runs of a store, or the jobs of one run.", RUNS_EXIT_STATUSES)
    parser.add_argument("run_id", nargs="?", metavar="RUN_ID",
                        help="list this run's jobs and their log files (last: the latest run)")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="the store (default: .vorda)")
    parser.add_argument("-n", "--limit", type=_jobs_count, default=20, metavar="N", help="runs to list (default: 20)")
    return parser


def _existing_store(text: str) -> Store:
    """The store the commands that only read or tidy one take: it must exist."""
    store = Store(text)
    if not store.root.is_dir():
        raise UsageError(f"no store at {text}")
    return store


def _when(stamp: float | None) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stamp)) if stamp else "-"


def runs_main(argv: list[str]) -> int:
    prog = "vorda runs"
    args = runs_parser(prog).parse_args(argv)
    _command.tolerant_stdout()
    return _command.run_command(prog, lambda: _runs(prog, args))


def _runs(prog: str, args: argparse.Namespace) -> int:
    store = _existing_store(args.store)
    history = store.history(readonly=True)
    # Everything is read before anything is printed: a failure prints nothing.
    lines: list[str] = []
    try:
        if args.run_id is None:
            lines.append(f"{'run':20}  {'started':19}  {'seconds':>7}  {'status':11}  "
                         f"{RUNS_TALLY + ' of jobs':45}  command")
            for rid, started, ended, status, command, *counted, total in history.runs(args.limit):
                seconds = f"{ended - started:.1f}" if ended else "-"
                counts = "/".join(str(n or 0) for n in counted) + f" of {total}"
                lines.append(f"{rid:20}  {_when(started)}  {seconds:>7}  {status:11}  {counts:45}  "
                             f"{' '.join(json.loads(command))}")
        else:
            run_id = history.last_run() if args.run_id == "last" else args.run_id
            rows = history.jobs(run_id) if run_id else []
            if not rows:
                raise UsageError(f"no run {args.run_id} in {args.store}")
            for label, partition, status, seconds, message, log_path in rows:
                keys = partition_label(json.loads(partition)) if partition else ""
                line = f"{label} {keys}".rstrip() + f"  {status}"
                line += f"  {seconds:.2f} s" if seconds is not None else ""
                line += f"  {report.first_line(message)}" if message else ""
                lines.append(line + (f"\n    log: {store.recorded(log_path)}" if log_path else ""))
    except (sqlite3.Error, ValueError) as error:
        raise UsageError(f"cannot read the history {history.path}: {error}") from None
    finally:
        history.close()
    print("\n".join(lines))
    return ExitStatus.OK


WHY_EXIT_STATUSES = """\
  0    the lineage is on standard output
  2    bad arguments, no such asset or partition in the history, or an unreadable history
  130  interrupted
"""


def why_parser(prog: str = "vorda why") -> argparse.ArgumentParser:
    parser = _command.parser(
        prog, "Tell how the current value of an asset's partition was made, from the store's history.",
        WHY_EXIT_STATUSES,
    )
    parser.add_argument("asset", metavar="ASSET", help="the asset: its name, module:function or function")
    parser.add_argument("--partition", action="append", default=[], metavar="DIM=KEY",
                        help="the partition's key in DIM (JSON if it parses, else text); one per dimension")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="the store (default: .vorda)")
    parser.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    return parser


def why_main(argv: list[str]) -> int:
    prog = "vorda why"
    args = why_parser(prog).parse_args(argv)
    _command.tolerant_stdout()
    return _command.run_command(prog, lambda: _why(args))


def _why(args: argparse.Namespace) -> int:
    from vorda.run.lineage import why
    from vorda.run.planning.jobs import parse_filters

    store = _existing_store(args.store)
    partition: dict[str, object] = {}
    for dim, keys in parse_filters(args.partition).items():
        if len(keys) > 1:
            raise UsageError(f"--partition {dim}=...: one key per dimension")
        partition[dim] = keys[0]
    try:
        made = why(store, args.asset, partition)
    except (sqlite3.Error, ValueError) as error:
        raise UsageError(f"cannot read the history of {args.store}: {error}") from None
    if args.json:
        print(json.dumps(made, ensure_ascii=False))
        return ExitStatus.OK
    lines = [f"{made['name'] or made['asset']} {partition_label(made['partition'])}".rstrip(),
             f"  value    {made['value_path']}",
             f"           sha256 {made['value_hash']}",
             f"  made by  run {made['run_id']} at {_when(made['started'])}",
             f"  reason   {made['reason_detail'] or made['reason'] or '-'}",
             f"  code     {made['code_version']}" + (
                 f", covering {', '.join(made['covers'])}" if made["covers"] else "")]
    for entry in made["inputs"]:
        where = f" {partition_label(entry['partition'])}" if entry["partition"] else ""
        lines.append(f"  input    {entry['param']}: {entry['asset']}{where}, sha256 {entry['value_hash'][:16]}..., "
                     f"made by run {entry['run_id'] or '(no longer in the history)'}")
    print("\n".join(lines))
    return ExitStatus.OK


GC_EXIT_STATUSES = """\
  0    done (or, with --dry-run, counted)
  2    bad arguments, no store, a runner is using it, or an unreadable history
  130  interrupted (what was removed by then stays removed; the store still works)
"""


def gc_parser(prog: str = "vorda gc") -> argparse.ArgumentParser:
    parser = _command.parser(
        prog, "Remove kept values and history that neither the store's current values nor its recent runs need.",
        GC_EXIT_STATUSES,
    )
    parser.add_argument("--keep-runs", type=_count, default=10, metavar="N",
                        help="keep what the last N runs made or read (default: 10)")
    parser.add_argument("--dry-run", action="store_true", help="say what would be removed; remove nothing")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="the store (default: .vorda)")
    return parser


def gc_main(argv: list[str]) -> int:
    prog = "vorda gc"
    args = gc_parser(prog).parse_args(argv)
    _command.tolerant_stdout()
    return _command.run_command(prog, lambda: _gc(args))


def _gc(args: argparse.Namespace) -> int:
    from vorda.run.store.gc import collect

    store = _existing_store(args.store)
    if not (store.root / "history.sqlite").is_file():
        raise UsageError(f"no store at {args.store} (no run history there)")
    lock = None if args.dry_run else store.lock()  # counting changes nothing: a read-only store will do
    try:
        freed = collect(store, args.keep_runs, args.dry_run)
    except sqlite3.Error as error:
        raise UsageError(f"cannot read the history of {args.store}: {error}") from None
    finally:
        if lock is not None:
            lock.release()
    verb = "would free" if args.dry_run else "freed"
    print(f"{verb} {freed.objects} kept value(s) and record(s) ({freed.bytes / 1e6:.1f} MB) and "
          f"{len(freed.runs)} run(s) of history and logs")
    return ExitStatus.OK


LOGS_EXIT_STATUSES = """\
  0    the logs are on standard output
  2    bad arguments, no such run, asset or partition, or an unreadable history
  130  interrupted
"""


def logs_parser(prog: str = "vorda logs") -> argparse.ArgumentParser:
    parser = _command.parser(prog, "Print the logs of a run's jobs, each under a header naming its job.",
                             LOGS_EXIT_STATUSES)
    parser.add_argument("run_id", metavar="RUN_ID", help="the run (last: the latest run)")
    parser.add_argument("asset", nargs="?", metavar="ASSET", help="only this asset's jobs (name, module:function or "
                        "function)")
    parser.add_argument("--partition", action="append", default=[], metavar="DIM=KEY",
                        help="only partitions whose key in DIM is KEY (JSON if it parses, else text); repeatable")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="the store (default: .vorda)")
    return parser


def logs_main(argv: list[str]) -> int:
    prog = "vorda logs"
    args = logs_parser(prog).parse_args(argv)
    _command.tolerant_stdout()
    return _command.run_command(prog, lambda: _logs(args))


def _matches(asset: str | None, key: str, label: str) -> bool:
    return asset is None or asset in (label, label.rpartition(":")[2], key[5:] if key.startswith("name:") else None)


def _logs(args: argparse.Namespace) -> int:
    from vorda.run.planning.jobs import parse_filters

    store = _existing_store(args.store)
    filters = {dim: {canonical(key) for key in keys} for dim, keys in parse_filters(args.partition).items()}
    history = store.history(readonly=True)
    try:
        run_id = history.last_run() if args.run_id == "last" else args.run_id
        rows = history.logs(run_id) if run_id else []
    except sqlite3.Error as error:
        raise UsageError(f"cannot read the history {history.path}: {error}") from None
    finally:
        history.close()
    if not rows:
        raise UsageError(f"no run {args.run_id} in {args.store}")
    chosen = []
    for key, label, partition, status, log_path in rows:
        keys = json.loads(partition) if partition else {}
        if _matches(args.asset, key, label) and all(canonical(keys.get(dim)) in wanted and dim in keys
                                                    for dim, wanted in filters.items()):
            chosen.append((label, keys, status, log_path))
    if not chosen:
        what = " ".join(filter(None, [args.asset, *args.partition]))
        raise UsageError(f"no job of run {run_id} matches {what}")
    for n, (label, keys, status, log_path) in enumerate(chosen):
        header = f"==> {label} {partition_label(keys)}".rstrip() + f" ({status}) <=="
        sys.stdout.write(("\n" if n else "") + header + "\n")
        sys.stdout.flush()
        if not log_path:
            sys.stdout.write("(no log: the job did not start)\n")
            continue
        try:
            fd = store.open(store.recorded(log_path))
        except OSError as error:
            sys.stdout.write(f"(no log: {error.strerror or error})\n")
            continue
        with os.fdopen(fd, "rb") as stream:
            sys.stdout.flush()
            while chunk := stream.read(1 << 16):
                sys.stdout.buffer.write(chunk)
        sys.stdout.buffer.flush()
    return ExitStatus.OK
