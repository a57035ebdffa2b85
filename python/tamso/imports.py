"""The project code an asset depends on: every project module its defining module imports.

A module's imports are read from its source with :mod:`ast` (nothing runs):
``import a.b``, ``from a import b`` (``a.b`` when ``b`` is a submodule, else
``a``), relative imports and imports inside functions alike; importing a
module also runs the ``__init__.py`` of each package on the way. Names are
resolved to files with the import system's own finders (a module already
imported is taken from ``sys.modules``; a submodule of a package that is not
imported is looked for on the package's path, so that nothing is imported to
find it). A project module is a ``.py`` file outside the interpreter's
standard library, outside every site-packages directory and every directory
that holds installed distributions; installed packages (tamso included) are
not followed.

What a file imports is kept in a :class:`CodeCache` keyed by its path: an
entry whose size and modification time still match the file is used without
reading it again. The caller decides where the cache lives (the runner keeps
it in the state store).
"""

from __future__ import annotations

import ast
import functools
import hashlib
import importlib.machinery
import importlib.util
import os
import site
import sys
import sysconfig
import time
from typing import Any, Iterable, Iterator, Mapping, MutableMapping, NamedTuple


_SETTLED_NS = 2_000_000_000


class CodeEntry(NamedTuple):
    """What one source file holds, as of its size and modification time."""

    size: int
    mtime_ns: int
    sha256: str
    imports: str
    """The names it imports, one per line; a relative one keeps its leading dots."""


class CodeFile(NamedTuple):
    """One project module a job's code covers."""

    module: str
    path: str
    sha256: str


class CodeCache(MutableMapping[str, CodeEntry]):
    """Source file path -> :class:`CodeEntry`, remembering which entries changed since it was filled."""

    def __init__(self, entries: Iterable[tuple[str, CodeEntry]] = ()) -> None:
        self._entries = dict(entries)
        self.changed: set[str] = set()

    def __getitem__(self, path: str) -> CodeEntry:
        return self._entries[path]

    def __setitem__(self, path: str, entry: CodeEntry) -> None:
        self._entries[path] = entry
        self.changed.add(path)

    def __delitem__(self, path: str) -> None:
        del self._entries[path]
        self.changed.discard(path)

    def __iter__(self) -> Iterator[str]:
        return iter(self._entries)

    def __len__(self) -> int:
        return len(self._entries)

    def updates(self) -> list[tuple[str, CodeEntry]]:
        """The entries set since the cache was filled (or since the last call), for the caller to keep."""
        found = [(path, self._entries[path]) for path in sorted(self.changed)]
        self.changed.clear()
        return found


class Closure:
    """The project code a module runs when imported."""

    __slots__ = ("digest", "own", "_members", "_files", "_found")

    def __init__(self, digest: bytes, members: frozenset[str] = frozenset(),
                 found: Mapping[str, CodeFile] | None = None, own: CodeFile | None = None) -> None:
        self.own = own
        """The module's own file (None when it is not a project module)."""
        self.digest = digest
        """Changes whenever the source of any of `files` does: a digest over each group of modules that import
        each other (their names and source digests) and the digests of the groups they import."""
        self._members = members
        self._found = found or {}
        self._files: tuple[CodeFile, ...] | None = None

    @property
    def files(self) -> tuple[CodeFile, ...]:
        """The module itself, every project module it imports directly or through others, and their packages'
        ``__init__.py``; sorted by name (worked out when first asked for)."""
        if self._files is None:
            self._files = tuple(map(self._found.__getitem__, sorted(self._members)))
        return self._files


def closures(modules: Iterable[str], cache: MutableMapping[str, CodeEntry] | None = None) -> dict[str, Closure]:
    """For each module name, the project code it runs when imported (none for a module that is not a project
    module or cannot be found)."""
    graph = _Graph(CodeCache() if cache is None else cache)
    return {name: graph.closure(name) for name in modules}


