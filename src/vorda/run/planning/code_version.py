"""Code versions: what an asset's code reaches, read statically from source.

An asset's code version covers its own source and decorator metadata, and
the source of every top-level definition of the project's own modules that
it reaches through names, transitively: functions and classes (decorators
included), assignments (constants included) and whatever else binds a
reached name at module level. The upstream assets its decorator names in
``inputs=`` are not followed: they reach it through their values. Nothing is
imported or run: modules are found on the search path the way the import
system finds them and read with ``ast``, each once; what each definition
reaches is worked out once and shared by every asset that reaches it.

    project = Project([*path_dirs, os.getcwd()])          # search: sys.path
    version = code_version(project, "shop.clean", "clean_rows", source, metadata)
    version.digest   # 20 hex digits; today's own-code version when nothing else is reached
    version.covers   # {"clean_rows in shop/clean.py": hash, "LIMIT in shop/util.py": hash, ...}
    version.dynamic  # ["shop/plugins.py"]: modules included whole
    changed(old_covers, version)  # the labels whose definitions differ

Labels: ``NAMES in PATH`` for a statement (the names it binds, comma
separated; `` #2``, `` #3`` follow when several statements of a module bind
the same names), ``PATH`` alone for a module included whole. PATH is the
file relative to the project directory it lies under, with ``/``. The
asset's own entry holds its own-code version.

Conservative where the source does not say what a name is: a module is
included whole (listed in ``dynamic``, its statements followed) when it is
reached through ``getattr`` or ``import_module`` with a computed name, used
as a value, asked for an attribute it does not define, reads ``globals()``,
``exec``, ``eval`` or ``sys.modules``, uses a name it does not bind (a
``from x import *`` of a project module, names made at run time), or cannot
be parsed, and when an asset is not a top-level ``def`` of its module (made
by a factory, a lambda). A name bound by an ``if``, ``try``, ``for``,
``with`` or ``match`` at module level brings the whole statement; a name
changed at module level (``X.append(...)``, ``X[k] = ...``, ``global X`` in a
function) brings those statements too. Not seen: effects of calls made at
import time (a registry filled through a function), imports done only for
their side effects, string annotations.
"""

from __future__ import annotations

import ast
import builtins
import contextlib
import gc
import hashlib
import importlib.machinery
import importlib.util
import json
import os
import sys
import tempfile
from dataclasses import dataclass
from typing import Any, Iterable, Iterator, Mapping, NamedTuple, Sequence, Union

from vorda.run.store.keys import canonical
from vorda.run.store.layout import stat_text

_FORMAT = 1  # of the analyses the cache keeps
_BUILTINS = frozenset(dir(builtins))
# Set by the import system on every module: never user definitions.
_MODULE_NAMES = frozenset(
    {"__name__", "__file__", "__doc__", "__spec__", "__loader__", "__package__", "__path__", "__builtins__",
     "__cached__", "__annotations__"}
)
# Read the module's namespace by a name computed at run time.
_DYNAMIC_NAMES = frozenset({"globals", "exec", "eval"})
# At module level these also read the module's namespace.
_DYNAMIC_AT_TOP = _DYNAMIC_NAMES | {"locals", "vars"}
_ATTRIBUTE_CALLS = frozenset({"getattr", "hasattr", "setattr", "delattr"})
_SUFFIXES = (
    *importlib.machinery.EXTENSION_SUFFIXES,
    *importlib.machinery.SOURCE_SUFFIXES,
    *importlib.machinery.BYTECODE_SUFFIXES,
)


@contextlib.contextmanager
def _no_collection() -> Iterator[None]:
    """No garbage collection while building many objects that hold no
    cycles (a syntax tree, a decoded cache): a collection would walk them
    all in vain, and every object alive with them, again and again."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def _hash(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:20]


def own_version(function_source: str, decorator_metadata: Any) -> str:
    """The asset's own part: its source and decorator metadata."""
    return _hash(function_source + "\0" + canonical(decorator_metadata))


@dataclass(frozen=True)
class CodeVersion:
    digest: str
    covers: dict[str, str]  # label -> hash of that definition's source
    dynamic: list[str]  # labels of the modules included whole, sorted
    files: tuple[str, ...] = ()  # the project files it was read from
    own_label: str = ""  # its own entry in `covers`
    own_text: str | None = None  # the hash of its own definition's text, as the project's file has it


def changed(before: Mapping[str, str], after: CodeVersion) -> list[str]:
    """The labels whose definition differs between two versions' ``covers``
    (changed, newly reached or no longer reached), sorted."""
    labels = set(before) | set(after.covers)
    return sorted(label for label in labels if before.get(label) != after.covers.get(label))


# References a definition makes, resolved in its own module.
class _Name(NamedTuple):
    name: str
    attrs: tuple[str, ...]  # attributes read from it, in order; () when used as a value
    soft: bool  # a class-body name: need not be bound at module level


class _Import(NamedTuple):
    module: str  # absolute
    attr: str | None  # from module import attr
    attrs: tuple[str, ...]


class _Whole(NamedTuple):
    module: str | None  # None: the referring module


_Ref = Union[_Name, _Import, _Whole]
_Binding = Union[int, _Import]  # a statement of the module, or an import of a name


