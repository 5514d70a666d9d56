"""Code versions: what an asset's code reaches, read statically from source.

An asset's code version covers its own source and decorator metadata, and
the source of every top-level definition of the project's own modules that
it reaches through names, transitively: functions and classes (decorators
included), assignments (constants included) and whatever else binds a
reached name at module level. Nothing is imported or run: modules are found
on the search path the way the import system finds them, and read with
``ast`` and ``symtable``.

    project = Project(roots=[*path_dirs, os.getcwd()])
    version = code_version(project, "shop.clean", "clean_rows", source, metadata)
    version.digest   # 20 hex digits
    version.covers   # {"clean_rows in shop/clean.py": hash, "limit in shop/util.py": hash, ...}
    version.dynamic  # ["shop/plugins.py"]: modules included whole

Labels: ``NAMES in PATH`` for a statement (NAMES are the names it binds,
comma-separated; ``#2``, ``#3`` follow when several statements of a module
bind the same names), ``PATH`` alone for a module included whole. PATH is
the file relative to the project directory it lies under, with ``/``.

Conservative where the source does not say what a name is: a module is
included whole (listed in ``dynamic``, its statements followed) when it is
reached through ``getattr`` or ``import_module`` with a computed name, used
as a value, asked for an attribute it does not define, reads ``globals()``,
``exec``, ``eval`` or ``sys.modules``, uses a name it does not bind (a
``from x import *`` of a project module, names made at run time), or cannot
be parsed, and when an asset is not a top-level ``def`` of its module
(made by a factory, a lambda). Not seen: effects of calls made at import
time (a registry filled by a decorator defined elsewhere), imports done only
for their side effects, string annotations.
"""

from __future__ import annotations

import ast
import bisect
import builtins
import hashlib
import importlib.machinery
import importlib.util
import os
import symtable
import sys
from dataclasses import dataclass
from typing import Any, Iterable, Mapping, NamedTuple, Sequence, Union

from vorda.run.store.keys import canonical

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
_SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda, ast.ListComp, ast.SetComp,
           ast.DictComp, ast.GeneratorExp)


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


class _Spec(NamedTuple):
    path: str | None  # None: a namespace package
    portions: tuple[str, ...]  # where its submodules are; () for a plain module


