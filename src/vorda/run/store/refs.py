"""References files for the worker: the upstream values a job reads that
are not JSON. They are never copied or parsed by the runner; the worker
gets where each file is, the hash the runner recorded for it and the
file's identity (device, inode, size, mtime_ns), and loads it by the
parameter's annotation (vorda.materialize.load_input).

    {PARAM: {"asset": "module:function", "module": MODULE, "list": BOOL,
             "dims": {DIM: [every key]},
             "sources": [{"partition": {DIM: KEY} or null, "path": PATH,
                          "hash": SHA256, "identity": [DEV, INO, SIZE, MTIME_NS]}]}}
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Any

from vorda.run.store.files import create_exclusive
from vorda.run.store.layout import Value


def reference(label: str, module: str, dims: dict[str, list[Any]], as_list: bool,
              sources: list[tuple[dict[str, Any] | None, Value]]) -> dict[str, Any]:
    """One parameter's entry: the values of the upstream asset `label` (of
    `module`, partitioned by `dims`) it reads, in job order."""
    return {
        "asset": label,
        "module": module,
        "list": as_list,
        "dims": dims,
        "sources": [
            {"partition": partition, "path": str(value.path), "hash": value.hash,
             "identity": list(value.identity) if value.identity else None}
            for partition, value in sources
        ],
    }


def write_refs(path: Path, refs: dict[str, dict[str, Any]]) -> None:
    with os.fdopen(create_exclusive(path), "wb") as out:
        out.write(json.dumps(refs, ensure_ascii=False).encode("utf-8", "surrogatepass"))