def _encode(ref: _Ref) -> list[Any]:
    if isinstance(ref, _Name):
        return ["n", ref.name, ref.attrs, ref.soft]
    if isinstance(ref, _Import):
        return ["i", ref.module, ref.attr, ref.attrs]
    return ["w", ref.module]


def _decode(data: list[Any]) -> _Ref:
    if data[0] == "n":
        return _Name(data[1], tuple(data[2]), data[3])
    if data[0] == "i":
        return _Import(data[1], data[2], tuple(data[3]))
    return _Whole(data[1])


class _Found(NamedTuple):
    path: str | None  # None: a namespace package
    portions: tuple[str, ...]  # where its submodules are; () for a plain module


class _Module:
    """One project module: its source, parsed once, what each top-level
    statement binds and refers to. The syntax tree is not kept: a tree per
    module would keep the garbage collector busy with every object in it."""

    def __init__(self, name: str, path: str | None, label: str, portions: tuple[str, ...],
                 cached: Any = None, keep: bool = False) -> None:
        self.name = name
        self.path = path
        self.label = label
        self.portions = portions
        self.package = name if portions else name.rpartition(".")[0]
        self.source: str | None = None
        self.parsed = False  # else included whole, when its text can be read
        self.count = 0  # top-level statements
        self.bindings: dict[str, list[_Binding]] = {}
        self.stars: list[str] = []
        self.labels: dict[int, str] = {}
        self.functions: dict[str, list[int]] = {}  # top-level defs by name
        self.entry: tuple[str, str] | None = None  # the cache's key and text of its analysis (`keep`)
        self.fresh = False  # parsed in this process, not taken from the cache
        self._spans: list[tuple[int, int]] = []
        self._refs: list[tuple[_Ref, ...]] = []
        self._asset_refs: dict[int, tuple[_Ref, ...]] = {}
        self._hashes: dict[int, str] = {}
        self._lines: list[str] = []
        self._walrus = False
        self.identity: str | None = None  # the file's, as it was read
        if path is None:
            return
        try:
            with open(path, "rb") as f:
                self.identity = stat_text(os.fstat(f.fileno()))
                data = f.read()
            self.source = importlib.util.decode_source(data)
        except (OSError, SyntaxError, ValueError, UnicodeDecodeError):
            return
        key = hashlib.sha256(f"{_FORMAT}\0{sys.version}\0{name}\0{label}\0{self.package}\0".encode()
                             + data).hexdigest() if keep else ""
        with _no_collection():
            if keep and isinstance(cached, list) and len(cached) == 2 and cached[0] == key:
                try:
                    self._restore(json.loads(cached[1]))
                    self.entry = (key, cached[1])
                    return
                except (KeyError, TypeError, ValueError, IndexError, AttributeError):
                    pass  # not as written: parsed again
            self._parse(path, self.source)
            self.fresh = True
            if keep:
                self.entry = (key, json.dumps(self._export(), separators=(",", ":")))

    def _parse(self, path: str, source: str) -> None:
        try:
            body = ast.parse(source, path).body
        except (SyntaxError, ValueError):
            return
        self.parsed = True
        self.count = len(body)
        self._walrus = ":=" in source
        names: dict[int, set[str]] = {}
        for index, stmt in enumerate(body):
            bound = names.setdefault(index, set())
            for name, binding in self._binds(stmt, index):
                self.bindings.setdefault(name, []).append(binding)
                if isinstance(binding, int):
                    bound.add(name)
            if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)):
                self.functions.setdefault(stmt.name, []).append(index)
        if "global" in source:
            self._global_binders(body, names)
        seen: dict[str, int] = {}
        for index, bound in names.items():
            if bound:
                base = f"{', '.join(sorted(bound))} in {self.label}"
                seen[base] = seen.get(base, 0) + 1
                self.labels[index] = base if seen[base] == 1 else f"{base} #{seen[base]}"
        self._spans = [_lines(stmt) for stmt in body]
        functions = {index for indexes in self.functions.values() for index in indexes}
        for index, stmt in enumerate(body):
            collector = _Collector(self, _inputs(stmt) if index in functions else frozenset())
            refs = collector.run(stmt)
            if collector.upstream:
                self._asset_refs[index] = refs
                refs = tuple(dict.fromkeys([*refs, *collector.upstream]))
            self._refs.append(refs)

    def _export(self) -> dict[str, Any]:
        def binding(b: _Binding) -> Any:
            return b if isinstance(b, int) else [b.module, b.attr]

        return {
            "parsed": self.parsed, "count": self.count, "stars": self.stars,
            "bindings": {name: [binding(b) for b in found] for name, found in self.bindings.items()},
            "labels": [[index, label] for index, label in self.labels.items()],
            "functions": self.functions, "spans": self._spans,
            "refs": [[_encode(ref) for ref in refs] for refs in self._refs],
            "asset_refs": [[index, [_encode(ref) for ref in refs]] for index, refs in self._asset_refs.items()],
        }

    def _restore(self, entry: Any) -> None:
        """Take the analysis from a cache entry (all of it, or nothing)."""
        bindings: dict[str, list[_Binding]] = {
            str(name): [b if isinstance(b, int) else _Import(str(b[0]), b[1] and str(b[1]), ()) for b in found]
            for name, found in entry["bindings"].items()
        }
        labels = {int(index): str(label) for index, label in entry["labels"]}
        functions = {str(name): [int(i) for i in found] for name, found in entry["functions"].items()}
        spans = [(int(first), int(last)) for first, last in entry["spans"]]
        refs = [tuple(_decode(ref) for ref in found) for found in entry["refs"]]
        asset_refs = {int(index): tuple(_decode(ref) for ref in found) for index, found in entry["asset_refs"]}
        count = int(entry["count"])
        if len(spans) != count or len(refs) != count:
            raise ValueError("statements missing")
        self.parsed, self.count, self.stars = bool(entry["parsed"]), count, [str(m) for m in entry["stars"]]
        self.bindings, self.labels, self.functions = bindings, labels, functions
        self._spans, self._refs, self._asset_refs = spans, refs, asset_refs

    def _binds(self, stmt: ast.stmt, index: int) -> Iterable[tuple[str, _Binding]]:
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            yield stmt.name, index
        elif isinstance(stmt, (ast.Import, ast.ImportFrom)):
            yield from self._imports(stmt)
        elif isinstance(stmt, (ast.Assign, ast.AnnAssign, ast.AugAssign, ast.Delete, ast.Expr)):
            targets: list[ast.expr]
            if isinstance(stmt, ast.Assign):
                targets = stmt.targets
            elif isinstance(stmt, (ast.AnnAssign, ast.AugAssign)):
                targets = [stmt.target]
            elif isinstance(stmt, ast.Delete):
                targets = stmt.targets
            else:  # X.append(...), X.update(...): changes X
                call = stmt.value
                targets = [call.func] if isinstance(call, ast.Call) and isinstance(call.func, ast.Attribute) else []
            for target in targets:
                for name in _target_names(target):
                    yield name, index
            if self._walrus:
                for node in ast.walk(stmt):
                    if isinstance(node, ast.NamedExpr) and isinstance(node.target, ast.Name):
                        yield node.target.id, index
        else:
            # if / try / for / with / match at module level: every name bound
            # anywhere inside is bound by the whole statement; the imports
            # inside are followed too.
            for node in ast.walk(stmt):
                if isinstance(node, ast.Name) and not isinstance(node.ctx, ast.Load):
                    yield node.id, index
                elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                    yield node.name, index
                elif isinstance(node, ast.ExceptHandler) and node.name:
                    yield node.name, index
                elif isinstance(node, (ast.MatchAs, ast.MatchStar)) and node.name:
                    yield node.name, index
                elif isinstance(node, ast.MatchMapping) and node.rest:
                    yield node.rest, index
                elif isinstance(node, (ast.Import, ast.ImportFrom)):
                    for name, binding in self._imports(node):
                        yield name, index
                        yield name, binding

    def _imports(self, stmt: ast.Import | ast.ImportFrom) -> Iterable[tuple[str, _Import]]:
        if isinstance(stmt, ast.Import):
            for alias in stmt.names:
                if alias.asname:
                    yield alias.asname, _Import(alias.name, None, ())
                else:
                    top = alias.name.partition(".")[0]
                    yield top, _Import(top, None, ())
            return
        module = _absolute(self.package, stmt.level, stmt.module)
        if module is None:
            return
        for alias in stmt.names:
            if alias.name == "*":
                self.stars.append(module)
            else:
                yield alias.asname or alias.name, _Import(module, alias.name, ())

    def _global_binders(self, body: list[ast.stmt], names: dict[int, set[str]]) -> None:
        """A function that declares a name global binds it too."""
        for index, stmt in enumerate(body):
            if not isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                continue
            declared = {name for node in ast.walk(stmt) if isinstance(node, ast.Global) for name in node.names}
            for name in sorted(declared):
                self.bindings.setdefault(name, []).append(index)
                names[index].add(name)

    def source_of(self, index: int) -> str:
        """A top-level statement's lines, decorators included."""
        assert self.source is not None
        if not self._lines:
            self._lines = self.source.splitlines(keepends=True)
        first, last = self._spans[index]
        return "".join(self._lines[first - 1 : last])

    def hash_of(self, index: int) -> str:
        found = self._hashes.get(index)
        if found is None:
            found = self._hashes[index] = _hash(self.source_of(index))
        return found

    def refs(self, index: int, as_asset: bool = False) -> tuple[_Ref, ...]:
        """What a top-level statement refers to; as an asset, without the
        upstream assets its decorator names as inputs."""
        return self._asset_refs.get(index, self._refs[index]) if as_asset else self._refs[index]


