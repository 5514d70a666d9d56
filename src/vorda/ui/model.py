"""What the page knows of the pipeline: each asset's partitions as compact
arrays of codes (one byte per partition for its last job, one for what a
dry run says of it), and the one rule that turns them into a state.

A partition's state is its last job's status, except that a partition
whose last job ended ok (ok, up-to-date, restored) is "stale" when the dry
run would run it again, and one that never had a job is "new".
"""

from __future__ import annotations

import base64
import json
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Iterator, Sequence

from vorda.run.status import JobStatus, PartitionState, Reason
from vorda.run.store.keys import canonical

# Code 0 is "none" in both tables.
STATUSES: tuple[JobStatus | None, ...] = (
    None, JobStatus.PENDING, JobStatus.RUNNING, JobStatus.OK, JobStatus.FAILED, JobStatus.SKIPPED,
    JobStatus.UP_TO_DATE, JobStatus.RESTORED, JobStatus.INTERRUPTED, JobStatus.NOT_RUN,
)
REASONS: tuple[Reason | None, ...] = (
    None, Reason.NEW, Reason.CODE, Reason.INPUT, Reason.FORCED, Reason.UP_TO_DATE, Reason.RESTORED, Reason.UPSTREAM,
)
_STATUS_CODE = {status: n for n, status in enumerate(STATUSES) if status is not None}
_REASON_CODE = {reason: n for n, reason in enumerate(REASONS) if reason is not None}
_STATUS_VALUES = frozenset(str(s) for s in _STATUS_CODE)
_REASON_VALUES = frozenset(str(r) for r in _REASON_CODE)
ENDED_OK = frozenset({JobStatus.OK, JobStatus.UP_TO_DATE, JobStatus.RESTORED})
WOULD_RUN = frozenset({JobStatus.RUN, JobStatus.MAY_RUN})
# Distinct dry-run verdicts kept per asset with their detail; past this the
# detail is left out (a byte per partition indexes the table).
DETAILS_KEPT = 200

State = str  # a JobStatus or a PartitionState, as the page and the API spell it

# Most telling first: a box on the graph takes the colour of the first of
# these that any of its partitions is in.
SEVERITY: tuple[State, ...] = (
    JobStatus.FAILED, JobStatus.INTERRUPTED, JobStatus.RUNNING, JobStatus.PENDING, JobStatus.SKIPPED,
    PartitionState.STALE, PartitionState.NEW, JobStatus.NOT_RUN, JobStatus.RESTORED, JobStatus.UP_TO_DATE,
    JobStatus.OK,
)


def last_code(status: str | None, reason: str | None) -> int:
    """One byte: the last job's status and reason."""
    status_code = _STATUS_CODE.get(JobStatus(status), 0) if status in _STATUS_VALUES else 0
    reason_code = _REASON_CODE.get(Reason(reason), 0) if reason in _REASON_VALUES else 0
    return status_code * 16 + reason_code


def last_status(code: int) -> JobStatus | None:
    return STATUSES[code >> 4] if code >> 4 < len(STATUSES) else None


def last_reason(code: int) -> Reason | None:
    return REASONS[code & 15] if code & 15 < len(REASONS) else None


def state(last: int, verdict: tuple[str, str, str | None] | None) -> State:
    """The state of a partition from its last job's code and the dry run's
    verdict (None when not known)."""
    status = last_status(last)
    if status is None:
        return PartitionState.NEW
    if status in ENDED_OK and verdict is not None and verdict[0] in WOULD_RUN:
        return PartitionState.STALE
    return status