class _Module:
    """One project module: its source, parsed once, and what it binds."""

    def __init__(self, name: str, path: str | None, label: str, portions: tuple[str, ...]) -> None:
        self.name = name
        self.path = path
        self.label = label
        self.portions = portions
        self.package = name if portions else name.rpartition(".")[0]
        self.source: str | None = None
        self.tree: ast.Module | None = None
        self.bindings: dict[str, list[_Binding]] = {}
        self.stars: list[str] = []
        self.labels: dict[int, str] = {}
        self._lines: list[str] = []
        self._walrus = False
        self._tables: list[symtable.SymbolTable] | None = None
        self._table_lines: list[int] = []  # [-1]: its scopes could not be read
        self._refs: dict[int, tuple[_Ref, ...]] = {}
        self._hashes: dict[int, str] = {}
        if path is not None:
            self._parse(path)

    def _parse(self, path: str) -> None:
        try:
            with open(path, "rb") as f:
                self.source = importlib.util.decode_source(f.read())
            self.tree = ast.parse(self.source, path)
        except (OSError, SyntaxError, ValueError, UnicodeDecodeError):
            self.tree = None  # included whole, when its text can be read
            return
        self._lines = self.source.splitlines(keepends=True)
        self._walrus = ":=" in self.source
        names: dict[int, set[str]] = {}
        for index, stmt in enumerate(self.tree.body):
            bound = names.setdefault(index, set())
            for name, binding in self._binds(stmt, index):
                self.bindings.setdefault(name, []).append(binding)
                if isinstance(binding, int):
                    bound.add(name)
        if "global" in self.source:
            self._global_binders(names)
        seen: dict[str, int] = {}
        for index, bound in names.items():
            if bound:
                base = f"{', '.join(sorted(bound))} in {self.label}"
                seen[base] = seen.get(base, 0) + 1
                self.labels[index] = base if seen[base] == 1 else f"{base} #{seen[base]}"

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

    def _global_binders(self, names: dict[int, set[str]]) -> None:
        """A function that declares a name global and assigns it binds it too."""
        assert self.tree is not None
        for index, stmt in enumerate(self.tree.body):
            if not isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                continue
            declared = {name for node in ast.walk(stmt) if isinstance(node, ast.Global) for name in node.names}
            for name in sorted(declared):
                self.bindings.setdefault(name, []).append(index)
                names[index].add(name)

    def source_of(self, index: int) -> str:
        """A top-level statement's lines, decorators included."""
        assert self.tree is not None
        first, last = _lines(self.tree.body[index])
        return "".join(self._lines[first - 1 : last])

    def hash_of(self, index: int) -> str:
        found = self._hashes.get(index)
        if found is None:
            found = self._hashes[index] = _hash(self.source_of(index))
        return found

    def refs(self, index: int, skip: frozenset[int] = frozenset()) -> tuple[_Ref, ...]:
        """What a top-level statement refers to (cached; `skip`: ids of
        expressions not to follow)."""
        if skip:
            return self._collect(index, skip)
        found = self._refs.get(index)
        if found is None:
            found = self._refs[index] = self._collect(index, skip)
        return found

    def _collect(self, index: int, skip: frozenset[int]) -> tuple[_Ref, ...]:
        assert self.tree is not None and self.source is not None
        stmt = self.tree.body[index]
        hard, soft = self._scope_names(*_lines(stmt))
        return _Collector(self, hard, soft, skip).run(stmt)

    def _scope_names(self, first: int, last: int) -> tuple[frozenset[str] | None, frozenset[str]]:
        """The names that the function, class, lambda and comprehension
        scopes opened between two lines read from the module (None: every
        name, when the module's scopes cannot be read) and the names class
        bodies read, which may be their own."""
        if self._tables is None:
            try:
                top = symtable.symtable(self.source or "", self.path or "", "exec")
                self._tables = sorted(top.get_children(), key=lambda t: t.get_lineno())
            except (SyntaxError, ValueError):
                self._tables = []
                self._table_lines = [-1]
            else:
                self._table_lines = [t.get_lineno() for t in self._tables]
        if self._table_lines == [-1]:
            return None, frozenset()
        hard: set[str] = set()
        soft: set[str] = set()
        lines = self._table_lines
        stack = self._tables[bisect.bisect_left(lines, first) : bisect.bisect_right(lines, last)]
        while stack:
            table = stack.pop()
            stack.extend(table.get_children())
            is_class = table.get_type() == "class"
            for symbol in table.get_symbols():
                if symbol.is_global():
                    hard.add(symbol.get_name())
                elif is_class and symbol.is_referenced():
                    soft.add(symbol.get_name())
        return frozenset(hard), frozenset(soft)


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


def _literal(node: ast.expr | None) -> str | None:
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    return None


