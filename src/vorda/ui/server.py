"""The HTTP side of ``vorda ui``: routes, the Host check, the token, and
bounded answers. Built on the standard library's threading server; every
page and answer is made from the current View (live.py) or a bounded read
of the store (reading.py)."""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
import json
import re
import secrets
import socket
import sys
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any

from vorda._command import describe
from vorda.run.store.layout import Store
from vorda.ui import api, pages, reading
from vorda.ui.launch import Launcher, Refused
from vorda.ui.live import Live

BODY_LIMIT = 64 << 10  # bytes of a POST body
STATIC = {"ui.css": "text/css; charset=utf-8", "ui.js": "text/javascript; charset=utf-8"}
SECURITY_HEADERS = {
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                               "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "X-Frame-Options": "DENY",
    "Cache-Control": "no-store",
}


class App:
    """What the server serves: the store, the live view, the runs it started."""

    def __init__(self, store: Store, modules: list[str], paths: list[str]) -> None:
        self.store = store
        self.live = Live(store, modules, paths)
        self.launcher = Launcher(store, modules, paths)
        self.token = secrets.token_urlsafe(32)
        self.static = {name: resources.files("vorda.ui").joinpath("static", name).read_bytes() for name in STATIC}
        self.names: set[str] = set()  # Host header names accepted, besides IP literals when any_ip
        self.any_ip = False
        self.port = 0

    def serve_at(self, host: str, bound: str, port: int) -> None:
        """Accept the Host headers that name the address served: the host as
        given and the address bound; on loopback also localhost; on every
        address (0.0.0.0, ::) any address literal and this machine's names.
        A name a page of another site could point at this address (DNS
        rebinding) is never one of them."""
        self.port = port
        self.names = {host.lower().strip("[]"), bound.lower()}
        address = _ip(bound)
        if address is not None and address.is_loopback:
            self.names.add("localhost")
        if address is not None and address.is_unspecified:
            self.any_ip = True
            self.names |= {"localhost", socket.gethostname().lower(), socket.getfqdn().lower()}

    def host_allowed(self, header: str | None) -> bool:
        if not header:
            return False
        try:
            parts = urllib.parse.urlsplit("//" + header)
            name, port = (parts.hostname or "").lower(), parts.port or 80
        except ValueError:
            return False
        if port != self.port:
            return False
        address = _ip(name)
        return name in self.names or (address is not None and (self.any_ip or address.is_loopback
                                                               and any(_loopback(n) for n in self.names)))

    def start(self) -> None:
        self.live.start()

    def stop(self) -> None:
        self.launcher.stop()
        self.live.stop()


def _ip(text: str) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        return ipaddress.ip_address(text.strip("[]"))
    except ValueError:
        return None


def _loopback(name: str) -> bool:
    address = _ip(name)
    return address is not None and address.is_loopback


def is_loopback_host(host: str) -> bool:
    return host.lower() == "localhost" or _loopback(host)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    app: App

    def handle_error(self, request: Any, client_address: Any) -> None:
        """A client that went away (a closed tab, an aborted fetch) is no error."""
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


class Server6(Server):
    address_family = socket.AF_INET6


def make_server(host: str, port: int, app: App) -> Server:
    cls = Server6 if ":" in host.strip("[]") else Server
    server = cls((host.strip("[]"), port), Handler)
    server.app = app
    app.serve_at(host, str(server.server_address[0]), int(server.server_address[1]))
    return server


class HttpError(Exception):
    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


ROUTES: list[tuple[re.Pattern[str], str]] = [
    (re.compile(p), name) for p, name in [
        (r"/", "graph"), (r"/assets/([^/]+)", "asset"), (r"/assets/([^/]+)/partition", "partition"),
        (r"/runs", "runs"), (r"/runs/([^/]+)", "run"), (r"/runs/([^/]+)/log/(\d+)", "log"),
        (r"/api/assets", "api_assets"), (r"/api/assets/([^/]+)", "api_asset"),
        (r"/api/assets/([^/]+)/partition", "api_partition"), (r"/api/runs", "api_runs"),
        (r"/api/runs/([^/]+)", "api_run"), (r"/api/runs/([^/]+)/log/(\d+)", "api_log"),
        (r"/static/([^/]+)", "static"), (r"/favicon.ico", "favicon"), (r"/api/run", "start_run"),
    ]
]