def _lines(stmt: ast.stmt) -> tuple[int, int]:
    """A statement's first and last line, decorators included."""
    first = stmt.lineno
    if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)) and stmt.decorator_list:
        first = min(first, *(d.lineno for d in stmt.decorator_list))
    return first, stmt.end_lineno or stmt.lineno


def _target_names(target: ast.expr) -> Iterable[str]:
    """Names an assignment target binds or changes (X, X[k], X.a, (X, Y))."""
    while isinstance(target, (ast.Attribute, ast.Subscript, ast.Starred)):
        target = target.value
    if isinstance(target, ast.Name):
        yield target.id
    elif isinstance(target, (ast.Tuple, ast.List)):
        for element in target.elts:
            yield from _target_names(element)


def _absolute(package: str, level: int, module: str | None) -> str | None:
    if level == 0:
        return module
    parts = package.split(".") if package else []
    if level - 1 > len(parts) or (level - 1 == len(parts) and not module):
        return None
    base = parts[: len(parts) - (level - 1)]
    if module:
        base.append(module)
    return ".".join(base) or None


def _inputs(stmt: ast.stmt) -> frozenset[int]:
    """The upstream assets an asset's decorator names in ``inputs=``
    (names, attributes of names): data, whose changes reach the asset
    through their values, not its code."""
    found: set[int] = set()
    for decorator in getattr(stmt, "decorator_list", ()):
        if not isinstance(decorator, ast.Call):
            continue
        for keyword in decorator.keywords:
            if keyword.arg == "inputs" and isinstance(keyword.value, ast.Dict):
                for value in keyword.value.values:
                    if _chain(value)[0]:
                        found.add(id(value))
    return frozenset(found)