class _Collector:
    """The references of one top-level statement. Names read in the scopes
    it opens (function bodies, ...) count only when those scopes read them
    from the module; imports made inside them are followed."""

    def __init__(self, module: _Module, hard: frozenset[str] | None, soft: frozenset[str],
                 skip: frozenset[int]) -> None:
        self.module = module
        self.hard = hard
        self.soft = soft
        self.skip = skip
        self.refs: list[_Ref] = []
        self.local: list[tuple[str, tuple[str, ...]]] = []  # names local to an inner scope
        self.imports: dict[str, list[_Import]] = {}  # imports made in inner scopes

    def run(self, stmt: ast.stmt) -> tuple[_Ref, ...]:
        stack: list[tuple[ast.AST, bool]] = [(stmt, False)]
        while stack:
            node, inner = stack.pop()
            if id(node) in self.skip:
                continue
            if isinstance(node, _SCOPES):
                stack.extend(self._scope(node, inner))
            elif isinstance(node, ast.Name):
                self._name(node.id, (), inner)
            elif isinstance(node, ast.Attribute):
                attrs: list[str] = []
                base: ast.expr = node
                while isinstance(base, ast.Attribute):
                    attrs.append(base.attr)
                    base = base.value
                if isinstance(base, ast.Name):
                    attrs.reverse()
                    if base.id == "sys" and attrs[0] == "modules":
                        self.refs.append(_Whole(None))
                    self._name(base.id, tuple(attrs), inner)
                else:
                    stack.append((base, inner))
            elif isinstance(node, ast.Call):
                stack.extend((child, inner) for child in self._call(node, inner))
            elif isinstance(node, (ast.Import, ast.ImportFrom)):
                if inner:  # module-level imports are the module's bindings
                    for name, binding in self.module._imports(node):
                        self.imports.setdefault(name, []).append(binding)
            else:
                stack.extend((child, inner) for child in ast.iter_child_nodes(node))
        for name, read in self.local:
            for binding in self.imports.get(name, ()):
                self.refs.append(binding._replace(attrs=read))
        return tuple(dict.fromkeys(self.refs))

    def _name(self, name: str, attrs: tuple[str, ...], inner: bool) -> None:
        if not inner or self.hard is None or name in self.hard:
            dynamic = _DYNAMIC_AT_TOP if not inner else _DYNAMIC_NAMES
            if name in dynamic and not attrs and name not in self.module.bindings:
                self.refs.append(_Whole(None))
            self.refs.append(_Name(name, attrs, False))
        elif name in self.soft:
            self.refs.append(_Name(name, attrs, True))
        else:
            self.local.append((name, attrs))

    def _scope(self, node: ast.AST, inner: bool) -> Iterable[tuple[ast.AST, bool]]:
        """A scope's parts: those evaluated where it is opened, then its own."""
        outside: list[ast.AST] = []
        own: list[ast.AST] = []
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            args = node.args
            outside += [*args.defaults, *(d for d in args.kw_defaults if d is not None)]
            if not isinstance(node, ast.Lambda):
                outside += node.decorator_list
                every = [*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg]
                outside += [a.annotation for a in every if a is not None and a.annotation is not None]
                if node.returns is not None:
                    outside.append(node.returns)
                own += node.body
            else:
                own.append(node.body)
        elif isinstance(node, ast.ClassDef):
            outside += [*node.decorator_list, *node.bases, *node.keywords]
            own += node.body
        elif isinstance(node, (ast.ListComp, ast.SetComp, ast.DictComp, ast.GeneratorExp)):
            outside.append(node.generators[0].iter)
            own += [child for child in ast.iter_child_nodes(node) if child is not node.generators[0]]
            first = node.generators[0]
            own += [first.target, *first.ifs]
        return [*((n, inner) for n in outside), *((n, True) for n in own)]

    def _call(self, node: ast.Call, inner: bool) -> list[ast.AST]:
        func = node.func
        args = node.args
        called = func.id if isinstance(func, ast.Name) else func.attr if isinstance(func, ast.Attribute) else ""
        if called in _ATTRIBUTE_CALLS and isinstance(func, ast.Name) and len(args) >= 2 \
                and isinstance(args[0], ast.Name):
            attr = _literal(args[1])
            if attr is not None:
                self._name(args[0].id, (attr,), inner)
            else:
                # A computed attribute: the whole object, which for a
                # module means the whole module.
                self._name(args[0].id, (), inner)
            return [*args[1:], *node.keywords]
        if called in ("import_module", "__import__"):
            target = _literal(args[0]) if args else None
            if target is None or target.startswith("."):
                self.refs.append(_Whole(None))
            else:
                self.refs.append(_Whole(target))
        return [func, *args, *node.keywords]