class Handler(BaseHTTPRequestHandler):
    server: Server
    protocol_version = "HTTP/1.1"
    timeout = 30  # seconds a connection may sit idle
    server_version = "vorda-ui"
    sys_version = ""

    @property
    def app(self) -> App:
        return self.server.app

    def log_message(self, format: str, *args: Any) -> None:
        pass  # quiet: the page is the log

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def _refuse_method(self) -> None:
        self._handle(self.command)

    do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _refuse_method

    # -- dispatch ----------------------------------------------------------------

    def _handle(self, method: str) -> None:
        wants_json = self.path.startswith("/api/")
        try:
            if not self.app.host_allowed(self.headers.get("Host")):
                raise HttpError(HTTPStatus.FORBIDDEN, f"the Host header {self.headers.get('Host')!r} does not name "
                                "the address this server serves")
            parts = urllib.parse.urlsplit(self.path)
            query = {k: v for k, v in reversed(urllib.parse.parse_qsl(parts.query, keep_blank_values=True,
                                                                      max_num_fields=64))}
            for pattern, name in ROUTES:
                found = pattern.fullmatch(parts.path)
                if found:
                    args = [urllib.parse.unquote(g) for g in found.groups()]
                    if name == "start_run":
                        if method != "POST":
                            raise HttpError(HTTPStatus.METHOD_NOT_ALLOWED,
                                            "starting a run needs a POST with the page's token")
                        self.start_run()
                    elif method != "GET":
                        raise HttpError(HTTPStatus.METHOD_NOT_ALLOWED, f"{method} is not served here")
                    else:
                        getattr(self, name)(*args, query=query)
                    return
            raise HttpError(HTTPStatus.NOT_FOUND, f"no page {parts.path}")
        except HttpError as failure:
            self._error(failure.status, str(failure), wants_json)
        except api.NotFound as failure:
            self._error(HTTPStatus.NOT_FOUND, str(failure), wants_json)
        except (api.BadQuery, ValueError) as failure:
            self._error(HTTPStatus.BAD_REQUEST, str(failure), wants_json)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        except Exception as error:
            print(f"vorda ui: error: {self.command} {self.path[:200]}: {describe(error)}", file=sys.stderr, flush=True)
            self._error(HTTPStatus.INTERNAL_SERVER_ERROR, describe(error), wants_json)

    # -- answers -----------------------------------------------------------------

    def _send(self, status: int, body: bytes, content_type: str, headers: dict[str, str] | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in {**SECURITY_HEADERS, **(headers or {})}.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, data: Any, status: int = HTTPStatus.OK) -> None:
        self._send(status, json.dumps(data, ensure_ascii=False).encode("utf-8"), "application/json; charset=utf-8")

    def _page(self, page: pages.Page, status: int = HTTPStatus.OK) -> None:
        if self.headers.get("X-Vorda-Live") == "1":
            body = page.live.encode("utf-8")
            tag = '"' + hashlib.sha256(body).hexdigest()[:32] + '"'
            if self.headers.get("If-None-Match") == tag:
                self._send(HTTPStatus.NOT_MODIFIED, b"", "text/html; charset=utf-8", {"ETag": tag})
            else:
                self._send(status, body, "text/html; charset=utf-8", {"ETag": tag})
            return
        self._send(status, pages.document(page, self.app.token, str(self.app.store.root)).encode("utf-8"),
                   "text/html; charset=utf-8")

    def _error(self, status: HTTPStatus, message: str, wants_json: bool) -> None:
        self.close_connection = True
        extra = {"Allow": "POST"} if status == HTTPStatus.METHOD_NOT_ALLOWED and self.path.startswith("/api/run") \
            else {}
        if wants_json:
            body = json.dumps({"error": message}, ensure_ascii=False).encode("utf-8")
            self._send(status, body, "application/json; charset=utf-8", extra)
        else:
            # Without the run token or the store's path: an error may answer a
            # request this server refused to serve (another Host, say).
            page = pages.error_page(status, message)
            self._send(status, pages.document(page, "", "").encode("utf-8"), "text/html; charset=utf-8", extra)

    # -- pages and their JSON --------------------------------------------------------

    def graph(self, query: dict[str, str]) -> None:
        self._page(pages.graph_page(api.assets_facts(self.app.live.view)))

    def api_assets(self, query: dict[str, str]) -> None:
        self._json(api.assets_facts(self.app.live.view))

    def asset(self, name: str, query: dict[str, str]) -> None:
        view = self.app.live.view
        facts, grid = api.asset_facts(view, name, query)
        _, asset = api.find_asset(view, name)
        self._page(pages.asset_page(asset, facts, grid))

    def api_asset(self, name: str, query: dict[str, str]) -> None:
        self._json(api.asset_facts(self.app.live.view, name, query)[0])

    def partition(self, name: str, query: dict[str, str]) -> None:
        self._page(pages.partition_page(api.partition_facts(self.app.store, self.app.live.view, name, query)))

    def api_partition(self, name: str, query: dict[str, str]) -> None:
        self._json(api.partition_facts(self.app.store, self.app.live.view, name, query))

    def runs(self, query: dict[str, str]) -> None:
        self._page(pages.runs_page(reading.runs(self.app.store), self.app.launcher.facts()))

    def api_runs(self, query: dict[str, str]) -> None:
        self._json({"runs": reading.runs(self.app.store), "launched": self.app.launcher.facts()})

    def _run(self, run_id: str, query: dict[str, str]) -> dict[str, Any]:
        page = query.get("page", "0")
        found = reading.run(self.app.store, run_id, int(page) if page.isdigit() and len(page) < 10 else 0)
        if found is None:
            raise api.NotFound(f"no run {run_id} in the store")
        return found

    def run(self, run_id: str, query: dict[str, str]) -> None:
        self._page(pages.run_page(self._run(run_id, query)))

    def api_run(self, run_id: str, query: dict[str, str]) -> None:
        self._json(self._run(run_id, query))

    def _log(self, run_id: str, seq: str) -> tuple[dict[str, Any], reading.Log]:
        job = reading.job(self.app.store, run_id, int(seq)) if len(seq) < 10 else None
        if job is None:
            raise api.NotFound(f"no job {seq} in run {run_id}")
        return job, reading.read_log(self.app.store, job["log_path"])

    def log(self, run_id: str, seq: str, query: dict[str, str]) -> None:
        self._page(pages.log_page(*self._log(run_id, seq)))

    def api_log(self, run_id: str, seq: str, query: dict[str, str]) -> None:
        job, log = self._log(run_id, seq)
        if log.error:
            raise api.NotFound(log.error)
        self._send(HTTPStatus.OK, log.text.encode("utf-8"), "text/plain; charset=utf-8",
                   {"X-Vorda-Log-Size": str(log.size)})

    def static(self, name: str, query: dict[str, str]) -> None:
        if name not in STATIC:
            raise HttpError(HTTPStatus.NOT_FOUND, f"no file {name}")
        self._send(HTTPStatus.OK, self.app.static[name], STATIC[name], {"Cache-Control": "no-cache"})

    def favicon(self, query: dict[str, str]) -> None:
        self._send(HTTPStatus.NO_CONTENT, b"", "image/x-icon")

    # -- starting a run -------------------------------------------------------------------

    def start_run(self) -> None:
        token = self.headers.get("X-Vorda-Token", "")
        if not hmac.compare_digest(token.encode("utf-8", "replace"), self.app.token.encode("ascii")):
            raise HttpError(HTTPStatus.FORBIDDEN, "starting a run needs the page's token")
        origin = self.headers.get("Origin")
        if origin is not None and not self.app.host_allowed(urllib.parse.urlsplit(origin).netloc):
            raise HttpError(HTTPStatus.FORBIDDEN, f"requests from {origin} are not served")
        if not (self.headers.get("Content-Type") or "").startswith("application/json"):
            raise HttpError(HTTPStatus.UNSUPPORTED_MEDIA_TYPE, "send the request as application/json")
        try:
            length = int(self.headers.get("Content-Length") or "-1")
        except ValueError:
            length = -1
        if not 0 <= length <= BODY_LIMIT:
            raise HttpError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE if length > BODY_LIMIT else HTTPStatus.LENGTH_REQUIRED,
                            f"the request must say its length, at most {BODY_LIMIT} bytes")
        try:
            body = json.loads(self.rfile.read(length))
        except ValueError:
            raise HttpError(HTTPStatus.BAD_REQUEST, "the request is not JSON") from None
        if not isinstance(body, dict) or not isinstance(body.get("asset"), str):
            raise HttpError(HTTPStatus.BAD_REQUEST, 'expected {"asset": ..., "partitions": [...], "upstream": ...}')
        partitions = body.get("partitions")
        if partitions is not None and not isinstance(partitions, list):
            raise HttpError(HTTPStatus.BAD_REQUEST, '"partitions" must be a list of partitions')
        _, asset = api.find_asset(self.app.live.view, body["asset"])
        try:
            launched = self.app.launcher.start(asset, partitions or None, bool(body.get("upstream")))
        except Refused as refused:
            raise HttpError(HTTPStatus.CONFLICT, str(refused)) from None
        self.app.live.poke()
        self._json({"started": True, "command": launched.command, "pid": launched.process.pid},
                   HTTPStatus.ACCEPTED)