def _chain(node: ast.expr) -> tuple[str, tuple[str, ...]]:
    """`a.b.c` as ("a", ("b", "c")); ("", ()) for other expressions."""
    attrs: list[str] = []
    while isinstance(node, ast.Attribute):
        attrs.append(node.attr)
        node = node.value
    return (node.id, tuple(reversed(attrs))) if isinstance(node, ast.Name) else ("", ())


def _literal(node: ast.expr | None) -> str | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    return None


_FUNCTION, _CLASS, _COMPREHENSION = 0, 1, 2  # scopes
# What the collector does with each kind of node.
_OTHER, _NAME, _ATTRIBUTE, _SKIP, _CALL, _FUNCTION_DEF, _CLASS_DEF, _COMPREHENSION_EXPR, _WALRUS, _GLOBAL, \
    _IMPORT, _BINDS = range(12)
_KINDS: dict[type, int] = {
    ast.Name: _NAME, ast.Attribute: _ATTRIBUTE, ast.Constant: _SKIP, ast.Call: _CALL,
    ast.FunctionDef: _FUNCTION_DEF, ast.AsyncFunctionDef: _FUNCTION_DEF, ast.Lambda: _FUNCTION_DEF,
    ast.ClassDef: _CLASS_DEF, ast.ListComp: _COMPREHENSION_EXPR, ast.SetComp: _COMPREHENSION_EXPR,
    ast.DictComp: _COMPREHENSION_EXPR, ast.GeneratorExp: _COMPREHENSION_EXPR, ast.NamedExpr: _WALRUS,
    ast.Global: _GLOBAL, ast.Nonlocal: _GLOBAL, ast.Import: _IMPORT, ast.ImportFrom: _IMPORT,
    ast.ExceptHandler: _BINDS, ast.MatchAs: _BINDS, ast.MatchStar: _BINDS, ast.MatchMapping: _BINDS,
}
_NOT_NAMES = frozenset({"ctx", "op", "ops", "type_comment"})  # fields that never hold a name
_FIELDS: dict[type, tuple[str, ...]] = {}


class _Scope:
    """A function, class or comprehension scope opened inside a statement."""

    __slots__ = ("parent", "kind", "bound", "declared", "loads")

    def __init__(self, parent: _Scope | None, kind: int) -> None:
        self.parent = parent
        self.kind = kind
        self.bound: set[str] = set()
        self.declared: set[str] = set()  # global
        self.loads: list[tuple[str, tuple[str, ...]]] = []

    def binder(self) -> _Scope:
        """Where an assignment expression binds: not in a comprehension."""
        scope = self
        while scope.kind == _COMPREHENSION and scope.parent is not None:
            scope = scope.parent
        return scope

    def reads_module(self, name: str) -> bool | None:
        """Whether a name read here comes from the module (None: it may be
        the class body's own, which falls back to the module)."""
        if name in self.declared:
            return True
        if name in self.bound:
            return None if self.kind == _CLASS else False
        scope = self.parent
        while scope is not None:
            if scope.kind != _CLASS:  # inner scopes do not see class bodies
                if name in scope.declared:
                    return True
                if name in scope.bound:
                    return False
            scope = scope.parent
        return True


