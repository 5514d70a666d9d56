"""Partition jobs: one per key combination, and where each input comes from.

An input is bound to one upstream job (an unpartitioned upstream, or the
partition whose keys match the reader's on every upstream dimension), to a
list of the upstream partitions whose keys agree with the reader's on the
dimensions they share, or, when they share none, to a list of every
upstream partition. Jobs that are needed but not selected are read from the
store.
"""

from __future__ import annotations

import itertools
import json
from dataclasses import dataclass
from typing import Any

from vorda._command import UsageError
from vorda.run.planning.discovery import Asset
from vorda.run.store.keys import canonical, key_label, partition_label, read_key
from vorda.run.store.layout import Place


@dataclass(frozen=True)
class Binding:
    param: str
    as_list: bool  # a list of {"partition", "value"} entries, else one value
    upstream: tuple[int, ...]  # job numbers


@dataclass(slots=True)
class Job:
    seq: int
    asset: Asset
    keys: dict[str, Any]  # dimension -> key, in dimension order
    selected: bool  # run now (or found up to date); else read from the store
    bindings: tuple[Binding, ...] = ()
    # The partition as the history stores it ("" when unpartitioned), and as
    # users read it; made once, when the job is planned.
    partition_id: str = ""
    partition_text: str = ""

    @property
    def partition(self) -> dict[str, Any] | None:
        return self.keys if self.asset.dims else None

    @property
    def name(self) -> str:
        return f"{self.asset.label} {self.partition_text}".rstrip()

    @property
    def place(self) -> Place:
        """Where the store keeps the job's files."""
        return Place(self.asset.module, self.asset.function, self.keys)


def parse_filters(texts: list[str]) -> dict[str, list[Any]]:
    """--partition DIM=VALUE, VALUE read as JSON when it parses; the values
    given for one dimension are alternatives."""
    filters: dict[str, list[Any]] = {}
    for text in texts:
        dim, sep, raw = text.partition("=")
        if not sep:
            raise UsageError(f"--partition {text}: expected DIM=VALUE")
        filters.setdefault(dim, []).append(read_key(raw))
    return filters


def _check_filters(filters: dict[str, list[Any]], assets: list[Asset]) -> None:
    for dim, values in filters.items():
        keys = {text for a in assets if dim in a.dims for text in a.texts(dim)}
        if not any(dim in a.dims for a in assets):
            raise UsageError(f"--partition {dim}=...: no selected asset has a partition dimension {dim!r}")
        for value in values:
            if canonical(value) not in keys:
                known = sorted(keys)
                shown = ", ".join(key_label(json.loads(k)) for k in known[:8]) + (", ..." if len(known) > 8 else "")
                raise UsageError(f"--partition {dim}={key_label(value)}: no selected asset has that key "
                                 f"(keys of {dim}: {shown})")


def plan_jobs(
    assets: dict[str, Asset], order: list[str], selected: set[str], filters: dict[str, list[Any]]
) -> list[Job]:
    """Every job needed, upstream first; the selected ones have selected=True."""
    _check_filters(filters, [assets[r] for r in selected])
    wanted = {dim: {canonical(v) for v in values} for dim, values in filters.items()}
    jobs: list[Job] = []
    by_ref: dict[str, list[Job]] = {}
    read = {up for ref in order for up in assets[ref].inputs.values()}
    key_texts: dict[int, dict[str, str]] = {}  # job -> its keys' canonical texts (of assets that are read)
    indexes: _Indexes = {}
    for ref in order:
        asset = assets[ref]
        dims = list(asset.dims)
        # Each key's texts are made once per dimension, not once per job.
        texts = [asset.texts(d) for d in dims]
        labels = [[f"{d}={key_label(k, text)}" for k, text in zip(asset.dims[d], texts[n])] for n, d in enumerate(dims)]
        heads = [json.dumps(d, ensure_ascii=False) + ":" for d in dims]
        in_order = sorted(range(len(dims)), key=dims.__getitem__)  # the canonical text sorts its keys
        filtered = [(n, wanted[d]) for n, d in enumerate(dims) if d in wanted]
        chosen = ref in selected
        mine = by_ref[ref] = []
        if len(dims) == 1 and ref not in read and not asset.inputs:
            # The common shape, and the one that reaches 100,000s of jobs: made
            # with no per-job work beyond its own objects.
            (dim,), (text,), (label,), (head,) = dims, texts, labels, heads
            only = wanted.get(dim)
            for key, key_text, shown in zip(asset.dims[dim], text, label):
                job = Job(len(jobs), asset, {dim: key}, chosen and (only is None or key_text in only), (),
                          "{" + head + key_text + "}", shown)
                jobs.append(job)
                mine.append(job)
            continue
        for combo in itertools.product(*(range(len(asset.dims[d])) for d in dims)):
            keys = {d: asset.dims[d][i] for d, i in zip(dims, combo)}
            job = Job(len(jobs), asset, keys, chosen and all(texts[n][combo[n]] in w for n, w in filtered))
            if dims:
                job.partition_id = "{" + ",".join([heads[n] + texts[n][combo[n]] for n in in_order]) + "}"
                job.partition_text = " ".join([labels[n][i] for n, i in enumerate(combo)])
            if ref in read or asset.inputs:
                job_texts = {d: texts[n][i] for n, (d, i) in enumerate(zip(dims, combo))}
                if ref in read:
                    key_texts[job.seq] = job_texts
                job.bindings = tuple(_bind(job, param, by_ref[up], assets[up], job_texts, key_texts, indexes)
                                     for param, up in asset.inputs.items())
            jobs.append(job)
            mine.append(job)
    return _needed(jobs)


# (upstream ref, shared dimensions) -> the upstream's jobs by their keys' texts in those dimensions
_Indexes = dict[tuple[str, tuple[str, ...]], dict[tuple[str, ...], list[int]]]


def _bind(job: Job, param: str, upstream_jobs: list[Job], upstream: Asset, job_texts: dict[str, str],
          key_texts: dict[int, dict[str, str]], indexes: _Indexes) -> Binding:
    if not upstream.dims:
        return Binding(param, False, (upstream_jobs[0].seq,))
    shared = tuple(d for d in upstream.dims if d in job.asset.dims)
    if not shared:
        return Binding(param, True, tuple(j.seq for j in upstream_jobs))
    index = indexes.get((upstream.ref, shared))
    if index is None:  # made once per upstream and shared dimensions: no job scans them all
        index = indexes[upstream.ref, shared] = {}
        for candidate in upstream_jobs:
            index.setdefault(tuple(key_texts[candidate.seq][d] for d in shared), []).append(candidate.seq)
    agreeing = tuple(index.get(tuple(job_texts[d] for d in shared), ()))
    if not agreeing:
        keys = partition_label({d: job.keys[d] for d in shared})
        raise UsageError(f"{job.name} reads {upstream.label}, which has no partition {keys}")
    # Every upstream dimension shared: the one matching partition.
    return Binding(param, len(shared) < len(upstream.dims), agreeing)


def _needed(jobs: list[Job]) -> list[Job]:
    """The selected jobs and whatever they read, transitively."""
    keep = {j.seq for j in jobs if j.selected}
    for job in reversed(jobs):
        if job.seq in keep and job.selected:
            for binding in job.bindings:
                keep.update(binding.upstream)
    return [j for j in jobs if j.seq in keep]
