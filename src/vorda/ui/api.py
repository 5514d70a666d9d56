"""The facts each page shows, as the JSON of /api/...: the pages render
these same dictionaries, so the two never say different things."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Mapping

from vorda.run.store.keys import canonical, partition_label, read_key
from vorda.run.store.layout import Store
from vorda.ui import reading
from vorda.ui.graph import layout
from vorda.ui.live import View
from vorda.ui.model import AssetView, last_reason, last_status, product_places, state, worst

MAX_CELLS = 2000  # partitions in one answer, at most
MAX_COLS = 100  # columns of the matrix in one answer, at most
# Before a dimension's name in a query: a dimension may be called "page" or "rows".
FILTER = "k."
OWN_QUERY = frozenset({"rows", "cols", "page", "cpage"})


class BadQuery(ValueError):
    """A query the page cannot answer; the message says why."""


class NotFound(LookupError):
    pass


def survey_facts(view: View) -> dict[str, Any]:
    snapshot = view.snapshot
    return {
        "ready": snapshot is not None,
        "current": view.current,
        "checked": snapshot.checked if snapshot else False,
        "surveying": view.surveying,
        "seconds": round(snapshot.seconds, 3) if snapshot else None,
        "peak_rss_mb": round(snapshot.max_rss_kb / 1024, 1) if snapshot else None,  # the survey processes' peak
        "error": snapshot.error if snapshot else None,
        "failure": view.failure,
        "notice": snapshot.notice if snapshot else "",
    }


def assets_facts(view: View) -> dict[str, Any]:
    snapshot = view.snapshot
    assets = snapshot.assets if snapshot else []
    boxes, width, height = layout([a.label for a in assets], {a.label: a.inputs for a in assets})
    out = []
    for n, asset in enumerate(assets):
        counts = view.counts[n] if n < len(view.counts) else {}
        box = boxes[asset.label]
        out.append({
            "asset": asset.label, "name": asset.name, "inputs": asset.inputs,
            "dims": {dim: len(keys) for dim, keys in asset.dims}, "partitions": asset.size,
            "counts": {str(k): v for k, v in sorted(counts.items())}, "state": worst(counts),
            "layer": box.layer, "x": box.x, "y": box.y,
        })
    return {"assets": out, "width": width, "height": height, "survey": survey_facts(view)}


def find_asset(view: View, name: str) -> tuple[int, AssetView]:
    snapshot = view.snapshot
    asset = snapshot.find(name) if snapshot else None
    if snapshot is None or asset is None:
        raise NotFound(f"no asset {name}" + ("" if snapshot else " (the pipeline is still being read)"))
    return snapshot.assets.index(asset), asset


@dataclass
class Matrix:
    """The page of the asset's partitions the query asks for."""

    rows: str | None
    cols: str | None
    filters: dict[str, Any]  # every other dimension -> its chosen key
    row_span: range
    col_span: range
    cells: list[tuple[int, list[int]]]  # (row key position, places in the row)
    page: int
    pages: int
    cpage: int
    cpages: int


def _int(query: Mapping[str, str], name: str) -> int:
    try:
        return max(0, int(query.get(name, "0")))
    except ValueError:
        raise BadQuery(f"{name} must be a number") from None