def module_imports(source: bytes) -> list[str]:
    """The names a module's source imports (see :class:`CodeEntry`); none when it does not parse."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return []
    names: list[str] = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names += [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = "." * node.level + (node.module or "")
            names.append(base)
            joint = "" if base.endswith(".") else "."
            names += [f"{base}{joint}{alias.name}" for alias in node.names if alias.name != "*"]
    return list(dict.fromkeys(names))


class _Graph:
    """Module names to project files and their imports, each found once per planning.

    What a module reaches is worked out once per strongly connected group of modules (a cycle of imports is
    one group), from the groups it imports, so that many modules sharing a tree of helpers cost one walk.
    """

    def __init__(self, cache: MutableMapping[str, CodeEntry]) -> None:
        self._cache = cache
        self._files: dict[str, str | None] = {}
        self._entries: dict[str, CodeEntry | None] = {}
        self._nodes: dict[str, CodeFile | None] = {}
        self._found: dict[str, CodeFile] = {}
        self._children: dict[str, tuple[str, ...]] = {}
        self._reached: dict[str, frozenset[str]] = {}
        self._digests: dict[str, bytes] = {}
        self._directories: dict[str, bool] = {}
        self._library = _library_roots(tuple(sys.path))

    def closure(self, name: str) -> Closure:
        if self._node(name) is None:
            return Closure(hashlib.sha256(b"").digest())
        members = self._reach(name)
        return Closure(self._digests[name], members, self._found, self._found[name])

    def _node(self, name: str) -> CodeFile | None:
        """The module's file, when it is a project module whose source can be read."""
        if name in self._nodes:
            return self._nodes[name]
        node = None
        path = self._file(name)
        if path is not None:
            entry = self._entry(path)
            if entry is not None:
                node = self._found[name] = CodeFile(name, path, entry.sha256)
        self._nodes[name] = node
        return node

    def _edges(self, name: str) -> tuple[str, ...]:
        """The project modules that importing `name` runs directly: what it imports and its packages."""
        found = self._children.get(name)
        if found is None:
            node = self._nodes[name]
            assert node is not None
            entry = self._entries[node.path]
            assert entry is not None
            package = name if os.path.basename(node.path) == "__init__.py" else name.rpartition(".")[0]
            targets: list[str] = []
            for imported in entry.imports.split("\n") if entry.imports else ():
                absolute = _absolute(imported, package) if imported.startswith(".") else imported
                if absolute:
                    targets += _prefixes(absolute)
            targets += _prefixes(name)
            unique = dict.fromkeys(targets)
            unique.pop(name, None)
            nodes = self._nodes
            found = self._children[name] = tuple(
                t for t in unique if (nodes[t] if t in nodes else self._node(t)) is not None)
        return found

    def _reach(self, root: str) -> frozenset[str]:
        """Every project module that importing `root` runs, itself included (Tarjan's strongly connected
        components, without recursion)."""
        if root in self._reached:
            return self._reached[root]
        index: dict[str, int] = {root: 0}
        low: dict[str, int] = {root: 0}
        stack = [root]
        on_stack = {root}
        work = [(root, iter(self._edges(root)))]
        while work:
            node, children = work[-1]
            for child in children:
                if child in self._reached:
                    continue
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(self._edges(child))))
                    break
                if child in on_stack:
                    low[node] = min(low[node], index[child])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    members = set()
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        members.add(member)
                        if member == node:
                            break
                    reach = set(members)
                    below: set[bytes] = set()
                    for member in members:
                        for child in self._edges(member):
                            if child not in members:
                                reach |= self._reached[child]
                                below.add(self._digests[child])
                    frozen = frozenset(reach)
                    own = "".join(f"{m}\0{self._found[m].sha256}\0" for m in sorted(members)).encode(
                        "utf-8", "surrogatepass")
                    digest = hashlib.sha256(own + b"".join(sorted(below))).digest()
                    for member in members:
                        self._reached[member] = frozen
                        self._digests[member] = digest
        return self._reached[root]

    def _file(self, name: str) -> str | None:
        if name in self._files:
            return self._files[name]
        origin = _origin(name)
        path = None
        if origin is not None and origin.endswith(".py") and not self._is_library(origin):
            path = origin
        self._files[name] = path
        return path

    def _is_library(self, origin: str) -> bool:
        directory = os.path.dirname(origin)
        found = self._directories.get(directory)
        if found is None:
            real = os.path.join(os.path.realpath(directory), "")
            plain = os.path.join(directory, "")
            found = self._directories[directory] = any(
                real.startswith(root) or plain.startswith(root) for root in self._library)
        return found

    def _entry(self, path: str) -> CodeEntry | None:
        if path in self._entries:
            return self._entries[path]
        entry = None
        try:
            stat = os.stat(path)
            cached = self._cache.get(path)
            if cached is not None and cached.size == stat.st_size and cached.mtime_ns == stat.st_mtime_ns:
                entry = cached
            else:
                with open(path, "rb") as stream:
                    source = stream.read()
                entry = CodeEntry(len(source), stat.st_mtime_ns, hashlib.sha256(source).hexdigest(),
                                  "\n".join(module_imports(source)))
                # A file changed while it was read, or so lately that another change within the clock's tick
                # would leave its time alone, is read again next time.
                if entry.size == stat.st_size and time.time_ns() - stat.st_mtime_ns > _SETTLED_NS:
                    self._cache[path] = entry
        except OSError:
            entry = None
        self._entries[path] = entry
        return entry


