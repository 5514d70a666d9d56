"""Where each asset's box goes: layers left to right by the longest path
from an asset that reads nothing, and within a layer an order that keeps
arrows short (each box near the mean place of what it reads, then of what
reads it, a few sweeps)."""

from __future__ import annotations

from dataclasses import dataclass

BOX_W, BOX_H = 220, 58
GAP_X, GAP_Y = 70, 16
MARGIN = 12
SWEEPS = 4


@dataclass(frozen=True)
class Box:
    x: int
    y: int
    layer: int


def layout(names: list[str], inputs: dict[str, list[str]]) -> tuple[dict[str, Box], int, int]:
    """Boxes by name, and the drawing's width and height."""
    known = set(names)
    reads = {name: [up for up in inputs.get(name, []) if up in known and up != name] for name in names}
    layer: dict[str, int] = {}
    for start in names:
        # Depth first without recursion; an asset met again on its own path
        # (a cycle, which discovery refuses anyway) is left out of the depth.
        stack = [(start, iter(reads[start]))]
        path = {start}
        while stack:
            name, upstream = stack[-1]
            for up in upstream:
                if up not in layer and up not in path:
                    path.add(up)
                    stack.append((up, iter(reads[up])))
                    break
            else:
                stack.pop()
                path.discard(name)
                layer[name] = 1 + max((layer[up] for up in reads[name] if up in layer), default=-1)
    readers: dict[str, list[str]] = {name: [] for name in names}
    for name in names:
        for up in reads[name]:
            readers[up].append(name)
    layers: list[list[str]] = [[] for _ in range(max(layer.values(), default=-1) + 1)]
    for name in names:
        layers[layer[name]].append(name)
    place = {name: float(i) for column in layers for i, name in enumerate(column)}
    for sweep in range(SWEEPS):
        forward = sweep % 2 == 0
        for column in layers[1:] if forward else layers[-2::-1]:
            def mean(name: str) -> float:
                near = reads[name] if forward else readers[name]
                return sum(place[n] for n in near) / len(near) if near else place[name]
            column.sort(key=mean)
            for i, name in enumerate(column):
                place[name] = float(i)
    boxes = {
        name: Box(MARGIN + n * (BOX_W + GAP_X), MARGIN + i * (BOX_H + GAP_Y), n)
        for n, column in enumerate(layers) for i, name in enumerate(column)
    }
    width = MARGIN * 2 + max(len(layers), 1) * (BOX_W + GAP_X) - GAP_X
    height = MARGIN * 2 + max((len(c) for c in layers), default=1) * (BOX_H + GAP_Y) - GAP_Y
    return boxes, width, height