@dataclass
class AssetView:
    """One asset: its dimensions and, per partition (in the order of the
    product of its dimensions' keys), its codes."""

    label: str  # module:function
    name: str | None
    key: str  # what the history keeps it under
    inputs: list[str]  # labels of the assets it reads
    dims: list[tuple[str, list[Any]]]
    last: bytearray
    would: bytearray  # index into verdicts; 0: not known
    verdicts: list[tuple[str, str, str | None]]  # (status, reason, detail); [0] is a placeholder
    index: list[dict[str, int]] = field(default_factory=list)  # per dimension: canonical key -> position

    def __post_init__(self) -> None:
        self.index = [{canonical(key): n for n, key in enumerate(keys)} for _, keys in self.dims]

    @property
    def shown(self) -> str:
        return self.name or self.label

    @property
    def size(self) -> int:
        size = 1
        for _, keys in self.dims:
            size *= len(keys)
        return size

    def strides(self) -> list[int]:
        out, step = [], 1
        for _, keys in reversed(self.dims):
            out.append(step)
            step *= len(keys)
        return out[::-1]

    def position(self, keys: dict[str, Any] | None) -> int | None:
        """The partition's place in the arrays, or None if it is not one of
        the asset's partitions now."""
        keys = keys or {}
        if set(keys) != {dim for dim, _ in self.dims}:
            return None
        place = 0
        for (dim, _), stride, index in zip(self.dims, self.strides(), self.index):
            found = index.get(canonical(keys[dim]))
            if found is None:
                return None
            place += found * stride
        return place

    def keys_at(self, place: int) -> dict[str, Any]:
        keys = {}
        for (dim, values), stride in zip(self.dims, self.strides()):
            keys[dim] = values[(place // stride) % len(values)]
        return keys

    def verdict(self, would: int) -> tuple[str, str, str | None] | None:
        return self.verdicts[would] if 0 < would < len(self.verdicts) else None


def count_states(last: bytes | bytearray, would: bytes | bytearray, asset: AssetView) -> dict[State, int]:
    pairs = Counter(zip(last, would))
    counts: Counter[State] = Counter()
    for (code, verdict), n in pairs.items():
        counts[state(code, asset.verdict(verdict))] += n
    return dict(counts)


def worst(counts: dict[State, int]) -> State:
    for candidate in SEVERITY:
        if counts.get(candidate):
            return candidate
    return PartitionState.NEW


class Verdicts:
    """Builds an asset's table of dry-run verdicts, one byte per partition."""

    def __init__(self) -> None:
        self.table: list[tuple[str, str, str | None]] = [("", "", None)]
        self.codes: dict[tuple[str, str, str | None], int] = {}

    def code(self, status: str, reason: str, detail: str | None) -> int:
        entry = (status, reason, detail)
        if entry not in self.codes and len(self.table) >= DETAILS_KEPT:
            entry = (status, reason, None)
        if entry not in self.codes:
            self.codes[entry] = len(self.table)
            self.table.append(entry)
        return self.codes[entry]


# -- the survey's report, written by survey.py and read by the server --------

@dataclass
class Snapshot:
    assets: list[AssetView]
    runs: dict[str, str]  # run id -> its status when the history was read
    files: list[str]  # what discovery depends on: module files and package folders
    error: str | None = None
    notice: str = ""
    checked: bool = True  # the dry run's verdicts are in (else only the last jobs)
    seconds: float = 0.0
    max_rss_kb: int = 0
    history_sig: tuple[Any, ...] = ()
    files_sig: tuple[Any, ...] = ()
    by_label: dict[str, AssetView] = field(default_factory=dict)
    by_key: dict[str, int] = field(default_factory=dict)

    def __post_init__(self) -> None:
        self.by_label = {asset.label: asset for asset in self.assets}
        self.by_key = {asset.key: n for n, asset in enumerate(self.assets)}

    def find(self, name: str) -> AssetView | None:
        """An asset by module:function, or by its name."""
        found = self.by_label.get(name)
        if found is None:
            found = next((asset for asset in self.assets if asset.name == name), None)
        return found


def encode(snapshot: Snapshot) -> dict[str, Any]:
    return {
        "error": snapshot.error,
        "notice": snapshot.notice,
        "checked": snapshot.checked,
        "runs": snapshot.runs,
        "files": snapshot.files,
        "assets": [
            {"label": a.label, "name": a.name, "key": a.key, "inputs": a.inputs,
             "dims": [[dim, keys] for dim, keys in a.dims],
             "last": base64.b64encode(a.last).decode("ascii"),
             "would": base64.b64encode(a.would).decode("ascii"),
             "verdicts": [list(v) for v in a.verdicts]}
            for a in snapshot.assets
        ],
    }


def decode(data: dict[str, Any]) -> Snapshot:
    assets = [
        AssetView(
            label=str(a["label"]), name=a["name"], key=str(a["key"]), inputs=list(a["inputs"]),
            dims=[(str(dim), list(keys)) for dim, keys in a["dims"]],
            last=bytearray(base64.b64decode(a["last"])), would=bytearray(base64.b64decode(a["would"])),
            verdicts=[(str(s), str(r), d) for s, r, d in a["verdicts"]],
        )
        for a in data["assets"]
    ]
    for asset in assets:
        if len(asset.last) != asset.size or len(asset.would) != asset.size:
            raise ValueError(f"the survey of {asset.label} has {len(asset.last)} partitions, not {asset.size}")
    return Snapshot(assets, dict(data["runs"]), list(data["files"]), data.get("error"), str(data.get("notice") or ""),
                    bool(data.get("checked", True)))


def partition_of(text: str | None) -> dict[str, Any] | None:
    """A partition as the history records it (canonical JSON, or NULL)."""
    if not text:
        return None
    value = json.loads(text)
    return value if isinstance(value, dict) else None


def product_places(asset: AssetView, fixed: dict[int, int], free: Sequence[tuple[int, range]]) -> Iterator[int]:
    """Places of the partitions whose key positions are `fixed` in some
    dimensions (dimension -> position) and range over `free` ones, in
    row-major order of `free`."""
    strides = asset.strides()
    return _places(sum(strides[dim] * pos for dim, pos in fixed.items()), strides, free)


def _places(base: int, strides: list[int], free: Sequence[tuple[int, range]]) -> Iterator[int]:
    if not free:
        yield base
        return
    (dim, span), rest = free[0], free[1:]
    for pos in span:
        yield from _places(base + strides[dim] * pos, strides, rest)
