"""``vorda ui``: options, the server's life, Ctrl-C and SIGTERM."""

from __future__ import annotations

import argparse
import signal
import sys

from vorda import _command
from vorda._command import ExitStatus, UsageError
from vorda.run.store.layout import Store
from vorda.ui.server import App, is_loopback_host, make_server

UI_EXIT_STATUSES = """\
  2    bad arguments, or the address cannot be served
  130  stopped by Ctrl-C or SIGTERM (the usual way to end it)
"""


_port = _command.whole_number(0, 65535, "a port number (0 for any free port)")


def ui_parser(prog: str = "vorda ui") -> argparse.ArgumentParser:
    parser = _command.parser(
        prog,
        "Serve a web page over a store: the asset graph, each asset's partitions and what is stale, the runs "
        "and their logs, kept up to date while runs go; runs can be started from it. With no module, those "
        "of the store's last run.",
        UI_EXIT_STATUSES,
    )
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="dotted name of a module (or package) of assets")
    parser.add_argument("--store", default=".vorda", metavar="DIR", help="the store (default: .vorda)")
    parser.add_argument("--path", action="append", default=[], metavar="DIR",
                        help="prepend DIR to the module search path (as vorda run); repeatable")
    parser.add_argument("--host", default="127.0.0.1", metavar="HOST",
                        help="the address to serve on (default: 127.0.0.1, this machine only)")
    parser.add_argument("--port", type=_port, default=8765, metavar="PORT",
                        help="the port (default: 8765; 0 for any free port)")
    return parser


def ui_main(argv: list[str]) -> int:
    prog = "vorda ui"
    args = ui_parser(prog).parse_args(argv)
    return _command.run_command(prog, lambda: _ui(prog, args))


def _ui(prog: str, args: argparse.Namespace) -> int:
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, _command.raise_interrupted)
    app = App(Store(args.store), list(args.modules), list(args.path))
    try:
        server = make_server(args.host, args.port, app)
    except OSError as error:
        raise UsageError(f"cannot serve on {args.host}:{args.port}: {error.strerror or error}") from None
    host, port = str(server.server_address[0]), int(server.server_address[1])
    shown = f"[{host}]" if ":" in host else host
    if not is_loopback_host(args.host):
        print(f"{prog}: warning: serving on {args.host}, not this machine only: whoever can reach it can read "
              "the store's values and logs and start runs", file=sys.stderr, flush=True)
    try:
        app.start()
        print(f"http://{shown}:{port}/", flush=True)
        server.serve_forever(poll_interval=0.5)
    finally:
        # A second Ctrl-C must not cut short the ending of a run started here.
        previous = {sig: signal.signal(sig, signal.SIG_IGN) for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        try:
            app.stop()
            server.server_close()
        finally:
            for sig, handler in previous.items():
                signal.signal(sig, handler)
    return ExitStatus.OK