class Project:
    """The project's own modules: those found on the search path whose file
    lies under one of `roots` (the --path directories and the working
    directory) and not under the interpreter's prefixes or a site-packages
    directory. `search` is the module search path in import order (default:
    `roots`, then sys.path). Each module is found and parsed once."""

    def __init__(self, roots: Iterable[str], search: Sequence[str] | None = None) -> None:
        given = list(roots)
        self.roots = sorted({os.path.realpath(r) for r in given}, key=len, reverse=True)
        dirs = [*given, *sys.path] if search is None else list(search)
        self.search = tuple(dict.fromkeys(os.path.abspath(d or os.curdir) for d in dirs))
        prefixes = {sys.prefix, sys.base_prefix, sys.exec_prefix, sys.base_exec_prefix}
        self._excluded = tuple(os.path.realpath(p) for p in prefixes if p)
        self._specs: dict[str, _Spec | None] = {}
        self._modules: dict[str, _Module | None] = {}
        self._entries: dict[str, frozenset[str]] = {}

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

    def source_file(self, name: str) -> str | None:
        """The source file of a project module, None for any other module."""
        module = self.module(name)
        return module.path if module is not None else None

    def module(self, name: str) -> _Module | None:
        if name in self._modules:
            return self._modules[name]
        found: _Module | None = None
        spec = self._spec(name)
        if spec is not None:
            if spec.path is None:  # namespace package: the project's if one portion is
                labels = [self.label(p) for p in spec.portions]
                if any(label is not None for label in labels):
                    found = _Module(name, None, next(lb for lb in labels if lb is not None), spec.portions)
            elif spec.path.endswith(tuple(importlib.machinery.SOURCE_SUFFIXES)):
                label = self.label(spec.path)
                if label is not None:
                    found = _Module(name, spec.path, label, spec.portions)
        self._modules[name] = found
        return found

    def _spec(self, name: str) -> _Spec | None:
        """Where the import system would find a module, without importing it."""
        if name in self._specs:
            return self._specs[name]
        spec: _Spec | None = None
        parent, _, last = name.rpartition(".")
        if not parent:
            builtin = name in sys.builtin_module_names
            frozen = importlib.machinery.FrozenImporter.find_spec(name) is not None
            dirs: Sequence[str] = () if builtin or frozen else self.search
        else:
            outer = self._spec(parent)
            dirs = outer.portions if outer is not None else ()
        namespace: list[str] = []
        for folder in dirs:
            entries = self._listing(folder)
            base = os.path.join(folder, last)
            if last in entries and os.path.isdir(base):
                inits = [os.path.join(base, "__init__" + s) for s in _SUFFIXES]
                init = next((i for i in inits if os.path.isfile(i)), None)
                if init is not None:
                    spec = _Spec(init, (base,))
                    break
                namespace.append(base)
            module = next((last + s for s in _SUFFIXES if last + s in entries), None)
            if module is not None:
                spec = _Spec(os.path.join(folder, module), ())
                break
        if spec is None and namespace:
            spec = _Spec(None, tuple(namespace))
        self._specs[name] = spec
        return spec

    def _listing(self, folder: str) -> frozenset[str]:
        found = self._entries.get(folder)
        if found is None:
            try:
                found = frozenset(os.listdir(folder))
            except OSError:
                found = frozenset()
            self._entries[folder] = found
        return found