@functools.lru_cache(maxsize=4096)
def _prefixes(name: str) -> tuple[str, ...]:
    """``a``, ``a.b``, ``a.b.c`` for ``a.b.c``: importing a module runs the ``__init__.py`` of each package on the
    way first."""
    parts = name.split(".")
    return tuple(".".join(parts[:i]) for i in range(1, len(parts) + 1))


def _absolute(name: str, package: str) -> str | None:
    """`name` as an absolute module name, a relative one resolved against `package` (None when it reaches above
    the top-level package)."""
    if not name.startswith("."):
        return name
    tail = name.lstrip(".")
    level = len(name) - len(tail)
    parts = package.split(".") if package else []
    if level - 1 > len(parts) or not package:
        return None
    base = parts[:len(parts) - (level - 1)]
    if not base:
        return None
    return ".".join(base + ([tail] if tail else []))


def _origin(name: str) -> str | None:
    """The file that module `name` runs from, found without importing anything (None when there is none)."""
    try:
        module = sys.modules.get(name)
        if module is not None:
            spec = getattr(module, "__spec__", None)
            if spec is None:
                origin: Any = getattr(module, "__file__", None)
                return origin if isinstance(origin, str) else None
            return _spec_origin(spec)
        spec = _find(name)
        return None if spec is None else _spec_origin(spec)
    except Exception:  # noqa: BLE001 - whatever a finder or an odd module raises, the name is just not followed
        return None


def _find(name: str) -> Any:
    parent, _, _ = name.rpartition(".")
    if not parent:
        return importlib.util.find_spec(name)
    module = sys.modules.get(parent)
    if module is not None:
        search = getattr(module, "__path__", None)
    else:
        parent_spec = _find(parent)
        search = None if parent_spec is None else parent_spec.submodule_search_locations
    if search is None:
        return None
    return importlib.machinery.PathFinder.find_spec(name, list(search))


def _spec_origin(spec: Any) -> str | None:
    if not getattr(spec, "has_location", False):
        return None
    origin = getattr(spec, "origin", None)
    return origin if isinstance(origin, str) else None


@functools.lru_cache(maxsize=8)
def _library_roots(search_path: tuple[str, ...]) -> tuple[str, ...]:
    """Directories whose modules are not the project's: the standard library, site-packages, the entries of
    `search_path` that hold installed distributions, and tamso itself."""
    paths = sysconfig.get_paths()
    roots = {paths[k] for k in ("stdlib", "platstdlib", "purelib", "platlib") if k in paths}
    roots.update(site.getsitepackages() if hasattr(site, "getsitepackages") else ())
    user = site.getusersitepackages() if hasattr(site, "getusersitepackages") else None
    if isinstance(user, str):
        roots.add(user)
    roots.add(os.path.dirname(os.path.abspath(__file__)))
    for entry in search_path:
        if _holds_distributions(entry or "."):
            roots.add(entry or ".")
    return tuple(sorted({os.path.join(os.path.realpath(root), "") for root in roots}))


def _holds_distributions(directory: str) -> bool:
    try:
        with os.scandir(directory) as entries:
            return any(e.name.endswith(".dist-info") for e in entries)
    except OSError:
        return False
