"""How a stored value was made, from the history alone: ``vorda why``."""

from __future__ import annotations

import json
from typing import Any, Mapping

from vorda._command import UsageError
from vorda.run.report import first_line
from vorda.run.store.history import History
from vorda.run.store.keys import canonical, partition_label
from vorda.run.store.layout import Store

_SHOWN = 8  # names listed when a lookup fails


def _asset_key(history: History, asset: str) -> tuple[str, str]:
    """(history key, label) of the asset named by its name, module:function or function."""
    known = history.known_assets()
    for key, label in known:
        if key == f"name:{asset}" or label == asset:
            return key, label
    by_function = [(key, label) for key, label in known if label.rpartition(":")[2] == asset]
    if len(by_function) == 1:
        return by_function[0]
    if by_function:
        raise UsageError(f"several assets are called {asset} ({', '.join(l for _, l in by_function)}); "
                         "use module:function")
    last = history.last_job_of(asset)
    if last is not None:  # it ran, but never ok
        run_id, label, status, error = last
        why = first_line(error)
        raise UsageError(f"no value of {label} in the history: its last job, in run {run_id}, is {status}"
                         + (f": {why}" if why else "") +
                         f" (see vorda logs {run_id} {label})")
    names = sorted({label for _, label in known} | {key[5:] for key, _ in known if key.startswith("name:")})
    listed = ", ".join(names[:_SHOWN]) + (", ..." if len(names) > _SHOWN else "")
    raise UsageError(f"no asset {asset} in the history" + (f" (it has {listed})" if names else " (it is empty)"))


def why(store: Store, asset: str, partition: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """How the current value of `asset`'s `partition` was made: the run, its
    time and reason, the code version and what it covers, and each input's
    upstream partition, value hash and the run that made it."""
    history = store.history(readonly=True)
    try:
        key, label = _asset_key(history, asset)
        pid = canonical(dict(partition)) if partition else ""
        row = history.lineage(key, pid)
        if row is None:
            have = history.ok_partitions(key)
            shown = ", ".join(partition_label(json.loads(p)) for p in have[:_SHOWN]) + (", ..." if len(have) > _SHOWN else "")
            wanted = f"partition {partition_label(partition)} of " if partition else ""
            raise UsageError(f"no value of {wanted}{label} in the history"
                             + (f" (it has {shown}; name one with --partition DIM=KEY)" if have else ""))
        run_id, started, reason, detail, version, covers, input_hashes, input_assets, value_path, value_hash, _ = row
        inputs = []
        read = json.loads(input_hashes or "{}").get("inputs", {})
        upstream = json.loads(input_assets or "{}")
        for param, entries in read.items():
            up_key = upstream.get(param)
            for up_pid, up_hash in entries:
                made = history.made(up_key, up_pid, up_hash) if up_key else None
                inputs.append({
                    "param": param,
                    "asset": up_key[5:] if up_key and up_key.startswith("name:") else _label(history, up_key),
                    "partition": json.loads(up_pid) if up_pid else None,
                    "value_hash": up_hash,
                    "run_id": made.run_id if made else None,
                })
        return {
            "asset": label,
            "name": key[5:] if key.startswith("name:") else None,
            "partition": dict(partition) if partition else None,
            "run_id": run_id,
            "started": started,
            "reason": reason,
            "reason_detail": detail,
            "code_version": version,
            "covers": json.loads(covers) if covers else None,
            "value_path": str(store.recorded(value_path)),
            "value_hash": value_hash,
            "inputs": inputs,
        }
    finally:
        history.close()


def _label(history: Any, key: str | None) -> str | None:
    for known, label in history.known_assets():
        if known == key:
            return str(label)
    return key
