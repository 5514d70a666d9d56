"""The asset graph: missing upstreams, cycles, selection, order."""

from __future__ import annotations

import graphlib
from typing import Callable

from vorda._command import UsageError
from vorda.run.planning.discovery import Asset
from vorda.run.search_path import SearchPath


def check_inputs(assets: dict[str, Asset], search: SearchPath) -> None:
    """Every input must name a discovered asset."""
    for asset in assets.values():
        for param, ref in asset.inputs.items():
            if ref in assets:
                continue
            file_path = ref.rpartition(":")[0]
            module = search.module_for(file_path) if file_path else None
            if module:
                hint = f"add the module {module} to the command line"
            elif not file_path.startswith("/"):  # "module:function", say: refs name the resolved source file
                hint = (f'an input written as text is "<resolved source file>:<function>"; '
                        f"or give the asset itself, as inputs={{{param!r}: {ref.rpartition(':')[2]}}}")
            else:
                hint = "its file is not under the module search path (see --path)"
            raise UsageError(
                f"{asset.label} reads {ref} (parameter {param!r}), which no inspected module declares; {hint}"
            )
        clash = set(asset.inputs) & set(asset.dims)
        if clash:
            raise UsageError(f"{asset.label}: {sorted(clash)[0]!r} is both an input and a partition dimension")


def asset_order(assets: dict[str, Asset]) -> list[str]:
    """Refs with every asset after the assets it reads; a cycle is an error."""
    sorter: graphlib.TopologicalSorter[str] = graphlib.TopologicalSorter()
    for ref in sorted(assets, key=lambda r: assets[r].label):
        sorter.add(ref, *sorted(set(assets[ref].inputs.values()), key=lambda r: assets[r].label))
    try:
        return list(sorter.static_order())
    except graphlib.CycleError as error:
        cycle = [assets[ref].label for ref in error.args[1]]
        raise UsageError("cycle between assets: " + " -> ".join(cycle)) from None


def _find(assets: dict[str, Asset], name: str) -> str:
    named = [a.ref for a in assets.values() if a.name == name]
    if named:
        return named[0]
    module, _, function = name.rpartition(":")
    found = [
        a.ref for a in assets.values() if a.function == function and (not module or module in a.modules)
    ]
    if not found:
        raise UsageError(f"--select {name}: no discovered asset has that name")
    if len(found) > 1:
        labels = ", ".join(sorted(assets[r].label for r in found))
        raise UsageError(f"--select {name}: several assets have that name ({labels}); use module:function")
    return found[0]


def select(assets: dict[str, Asset], selections: list[str]) -> set[str]:
    """The refs that --select names; every asset when there is none.

    ``+SEL`` adds everything upstream of SEL, ``SEL+`` everything downstream."""
    if not selections:
        return set(assets)
    readers: dict[str, set[str]] = {ref: set() for ref in assets}
    for asset in assets.values():
        for upstream in asset.inputs.values():
            readers[upstream].add(asset.ref)
    chosen: set[str] = set()
    for text in selections:
        up, down = text.startswith("+"), text.endswith("+") and len(text) > 1
        ref = _find(assets, text[1 if up else 0 : -1 if down else None])
        chosen.add(ref)
        if up:
            chosen |= _closure(ref, lambda r: set(assets[r].inputs.values()))
        if down:
            chosen |= _closure(ref, lambda r: readers[r])
    return chosen


def _closure(start: str, neighbours: Callable[[str], set[str]]) -> set[str]:
    seen: set[str] = set()
    todo = [start]
    while todo:
        for ref in neighbours(todo.pop()):
            if ref not in seen:
                seen.add(ref)
                todo.append(ref)
    return seen