class _Collector:
    """The references of one top-level statement: the names it reads from
    its module (a name read inside a function counts only when that function
    does not bind it), the attributes read from them, imports made inside
    functions, and reads that no name tells (getattr with a computed name,
    globals(), exec...)."""

    def __init__(self, module: _Module, inputs: frozenset[int]) -> None:
        self.module = module
        self.inputs = inputs  # the upstream assets an asset's decorator names: kept apart
        self.upstream: list[_Ref] = []
        self.refs: list[_Ref] = []
        self.scopes: list[_Scope] = []
        self.imports: dict[str, list[_Import]] = {}  # made inside functions

    def run(self, stmt: ast.stmt) -> tuple[_Ref, ...]:
        inputs = self.inputs
        kinds = _KINDS
        top: list[tuple[str, tuple[str, ...]]] = []  # read at module level
        pending: list[tuple[list[Any], _Scope | None]] = [([stmt], None)]
        while pending:
            stack, scope = pending.pop()
            loads = top if scope is None else scope.loads
            bound = None if scope is None else scope.bound
            push = stack.append
            while stack:
                node = stack.pop()
                if inputs and id(node) in inputs:
                    name, attrs = _chain(node)
                    self.upstream.append(_Name(name, attrs, False))
                    continue
                cls = node.__class__
                kind = kinds.get(cls, _OTHER)
                if kind == _NAME:
                    if node.ctx.__class__ is ast.Load:
                        loads.append((node.id, ()))
                    elif bound is not None:
                        bound.add(node.id)
                elif kind == _ATTRIBUTE:
                    chain = [node.attr]
                    base = node.value
                    while base.__class__ is ast.Attribute:
                        chain.append(base.attr)
                        base = base.value
                    if base.__class__ is ast.Name:
                        chain.reverse()
                        if base.id == "sys" and chain[0] == "modules":
                            self.refs.append(_Whole(None))
                        loads.append((base.id, tuple(chain)))
                    else:
                        push(base)
                elif kind == _SKIP:
                    continue
                elif kind == _CALL:
                    stack += self._call(node, loads)
                elif kind == _FUNCTION_DEF:
                    stack += self._function(node, scope, pending)
                elif kind == _CLASS_DEF:
                    if bound is not None:
                        bound.add(node.name)
                    stack += node.decorator_list
                    stack += node.bases
                    stack += node.keywords
                    pending.append((list(node.body), self._open(scope, _CLASS)))
                elif kind == _COMPREHENSION_EXPR:
                    generators = node.generators
                    push(generators[0].iter)  # evaluated where the comprehension is
                    inner: list[Any] = [generators[0].target, *generators[0].ifs]
                    for generator in generators[1:]:
                        inner += [generator.target, generator.iter, *generator.ifs]
                    inner += [node.key, node.value] if cls is ast.DictComp else [node.elt]
                    pending.append((inner, self._open(scope, _COMPREHENSION)))
                elif kind == _WALRUS:
                    if scope is not None:
                        scope.binder().bound.add(node.target.id)
                    push(node.value)
                elif kind == _GLOBAL:
                    if scope is not None:
                        (scope.declared if cls is ast.Global else scope.bound).update(node.names)
                elif kind == _IMPORT:
                    if scope is not None:  # module-level imports are the module's bindings
                        for name, binding in self.module._imports(node):
                            scope.bound.add(name)
                            self.imports.setdefault(name, []).append(binding)
                else:
                    if kind == _BINDS and bound is not None:  # except ... as name, match captures
                        captured = getattr(node, "name", None) or getattr(node, "rest", None)
                        if captured:
                            bound.add(captured)
                    fields = _FIELDS.get(cls)
                    if fields is None:
                        fields = _FIELDS[cls] = tuple(f for f in cls._fields if f not in _NOT_NAMES)
                    for field in fields:
                        value = getattr(node, field, None)
                        if value.__class__ is list:
                            for child in value:
                                if isinstance(child, ast.AST):
                                    push(child)
                        elif isinstance(value, ast.AST):
                            push(value)
        for name, attrs in top:
            self._module_read(name, attrs, False, _DYNAMIC_AT_TOP)
        local: list[tuple[str, tuple[str, ...]]] = []
        for scope in self.scopes:
            for name, attrs in scope.loads:
                reads = scope.reads_module(name)
                if reads is False:
                    local.append((name, attrs))
                else:
                    self._module_read(name, attrs, reads is None, _DYNAMIC_NAMES)
        for name, attrs in local:
            for binding in self.imports.get(name, ()):
                self.refs.append(binding._replace(attrs=attrs))
        return tuple(dict.fromkeys(self.refs))

    def _open(self, parent: _Scope | None, kind: int) -> _Scope:
        scope = _Scope(parent, kind)
        self.scopes.append(scope)
        return scope

    def _module_read(self, name: str, attrs: tuple[str, ...], soft: bool, dynamic: frozenset[str]) -> None:
        if name in dynamic and not attrs and name not in self.module.bindings:
            self.refs.append(_Whole(None))
        self.refs.append(_Name(name, attrs, soft))

    def _function(self, node: ast.FunctionDef | ast.AsyncFunctionDef | ast.Lambda, scope: _Scope | None,
                  pending: list[tuple[list[Any], _Scope | None]]) -> list[ast.AST]:
        """Its body, to read in a scope of its own; then its defaults,
        decorators and annotations, read where it is defined."""
        args = node.args
        every = [*args.posonlyargs, *args.args, *args.kwonlyargs]
        if args.vararg is not None:
            every.append(args.vararg)
        if args.kwarg is not None:
            every.append(args.kwarg)
        inner = self._open(scope, _FUNCTION)
        inner.bound.update(a.arg for a in every)
        outside: list[ast.AST] = [*args.defaults, *(d for d in args.kw_defaults if d is not None)]
        if isinstance(node, ast.Lambda):
            pending.append(([node.body], inner))
            return outside
        pending.append((list(node.body), inner))
        if scope is not None:
            scope.bound.add(node.name)
        outside += node.decorator_list
        outside += [a.annotation for a in every if a.annotation is not None]
        if node.returns is not None:
            outside.append(node.returns)
        return outside

    def _call(self, node: ast.Call, loads: list[tuple[str, tuple[str, ...]]]) -> list[ast.AST]:
        func = node.func
        args = node.args
        if isinstance(func, ast.Name) and func.id in _ATTRIBUTE_CALLS and len(args) >= 2 \
                and isinstance(args[0], ast.Name):
            attr = _literal(args[1])
            # With a computed attribute, the whole object: for a module, the whole module.
            loads.append((args[0].id, () if attr is None else (attr,)))
            return [*args[1:], *node.keywords]
        called = func.id if isinstance(func, ast.Name) else func.attr if isinstance(func, ast.Attribute) else ""
        if called in ("import_module", "__import__"):
            target = _literal(args[0]) if args else None
            self.refs.append(_Whole(None if target is None or target.startswith(".") else target))
        return [func, *args, *node.keywords]


