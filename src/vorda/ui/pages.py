"""The pages as HTML, rendered on the server from the facts of api.py.

Every text that comes from the store, the history or the modules goes
through ``esc`` (or ``url``) on its way into the page. Each page is a
fixed part and a live part (``<div id="live">``), which the page's script
fetches again while it is open and swaps in when it changed.
"""

from __future__ import annotations

import html
import json
import shlex
import time
import urllib.parse
from dataclasses import dataclass
from typing import Any, Iterable, Mapping, Sequence

from vorda.run.store.history import RUNS_TALLY
from vorda.run.store.keys import key_label, partition_label
from vorda.ui.api import FILTER, Matrix
from vorda.ui.graph import BOX_H, BOX_W
from vorda.ui.model import SEVERITY, AssetView


def esc(value: object) -> str:
    return html.escape("" if value is None else str(value), quote=True)


def url(path: str, params: Mapping[str, Any] | Iterable[tuple[str, Any]] = ()) -> str:
    """A link of this server, its parts %-escaped (then escaped for HTML by the caller)."""
    items = list(params.items()) if isinstance(params, Mapping) else list(params)
    query = urllib.parse.urlencode([(k, v) for k, v in items if v is not None])
    return urllib.parse.quote(path, safe="/:@") + ("?" + query if query else "")


def asset_url(label: str, params: Mapping[str, Any] | Iterable[tuple[str, Any]] = ()) -> str:
    return url("/assets/" + label, params)


def partition_url(label: str, partition: Mapping[str, Any] | None) -> str:
    return url("/assets/" + label + "/partition", [(dim, key_label(key)) for dim, key in (partition or {}).items()])


def log_url(job: Mapping[str, Any]) -> str:
    return url(f"/runs/{job['run_id']}/log/{job['seq']}")


def when(stamp: float | None) -> str:
    return time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(stamp)) if stamp else "-"


def seconds(value: float | None) -> str:
    return f"{value:.2f}" if value is not None else ""


def chip(status: object) -> str:
    word = str(status) if status else "none"
    return f'<span class="chip s-{esc(word.replace(" ", "-"))}">{esc(word)}</span>'


def first_line(text: str | None) -> str:
    lines = (text or "").strip().splitlines()
    return lines[0] if lines else ""


@dataclass
class Page:
    title: str
    fixed: str  # HTML above the live part
    live: str  # HTML of the live part


def document(page: Page, token: str, store: str) -> str:
    return (
        '<!doctype html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f'<meta name="vorda-token" content="{esc(token)}">'
        f"<title>{esc(page.title)} · vorda</title>"
        '<link rel="stylesheet" href="/static/ui.css"><script src="/static/ui.js" defer></script></head>'
        '<body><header><a class="brand" href="/">vorda</a><nav><a href="/">Assets</a> <a href="/runs">Runs</a></nav>'
        f'<span class="store" title="the store">{esc(store)}</span></header>'
        f'<main>{page.fixed}<div id="live">{page.live}</div></main></body></html>'
    )


def survey_note(survey: Mapping[str, Any]) -> str:
    parts = []
    if survey.get("error"):
        parts.append(f'<p class="error">{esc(survey["error"])}</p>')
    if survey.get("failure"):
        parts.append(f'<p class="error">{esc(survey["failure"])}</p>')
    if not survey["ready"]:
        parts.append('<p class="note" id="reading">Reading the pipeline: discovering its modules and taking a dry '
                     "run of every partition…</p>")
    elif not survey["checked"]:
        parts.append('<p class="note">Taking a dry run of every partition to find what is stale; until it is done '
                     "each partition shows its last job's status.</p>")
    elif not survey["current"]:
        parts.append('<p class="note">The history or the modules changed since the last dry run; '
                     "what is stale is being checked again.</p>")
    if survey.get("notice"):
        parts.append(f'<details class="note"><summary>output of the modules</summary><pre>{esc(survey["notice"])}'
                     "</pre></details>")
    return "".join(parts)


def counts_line(counts: Mapping[str, int]) -> str:
    order = {state: n for n, state in enumerate(SEVERITY)}
    items = sorted(counts.items(), key=lambda item: order.get(item[0], len(order)))
    return " ".join(f'<span class="count">{chip(state)} {n:,}</span>' for state, n in items if n) or "no partitions"


def _counts_text(counts: Mapping[str, int]) -> str:
    order = {state: n for n, state in enumerate(SEVERITY)}
    items = sorted(counts.items(), key=lambda item: order.get(item[0], len(order)))
    return " · ".join(f"{n:,} {state}" for state, n in items if n)