def matrix(asset: AssetView, query: Mapping[str, str]) -> Matrix:
    names = [dim for dim, _ in asset.dims]
    if not names:
        return Matrix(None, None, {}, range(1), range(1), [(0, [0])], 0, 1, 0, 1)
    rows = query.get("rows") or names[0]
    if rows not in names:
        raise BadQuery(f"{asset.label} has no dimension {rows!r}")
    others = [dim for dim in names if dim != rows]
    cols = query.get("cols") or (others[0] if others else None)
    if cols is not None and cols not in others:
        raise BadQuery(f"rows and columns must be two different dimensions of {asset.label}"
                       if cols == rows else f"{asset.label} has no dimension {cols!r}")
    fixed: dict[int, int] = {}
    filters: dict[str, Any] = {}
    for n, (dim, keys) in enumerate(asset.dims):
        if dim in (rows, cols):
            continue
        text = query.get(FILTER + dim, None if dim in OWN_QUERY else query.get(dim))  # bare: older links
        if not keys:  # then the asset has no partitions at all
            filters[dim] = None
            continue
        position = 0 if text is None else asset.index[n].get(canonical(read_key(text)))
        if position is None:
            raise BadQuery(f"{asset.label} has no key {text} in {dim}")
        fixed[n], filters[dim] = position, keys[position]
    r = names.index(rows)
    nrows = len(asset.dims[r][1])
    if cols is None:
        per_row, ncols, c = 1, 1, None
    else:
        c = names.index(cols)
        ncols = len(asset.dims[c][1])
        per_row = max(1, min(ncols, MAX_COLS))
    rows_per_page = max(1, MAX_CELLS // per_row)
    pages, cpages = max(1, -(-nrows // rows_per_page)), max(1, -(-ncols // per_row))
    page, cpage = min(_int(query, "page"), pages - 1), min(_int(query, "cpage"), cpages - 1)
    row_span = range(page * rows_per_page, min(nrows, (page + 1) * rows_per_page) if asset.size else 0)
    col_span = range(cpage * per_row, min(ncols, (cpage + 1) * per_row))
    cells = []
    for position in row_span:
        free = [(c, col_span)] if c is not None else []
        cells.append((position, list(product_places(asset, {**fixed, r: position}, free))))
    return Matrix(rows, cols, filters, row_span, col_span, cells, page, pages, cpage, cpages)


def partition_fact(view: View, n: int, asset: AssetView, place: int) -> dict[str, Any]:
    code, would = view.last[n][place], view.would[n][place]
    verdict = asset.verdict(would)
    keys = asset.keys_at(place)
    return {
        "partition": keys if asset.dims else None,
        "state": state(code, verdict),
        "status": last_status(code),
        "reason": last_reason(code),
        "dry_run": {"status": verdict[0], "reason": verdict[1], "reason_detail": verdict[2]} if verdict else None,
    }


def asset_facts(view: View, name: str, query: Mapping[str, str]) -> tuple[dict[str, Any], Matrix]:
    n, asset = find_asset(view, name)
    grid = matrix(asset, query)
    counts = view.counts[n] if n < len(view.counts) else {}
    partitions = [partition_fact(view, n, asset, place) for _, row in grid.cells for place in row]
    facts = {
        "asset": asset.label, "name": asset.name, "inputs": asset.inputs,
        "dims": {dim: keys for dim, keys in asset.dims}, "partitions_total": asset.size,
        "counts": {str(k): v for k, v in sorted(counts.items())}, "state": worst(counts),
        "rows": grid.rows, "cols": grid.cols, "filters": grid.filters,
        "page": grid.page, "pages": grid.pages, "cpage": grid.cpage, "cpages": grid.cpages,
        "partitions": partitions, "survey": survey_facts(view),
    }
    return facts, grid


def partition_facts(store: Store, view: View, name: str, query: Mapping[str, str]) -> dict[str, Any]:
    n, asset = find_asset(view, name)
    # k.DIM as the matrix takes its filters, or bare DIM as the page's links give them
    texts = {dim: query.get(FILTER + dim, query.get(dim)) for dim, _ in asset.dims}
    keys = {dim: read_key(text) for dim, text in texts.items() if text is not None}
    place = asset.position(keys)
    if place is None:
        raise BadQuery(f"{asset.label} has no partition {partition_label(keys) or '(none)'}; "
                       f"give one key per dimension ({', '.join(d for d, _ in asset.dims)})")
    fact = partition_fact(view, n, asset, place)
    last, last_ok = reading.last_jobs(store, asset.key, fact["partition"])
    fact.update(asset=asset.label, name=asset.name, last_job=last, value=reading.preview(
        store, last_ok["value_path"] if last_ok else None, last_ok["value_stat"] if last_ok else None),
        value_run=last_ok["run_id"] if last_ok else None)
    return fact