class Project:
    """The project's own modules: those found on the search path whose file
    lies under one of `roots` (the --path directories and the working
    directory) and not under the interpreter's prefixes or a site-packages
    directory. `search` is the module search path in import order (default:
    this process's sys.path, which in the discovery process is the runner's
    search path). Each module is found and parsed once.

    `cache`, a file (created by `save`), keeps each module's analysis from
    one run to the next, under the hash of its source text: a module whose
    text is unchanged is not parsed again. A cache that cannot be read is
    ignored."""

    def __init__(self, roots: Iterable[str], search: Sequence[str] | None = None, cache: str | None = None) -> None:
        self.cache = cache
        self._cached = _read_cache(cache) if cache is not None else {}
        given = list(roots)
        self.roots = sorted({os.path.realpath(r) for r in given}, key=len, reverse=True)
        dirs = sys.path if search is None else search
        self.search = tuple(dict.fromkeys(os.path.abspath(d or os.curdir) for d in dirs))
        prefixes = {sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix}
        self._excluded = tuple(os.path.realpath(p) for p in prefixes if p)
        self._located: dict[str, _Found | None] = {}
        self._modules: dict[str, _Module | None] = {}
        # Each file read, as it was first seen: what a job's imports must still find.
        self.seen: dict[str, str] = {}
        self._entries: dict[str, frozenset[str]] = {}
        self._reach = _Reach(self)

    def label(self, path: str) -> str | None:
        """The file's path relative to the project directory it lies under,
        None when it is not the project's."""
        real = os.path.realpath(path)
        for prefix in self._excluded:
            if _under(real, prefix):
                return None
        parts = real.split(os.sep)
        if "site-packages" in parts or "dist-packages" in parts:
            return None
        for root in self.roots:
            if _under(real, root):
                return os.path.relpath(real, root).replace(os.sep, "/")
        return None

    def note(self, names: Iterable[str]) -> None:
        """Take the files of these modules as they are before another process
        reads them: one edited meanwhile then no longer matches."""
        for name in names:
            where = self._locate(name)
            if where is not None and where.path is not None:
                try:
                    self.seen.setdefault(where.path, stat_text(os.stat(where.path)))
                except OSError:
                    pass  # reading it says what is wrong

    def prepare(self, names: Iterable[str]) -> None:
        """Parse the named modules and the project modules they import, at
        any depth, ahead of `code_version` (in a process that would
        otherwise wait, while another imports them)."""
        todo = list(names)
        while todo:
            name = todo.pop()
            if name in self._modules:
                continue
            module = self.module(name)
            if module is None:
                continue
            for bindings in module.bindings.values():
                for binding in bindings:
                    if not isinstance(binding, int):
                        todo.append(binding.module)
                        if binding.attr is not None:
                            todo.append(f"{binding.module}.{binding.attr}")
            todo += module.stars
            todo += [ref.module for refs in module._refs for ref in refs if isinstance(ref, _Import)]

    def save(self) -> bool:
        """Write the cache file when a module was parsed in this process: the
        analyses it had, those of this process replacing theirs. Written
        whole or not at all (a temporary file renamed over it); False when
        it could not be written."""
        modules = [m for m in self._modules.values() if m is not None and m.entry is not None]
        if self.cache is None or not any(m.fresh for m in modules):
            return True
        entries: dict[str, Any] = dict(self._cached)
        entries.update((m.name, list(m.entry)) for m in modules if m.entry is not None)
        text = json.dumps({"format": _FORMAT, "python": sys.version, "modules": entries}, separators=(",", ":"))
        body = text.encode("utf-8", "surrogatepass")
        try:
            fd, tmp = tempfile.mkstemp(prefix=".code-versions-", dir=os.path.dirname(os.path.abspath(self.cache)))
        except OSError:
            return False
        try:
            with os.fdopen(fd, "wb") as out:
                out.write(hashlib.sha256(body).hexdigest().encode() + b"\n" + body)
            os.replace(tmp, self.cache)
        except BaseException as error:
            os.unlink(tmp)
            if isinstance(error, OSError):
                return False
            raise
        return True

    def source_file(self, name: str) -> str | None:
        """The source file of a project module, None for any other module."""
        module = self.module(name)
        return module.path if module is not None else None

    def module(self, name: str) -> _Module | None:
        if name in self._modules:
            return self._modules[name]
        found: _Module | None = None
        where = self._locate(name)
        if where is not None:
            if where.path is None:  # namespace package: the project's if one portion is
                labels = [self.label(p) for p in where.portions]
                if any(label is not None for label in labels):
                    found = _Module(name, None, next(lb for lb in labels if lb is not None), where.portions)
            elif where.path.endswith(tuple(importlib.machinery.SOURCE_SUFFIXES)):
                label = self.label(where.path)
                if label is not None:
                    found = _Module(name, where.path, label, where.portions, self._cached.get(name),
                                    keep=self.cache is not None)
                    if found.identity is not None:
                        self.seen.setdefault(where.path, found.identity)
        self._modules[name] = found
        return found

    def _locate(self, name: str) -> _Found | None:
        """Where the import system would find a module, without importing it."""
        if name in self._located:
            return self._located[name]
        where: _Found | None = None
        parent, _, last = name.rpartition(".")
        if not parent:
            builtin = name in sys.builtin_module_names
            frozen = importlib.machinery.FrozenImporter.find_spec(name) is not None
            dirs: Sequence[str] = () if builtin or frozen else self.search
        else:
            outer = self._locate(parent)
            dirs = outer.portions if outer is not None else ()
        namespace: list[str] = []
        for folder in dirs:
            entries = self._listing(folder)
            base = os.path.join(folder, last)
            if last in entries and os.path.isdir(base):
                inits = [os.path.join(base, "__init__" + s) for s in _SUFFIXES]
                init = next((i for i in inits if os.path.isfile(i)), None)
                if init is not None:
                    where = _Found(init, (base,))
                    break
                namespace.append(base)
            module = next((last + s for s in _SUFFIXES if last + s in entries), None)
            if module is not None:
                where = _Found(os.path.join(folder, module), ())
                break
        if where is None and namespace:
            where = _Found(None, tuple(namespace))
        self._located[name] = where
        return where

    def _listing(self, folder: str) -> frozenset[str]:
        found = self._entries.get(folder)
        if found is None:
            try:
                found = frozenset(os.listdir(folder))
            except OSError:
                found = frozenset()
            self._entries[folder] = found
        return found