def _clip(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"


# -- the asset graph -----------------------------------------------------------------


def graph_page(facts: Mapping[str, Any]) -> Page:
    assets = facts["assets"]
    where = {a["asset"]: a for a in assets}
    edges = []
    for asset in assets:
        for up in asset["inputs"]:
            if up in where:
                a, b = where[up], asset
                x1, y1 = a["x"] + BOX_W, a["y"] + BOX_H // 2
                x2, y2 = b["x"] - 4, b["y"] + BOX_H // 2
                mid = (x1 + x2) // 2
                edges.append(f'<path d="M{x1},{y1} C{mid},{y1} {mid},{y2} {x2},{y2}" marker-end="url(#arrow)"/>')
    boxes = []
    for asset in assets:
        x, y, total = asset["x"], asset["y"], max(asset["partitions"], 1)
        bar, offset = [], 0.0
        order = {state: n for n, state in enumerate(SEVERITY)}
        for state, n in sorted(asset["counts"].items(), key=lambda item: order.get(item[0], len(order))):
            width = (BOX_W - 16) * n / total
            bar.append(f'<rect class="bar s-{esc(state)}" x="{x + 8 + offset:.1f}" y="{y + BOX_H - 14}" '
                       f'width="{width:.1f}" height="6"/>')
            offset += width
        shown = asset["name"] or asset["asset"]
        summary = _counts_text(asset["counts"]) or "no partitions"
        boxes.append(
            f'<a class="box s-{esc(asset["state"])}" href="{esc(asset_url(asset["asset"]))}" '
            f'data-asset="{esc(asset["asset"])}" data-state="{esc(asset["state"])}">'
            f"<title>{esc(asset['asset'])}: {esc(summary)}</title>"
            f'<rect class="box-bg" x="{x}" y="{y}" width="{BOX_W}" height="{BOX_H}" rx="6"/>'
            f'<text class="name" x="{x + 8}" y="{y + 18}">{esc(_clip(shown, 30))}</text>'
            f'<text class="counts" x="{x + 8}" y="{y + 34}">{esc(_clip(summary, 36))}</text>'
            + "".join(bar) + "</a>"
        )
    svg = (
        f'<svg class="graph" width="{facts["width"]}" height="{facts["height"]}" '
        f'viewBox="0 0 {facts["width"]} {facts["height"]}" role="img" aria-label="asset graph">'
        '<defs><marker id="arrow" viewBox="0 0 8 8" refX="7" refY="4" markerWidth="7" markerHeight="7" '
        'orient="auto"><path d="M0,0 L8,4 L0,8 z"/></marker></defs>'
        f'<g class="edges">{"".join(edges)}</g><g class="boxes">{"".join(boxes)}</g></svg>'
    )
    legend = " ".join(chip(state) for state in SEVERITY)
    live = survey_note(facts["survey"]) + (
        f'<div class="graph-wrap">{svg}</div>' if assets else ("<p>No assets.</p>" if facts["survey"]["ready"] else ""))
    fixed = f'<h1>Assets</h1><p class="legend">{legend}</p>'
    return Page("Assets", fixed, live)


# -- an asset --------------------------------------------------------------------------


def _select(name: str, options: list[tuple[str, str]], chosen: str | None, label: str) -> str:
    items = "".join(f'<option value="{esc(v)}"{" selected" if v == chosen else ""}>{esc(t)}</option>'
                    for v, t in options)
    return f'<label>{esc(label)} <select name="{esc(name)}">{items}</select></label>'


OPTIONS_SHOWN = 1000  # keys listed in a filter's menu; past that the filter is typed


def asset_page(asset: AssetView, facts: Mapping[str, Any], grid: Matrix) -> Page:
    label = asset.label
    dims = [dim for dim, _ in asset.dims]
    controls = []
    if len(dims) >= 1:
        controls.append(_select("rows", [(d, d) for d in dims], grid.rows, "rows"))
    if len(dims) >= 2:
        controls.append(_select("cols", [(d, d) for d in dims], grid.cols, "columns"))
    for dim, keys in asset.dims:
        if dim in (grid.rows, grid.cols):
            continue
        chosen = key_label(grid.filters[dim])
        if len(keys) <= OPTIONS_SHOWN:
            controls.append(_select(FILTER + dim, [(key_label(k), key_label(k)) for k in keys], chosen, dim))
        else:
            controls.append(f'<label>{esc(dim)} <input name="{esc(FILTER + dim)}" value="{esc(chosen)}" '
                            'size="12"></label>')
    form = (f'<form class="pivot" method="get" action="{esc(asset_url(label))}">{" ".join(controls)} '
            '<button type="submit">Show</button></form>') if controls else ""
    inputs = ", ".join(f'<a href="{esc(asset_url(up))}">{esc(up)}</a>' for up in asset.inputs) or "none"
    title = esc(asset.name or label)
    fixed = (
        f'<h1>{title}</h1><p class="meta">{esc(label)} · reads {inputs} · '
        f'{asset.size:,} partition{"s" if asset.size != 1 else ""}'
        + (" (" + " × ".join(f"{len(k):,} {esc(d)}" for d, k in asset.dims) + ")" if asset.dims else "") + "</p>"
        + form
        + '<div class="actions"><label><input type="checkbox" id="select-mode"> select cells</label> '
        '<label><input type="checkbox" id="upstream"> with everything upstream (+)</label> '
        f'<button type="button" id="run-btn" data-asset="{esc(label)}">Run this asset</button> '
        '<span id="selected-count"></span> <span id="run-msg" role="status"></span></div>'
    )
    return Page(asset.name or label, fixed, survey_note(facts["survey"]) + _asset_live(asset, facts, grid))


def _pager(asset: AssetView, grid: Matrix, which: str) -> str:
    page, pages = (grid.page, grid.pages) if which == "page" else (grid.cpage, grid.cpages)
    if pages <= 1:
        return ""
    base: dict[str, Any] = {"rows": grid.rows, "cols": grid.cols,
                            **{FILTER + d: key_label(k) for d, k in grid.filters.items()},
                            "page": grid.page, "cpage": grid.cpage}
    span = grid.row_span if which == "page" else grid.col_span
    links = []
    for target, text in ((0, "first"), (page - 1, "previous"), (page + 1, "next"), (pages - 1, "last")):
        if 0 <= target < pages and target != page:
            links.append(f'<a href="{esc(asset_url(asset.label, {**base, which: target}))}">{text}</a>')
        else:
            links.append(f'<span class="off">{text}</span>')
    what, dim = ("rows", grid.rows) if which == "page" else ("columns", grid.cols)
    total = dict(asset.dims)[dim or ""]
    return (f'<p class="pager">{what} {span.start + 1:,}–{span.stop:,} of {len(total):,}'
            f' (page {page + 1:,} of {pages:,}): {" ".join(links)}</p>')


def _cell(asset: AssetView, fact: Mapping[str, Any], text: str = "") -> str:
    where = partition_label(fact["partition"]) or asset.label
    detail = fact["dry_run"]["reason_detail"] if fact["state"] == "stale" and fact["dry_run"] else None
    tip = f"{where}: {fact['state']}" + (f" ({detail})" if detail else "")
    data = esc(json.dumps(fact["partition"], sort_keys=True, ensure_ascii=False)) if fact["partition"] else ""
    return (f'<a class="c s-{esc(fact["state"])}" href="{esc(partition_url(asset.label, fact["partition"]))}" '
            f'data-p="{data}" data-state="{esc(fact["state"])}" title="{esc(tip)}">{esc(text)}</a>')


def _asset_live(asset: AssetView, facts: Mapping[str, Any], grid: Matrix) -> str:
    parts = [f'<p class="counts">{counts_line(facts["counts"])}</p>']
    cells = iter(facts["partitions"])
    if grid.rows is None:
        fact = next(cells)
        parts.append(f'<div class="strip">{_cell(asset, fact, "(one partition)")}</div>')
        return "".join(parts)
    r = [d for d, _ in asset.dims].index(grid.rows)
    row_keys = asset.dims[r][1]
    parts.append(_pager(asset, grid, "page"))
    if grid.cols is None:
        parts.append('<div class="strip">' + "".join(
            _cell(asset, next(cells), key_label(row_keys[pos])) for pos, _ in grid.cells) + "</div>")
        return "".join(parts)
    c = [d for d, _ in asset.dims].index(grid.cols)
    col_keys = asset.dims[c][1]
    parts.append(_pager(asset, grid, "cpage"))
    head = "".join(f'<th class="ch" scope="col">{esc(key_label(col_keys[i]))}</th>' for i in grid.col_span)
    body = []
    for pos, row in grid.cells:
        tds = "".join(f"<td>{_cell(asset, next(cells))}</td>" for _ in row)
        body.append(f'<tr><th class="rh" scope="row">{esc(key_label(row_keys[pos]))}</th>{tds}</tr>')
    parts.append(f'<div class="matrix-wrap"><table class="matrix" data-rows="{esc(grid.rows)}" '
                 f'data-cols="{esc(grid.cols)}"><thead><tr><th class="corner">{esc(grid.rows)} \\ {esc(grid.cols)}'
                 f'</th>{head}</tr></thead><tbody>{"".join(body)}</tbody></table></div>')
    return "".join(parts)


# -- a partition ---------------------------------------------------------------------------


def partition_page(facts: Mapping[str, Any]) -> Page:
    label = facts["asset"]
    where = partition_label(facts["partition"])
    fixed = (f'<h1>{esc(facts["name"] or label)} <span class="keys">{esc(where)}</span></h1>'
             f'<p class="meta"><a href="{esc(asset_url(label))}">{esc(label)}</a></p>')
    parts = [f'<p>state {chip(facts["state"])}</p>']
    verdict = facts["dry_run"]
    if verdict:
        word = {"run": "run it", "may run": "maybe run it", "up-to-date": "find it up to date"}.get(
            verdict["status"], verdict["status"])
        parts.append(f'<p class="dry-run">A dry run would {esc(word)}'
                     + (f': {esc(verdict["reason_detail"])}' if verdict["reason_detail"] else "") + ".</p>")
    job = facts["last_job"]
    if job is None:
        parts.append("<p>No job of this partition in the history.</p>")
    else:
        parts.append(job_table(job))
    value = facts["value"]
    parts.append("<h2>Value</h2>" + value_html(value, facts.get("value_run")))
    return Page(f"{facts['name'] or label} {where}".strip(), fixed, "".join(parts))


def job_table(job: Mapping[str, Any]) -> str:
    run_link = f'<a href="{esc(url("/runs/" + job["run_id"]))}">{esc(job["run_id"])}</a>'
    log = f'<a class="log" href="{esc(log_url(job))}">log</a>' if job["log_path"] else "no log"
    rows = [
        ("last job", f"{run_link} #{esc(job['seq'])}"),
        ("status", chip(job["status"]) + (f" after {esc(job['attempts'])} attempts" if job["attempts"] > 1 else "")),
        ("reason", esc(job["reason_detail"] or job["reason"] or "-")),
        ("seconds", esc(seconds(job["seconds"]) or "-")),
        ("log", log),
    ]
    if job["error"]:
        rows.append(("error", f'<pre class="error">{esc(job["error"])}</pre>'))
    return '<table class="facts">' + "".join(f"<tr><th>{k}</th><td>{v}</td></tr>" for k, v in rows) + "</table>"


def value_html(value: Mapping[str, Any], run_id: str | None) -> str:
    made = f' <span class="meta">made by run {esc(run_id)}</span>' if run_id else ""
    if run_id and value.get("changed"):
        made = f' <span class="meta error">changed since run {esc(run_id)} wrote it: not that run\'s value</span>'
    if value["kind"] == "json":
        more = (f'<p class="note">Cut short: the first {len(value["text"]):,} characters are shown.</p>'
                if value["truncated"] else "")
        return f'<p>{esc(value["name"])}, {value["size"]:,} bytes{made}</p>{more}<pre class="value">{esc(value["text"])}</pre>'
    if value["kind"] == "table":
        head = "".join(f"<th>{esc(c)}</th>" for c in value["columns"])
        body = "".join("<tr>" + "".join(f"<td>{esc(v)}</td>" for v in row) + "</tr>" for row in value["rows"])
        return (f'<p>{esc(value["name"])}, {value["size"]:,} bytes{made}; the first rows:</p>'
                f'<table class="value"><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>')
    return f'<p>{esc(value["text"])}{made}</p>'


# -- runs ---------------------------------------------------------------------------------------


def runs_page(runs: Sequence[Mapping[str, Any]], launched: Sequence[Mapping[str, Any]]) -> Page:
    parts = []
    if launched:
        items = []
        for one in launched:
            state = "running" if one["returncode"] is None else f"exit status {one['returncode']}"
            output = f'<pre class="output">{esc(one["output"])}</pre>' if one["output"] else ""
            items.append(f'<li><code>{esc(shlex.join(one["command"]))}</code> · started {esc(when(one["started"]))}'
                         f' · <span class="launched-state">{esc(state)}</span>{output}</li>')
        parts.append('<h2>Started from this page</h2><ul class="launched">' + "".join(items) + "</ul>")
    if not runs:
        parts.append("<p>No runs yet.</p>")
    else:
        rows = []
        for one in runs:
            counts = one["counts"]
            tally = "/".join(str(counts.get(k, 0)) for k in RUNS_TALLY.split("/"))
            rows.append(
                f'<tr data-run="{esc(one["run_id"])}"><td><a href="{esc(url("/runs/" + one["run_id"]))}">'
                f'{esc(one["run_id"])}</a></td><td>{esc(when(one["started"]))}</td>'
                f'<td class="num">{esc(seconds(one["seconds"]) or "-")}</td><td>{chip(one["status"])}</td>'
                f'<td class="num">{esc(tally)} of {one["jobs"]:,}</td>'
                f'<td><code>{esc(shlex.join(one["command"]))}</code></td></tr>')
        parts.append('<table class="runs"><thead><tr><th>run</th><th>started</th><th>seconds</th><th>status</th>'
                     f"<th>{RUNS_TALLY} of jobs</th><th>command</th></tr></thead><tbody>"
                     + "".join(rows) + "</tbody></table>")
    return Page("Runs", "<h1>Runs</h1>", "".join(parts))


def run_page(facts: Mapping[str, Any]) -> Page:
    rid = facts["run_id"]
    fixed = f"<h1>Run {esc(rid)}</h1><p class=\"meta\"><code>{esc(' '.join(facts['command']))}</code></p>"
    tally = " ".join(f'<span class="count">{chip(s)} {n:,}</span>' for s, n in facts["counts"].items())
    parts = [f'<p>{chip(facts["status"])} started {esc(when(facts["started"]))}'
             + (f', {esc(seconds(facts["seconds"]))} s' if facts["seconds"] is not None else "")
             + f' · {facts["jobs_total"]:,} jobs: {tally}</p>']
    if facts["pages"] > 1:
        links = " ".join(
            f'<a href="{esc(url("/runs/" + rid, {"page": p}))}">{p + 1}</a>' if p != facts["page"] else
            f"<strong>{p + 1}</strong>" for p in range(facts["pages"]) if abs(p - facts["page"]) < 5
            or p in (0, facts["pages"] - 1))
        parts.append(f'<p class="pager">jobs page {facts["page"] + 1} of {facts["pages"]}: {links}</p>')
    rows = []
    for job in facts["jobs"]:
        error = ""
        if job["error"]:
            line = first_line(job["error"])
            error = (f"<details><summary>{esc(_clip(line, 120))}</summary><pre>{esc(job['error'])}</pre></details>"
                     if line != job["error"].strip() or len(line) > 120 else esc(line))
        log = f'<a class="log" href="{esc(log_url(job))}">log</a>' if job["log_path"] else ""
        rows.append(
            f'<tr data-seq="{job["seq"]}"><td><a href="{esc(asset_url(job["asset"]))}">'
            f'{esc(job["name"] or job["asset"])}</a></td>'
            f'<td><a href="{esc(partition_url(job["asset"], job["partition"]))}">'
            f'{esc(partition_label(job["partition"]) or "-")}</a></td><td>{chip(job["status"])}</td>'
            f'<td>{esc(job["reason_detail"] or job["reason"] or "")}</td>'
            f'<td class="num">{esc(seconds(job["seconds"]))}</td>'
            f'<td class="num">{job["attempts"] if job["attempts"] > 1 else ""}</td><td>{error}</td><td>{log}</td></tr>')
    parts.append('<table class="jobs"><thead><tr><th>asset</th><th>partition</th><th>status</th><th>reason</th>'
                 "<th>seconds</th><th>attempts</th><th>error</th><th>log</th></tr></thead><tbody>"
                 + "".join(rows) + "</tbody></table>")
    return Page(f"Run {rid}", fixed, "".join(parts))


def log_page(job: Mapping[str, Any], log: Any) -> Page:
    where = f"{job['name'] or job['asset']} {partition_label(job['partition'])}".strip()
    fixed = (f'<h1>Log of {esc(where)}</h1><p class="meta">run <a href="{esc(url("/runs/" + job["run_id"]))}">'
             f'{esc(job["run_id"])}</a> · {chip(job["status"])}</p>')
    if log.error:
        live = f'<p class="note">{esc(log.error)}</p>'
    else:
        cut = (f'<p class="note">The last {log.shown:,} bytes of {log.size:,}.</p>' if log.shown < log.size else "")
        live = f'{cut}<pre class="log">{esc(log.text) or "(empty)"}</pre>'
    return Page(f"Log of {where}", fixed, live)


def error_page(status: int, message: str) -> Page:
    return Page(f"{status}", f"<h1>{status}</h1>", f'<p class="error">{esc(message)}</p>')