def _under(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


class _Walk:
    """One asset's reach: statements and whole modules, from a work list."""

    def __init__(self, project: Project) -> None:
        self.project = project
        self.statements: dict[tuple[str, int], _Module] = {}
        self.whole: dict[str, _Module] = {}
        self.todo: list[tuple[_Module, _Ref]] = []

    def statement(self, module: _Module, index: int, refs: tuple[_Ref, ...] | None = None) -> None:
        key = (module.name, index)
        if key in self.statements:
            return
        self.statements[key] = module
        self.todo.extend((module, ref) for ref in (module.refs(index) if refs is None else refs))

    def whole_module(self, module: _Module) -> None:
        if module.name in self.whole or module.path is None:
            return
        self.whole[module.name] = module
        if module.tree is not None:
            for index in range(len(module.tree.body)):
                self.statement(module, index)

    def run(self) -> None:
        while self.todo:
            module, ref = self.todo.pop()
            if isinstance(ref, _Name):
                self.name(module, ref.name, ref.attrs, ref.soft)
            elif isinstance(ref, _Import):
                self.imported(ref)
            else:
                target = module if ref.module is None else self.project.module(ref.module)
                if target is not None:
                    self.whole_module(target)

    def name(self, module: _Module, name: str, attrs: tuple[str, ...], soft: bool = False) -> None:
        bindings = module.bindings.get(name)
        if bindings is None:
            if soft or name in _BUILTINS or name in _MODULE_NAMES or module.path is None:
                return
            stars = [self.project.module(star) for star in module.stars]
            for star in stars:
                if star is not None:
                    self.whole_module(star)
            if not stars:
                self.whole_module(module)  # bound at run time, or nowhere
            return
        for binding in bindings:
            if isinstance(binding, int):
                self.statement(module, binding)
            else:
                self.imported(binding._replace(attrs=attrs))

    def imported(self, ref: _Import) -> None:
        module = self.project.module(ref.module)
        if module is None:
            return  # the standard library, an installed package
        if ref.attr is None:
            if ref.attrs:
                self.imported(_Import(ref.module, ref.attrs[0], ref.attrs[1:]))
            else:
                self.whole_module(module)  # the module as a value
            return
        if ref.attr not in module.bindings:
            sub = f"{ref.module}.{ref.attr}"
            if self.project.module(sub) is not None:
                self.imported(_Import(sub, None, ref.attrs))
                return
        self.name(module, ref.attr, ref.attrs)


def _roots(module: _Module, function_name: str) -> list[int]:
    if module.tree is None:
        return []
    return [
        index
        for index, stmt in enumerate(module.tree.body)
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)) and stmt.name == function_name
    ]


def _inputs(stmt: ast.stmt) -> frozenset[int]:
    """The upstream assets an asset's decorator names in ``inputs=``: data,
    whose changes reach the asset through their values, not its code."""
    found: set[int] = set()
    for decorator in getattr(stmt, "decorator_list", ()):
        if not isinstance(decorator, ast.Call):
            continue
        for keyword in decorator.keywords:
            if keyword.arg == "inputs" and isinstance(keyword.value, ast.Dict):
                for value in keyword.value.values:
                    base = value
                    while isinstance(base, ast.Attribute):
                        base = base.value
                    if isinstance(base, ast.Name):
                        found.add(id(value))
    return frozenset(found)


def code_version(project: Project, module_name: str, function_name: str, function_source: str,
                 decorator_metadata: Any) -> CodeVersion:
    """The code version of the asset function `function_name` defined in
    module `module_name`, whose source and decorator metadata are those
    discovery reports."""
    own = own_version(function_source, decorator_metadata)
    module = project.module(module_name)
    if module is None:  # not the project's: its own code only
        return CodeVersion(own, {f"{function_name} in {module_name}": own}, [])
    walk = _Walk(project)
    roots = _roots(module, function_name)
    own_label = module.labels[roots[0]] if roots else f"{function_name} in {module.label}"
    for index in roots:
        stmt = module.tree.body[index] if module.tree is not None else None
        skip = _inputs(stmt) if stmt is not None else frozenset()
        walk.statement(module, index, module.refs(index, skip))
    if not roots:
        walk.whole_module(module)  # made by a factory, a lambda: where from is not read
    walk.run()
    covers = {own_label: own}
    for (name, index), where in walk.statements.items():
        if name not in walk.whole and not (where is module and index == (roots[0] if roots else -1)):
            covers[where.labels.get(index, f"{index} in {where.label}")] = where.hash_of(index)
    for where in walk.whole.values():
        covers[where.label] = _hash(where.source or "")
    if len(covers) == 1:
        digest = own  # nothing reached: the version of its own code alone
    else:
        digest = _hash("".join(f"{label}\0{value}\n" for label, value in sorted(covers.items())))
    return CodeVersion(digest, dict(sorted(covers.items())), sorted(w.label for w in walk.whole.values()))