def _read_cache(path: str) -> dict[str, Any]:
    """The analyses a cache file holds by module name, each as its key and
    its text (decoded only when used: decoded, all of them would stay alive
    and slow every garbage collection down); none when the file is missing,
    a link, damaged, or made by another format or interpreter."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
        with os.fdopen(fd, "rb") as f:
            checksum, _, body = f.read().partition(b"\n")
        if hashlib.sha256(body).hexdigest().encode() != checksum:
            return {}
        with _no_collection():
            data = json.loads(body)
    except (OSError, ValueError):
        return {}
    if not isinstance(data, dict) or data.get("format") != _FORMAT or data.get("python") != sys.version:
        return {}
    modules = data.get("modules")
    return modules if isinstance(modules, dict) else {}


def _under(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


_Node = tuple[str, int]  # (module name, statement index); index -1: the whole module
_WHOLE = -1


class _Reach:
    """What each statement (or whole module) reaches, transitively: the
    statements and whole modules its references resolve to, and theirs.
    Worked out once per node and shared by every asset (strongly connected
    components together, so that cycles are one set)."""

    def __init__(self, project: Project) -> None:
        self.project = project
        self._edges: dict[_Node, tuple[_Node, ...]] = {}
        self._asset_edges: dict[_Node, tuple[_Node, ...]] = {}
        self._reach: dict[_Node, frozenset[_Node]] = {}
        self._covers: dict[_Node, tuple[str, str]] = {}

    def edges(self, node: _Node, as_asset: bool = False) -> tuple[_Node, ...]:
        """The nodes a node's references stand for (for an asset's own
        statement, as an asset: without the upstream assets it reads)."""
        edges = self._asset_edges if as_asset else self._edges
        found = edges.get(node)
        if found is None:
            name, index = node
            module = self.project.module(name)
            out: list[_Node] = []
            if module is None:
                pass
            elif index == _WHOLE:
                out += [(name, i) for i in range(module.count)]
            else:
                for ref in module.refs(index, as_asset):
                    self.resolve(module, ref, out)
            found = edges[node] = tuple(dict.fromkeys(out))
        return found

    def cover(self, node: _Node) -> tuple[str, str]:
        """A node's label and the hash of its source."""
        found = self._covers.get(node)
        if found is None:
            name, index = node
            module = self.project.module(name)
            assert module is not None
            if index == _WHOLE:
                found = (module.label, _hash(module.source or ""))
            else:
                found = (module.labels[index], module.hash_of(index))
            self._covers[node] = found
        return found

    def resolve(self, module: _Module, ref: _Ref, out: list[_Node]) -> None:
        """The nodes a reference of `module` stands for."""
        if isinstance(ref, _Name):
            self._name(module, ref.name, ref.attrs, ref.soft, out, set())
        elif isinstance(ref, _Import):
            self._imported(ref, out, set())
        else:
            target = module if ref.module is None else self.project.module(ref.module)
            if target is not None and target.path is not None:
                out.append((target.name, _WHOLE))

    def _name(self, module: _Module, name: str, attrs: tuple[str, ...], soft: bool, out: list[_Node],
              seen: set[tuple[str, str]]) -> None:
        if (module.name, name) in seen:  # modules importing a name from each other
            return
        seen.add((module.name, name))
        bindings = module.bindings.get(name)
        if bindings is None:
            if soft or name in _BUILTINS or name in _MODULE_NAMES or module.path is None:
                return
            stars = [self.project.module(star) for star in module.stars]
            out += [(star.name, _WHOLE) for star in stars if star is not None]
            if not stars:
                out.append((module.name, _WHOLE))  # bound at run time, or nowhere
            return
        for binding in bindings:
            if isinstance(binding, int):
                out.append((module.name, binding))
            else:
                self._imported(binding._replace(attrs=attrs), out, seen)

    def _imported(self, ref: _Import, out: list[_Node], seen: set[tuple[str, str]]) -> None:
        module = self.project.module(ref.module)
        if module is None:
            return  # the standard library, an installed package
        if ref.attr is None:
            if ref.attrs:
                self._imported(_Import(ref.module, ref.attrs[0], ref.attrs[1:]), out, seen)
            elif module.path is not None:
                out.append((module.name, _WHOLE))  # the module as a value
            return
        if ref.attr not in module.bindings:
            sub = f"{ref.module}.{ref.attr}"
            if self.project.module(sub) is not None:
                self._imported(_Import(sub, None, ref.attrs), out, seen)
                return
        self._name(module, ref.attr, ref.attrs, False, out, seen)

    def reach(self, start: _Node) -> frozenset[_Node]:
        """`start` and every node it reaches (Tarjan's components, iteratively)."""
        done = self._reach
        if start in done:
            return done[start]
        order: dict[_Node, int] = {start: 0}
        low: dict[_Node, int] = {start: 0}
        stack = [start]
        on_stack = {start}
        work = [(start, iter(self.edges(start)))]
        while work:
            node, successors = work[-1]
            for nxt in successors:
                if nxt in done:
                    continue
                if nxt not in order:
                    order[nxt] = low[nxt] = len(order)
                    stack.append(nxt)
                    on_stack.add(nxt)
                    work.append((nxt, iter(self.edges(nxt))))
                    break
                if nxt in on_stack:
                    low[node] = min(low[node], order[nxt])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == order[node]:
                    members: set[_Node] = set()
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        members.add(member)
                        if member == node:
                            break
                    reached = set(members)
                    for member in members:
                        for nxt in self.edges(member):
                            if nxt not in members:
                                reached |= done[nxt]
                    frozen = frozenset(reached)
                    for member in members:
                        done[member] = frozen
        return done[start]


def _defining(project: Project, module_name: str, function_name: str) -> _Module | None:
    """The module that defines the function: `module_name`, or the module
    it imports the function from (at any depth)."""
    module = project.module(module_name)
    seen: set[str] = set()
    while module is not None and function_name not in module.functions and module.name not in seen:
        seen.add(module.name)
        imported = [b for b in module.bindings.get(function_name, []) if not isinstance(b, int)]
        if len(imported) != 1 or imported[0].attr != function_name:
            break
        source = project.module(imported[0].module)
        if source is None or source.path is None:
            break
        module = source
    return module


def code_version(project: Project, module_name: str, function_name: str, function_source: str,
                 decorator_metadata: Any) -> CodeVersion:
    """The code version of the asset function named `function_name` (its
    ``__name__``) of module `module_name` (its ``__module__``; a module that
    imports it from another is followed there), whose source and decorator
    metadata are those discovery reports.

    An asset that is not a top-level ``def`` of that module covers the
    whole module; one outside the project, its own code alone."""
    with _no_collection():  # what it builds holds no cycles
        return _code_version(project, module_name, function_name, function_source, decorator_metadata)


def _code_version(project: Project, module_name: str, function_name: str, function_source: str,
                  decorator_metadata: Any) -> CodeVersion:
    own = own_version(function_source, decorator_metadata)
    module = _defining(project, module_name, function_name)
    if module is None or module.path is None:  # not the project's: its own code only
        return CodeVersion(own, {f"{function_name} in {module_name}": own}, [])
    reach = project._reach
    roots = module.functions.get(function_name, [])
    reached: set[_Node] = set()
    for index in roots:
        reached.add((module.name, index))
        for node in reach.edges((module.name, index), as_asset=True):
            reached |= reach.reach(node)
    if not roots:  # made by a factory, a lambda: where from is not read
        reached |= reach.reach((module.name, _WHOLE))
    whole = {name for name, index in reached if index == _WHOLE}
    own_node = (module.name, roots[0]) if roots else None
    own_label = module.labels[roots[0]] if roots else f"{function_name} in {module.label}"
    covers = {own_label: own}
    for node in reached:
        if node != own_node and (node[1] == _WHOLE or node[0] not in whole):
            label, value = reach.cover(node)
            covers[label] = value
    items = sorted(covers.items())
    if len(items) == 1:
        digest = own  # nothing reached: the version of its own code alone
    else:
        digest = _hash("".join(f"{label}\0{value}\n" for label, value in items))
    files = {module.path} | {found.path for found in map(project.module, {name for name, _ in reached})
                             if found is not None and found.path is not None}
    return CodeVersion(digest, dict(items), sorted(reach.cover((name, _WHOLE))[0] for name in whole),
                       tuple(sorted(files)), own_label, module.hash_of(roots[0]) if roots else None)


def same_code(project: Project, module_name: str, function_name: str, before: CodeVersion) -> bool:
    """Whether the project's files, as `project` reads them now, still give
    the code version `before` was (its own definition's text included)."""
    now = code_version(project, module_name, function_name, "", None)
    if (now.own_label, now.own_text) != (before.own_label, before.own_text):
        return False
    return {k: v for k, v in now.covers.items() if k != now.own_label} == \
        {k: v for k, v in before.covers.items() if k != before.own_label}
