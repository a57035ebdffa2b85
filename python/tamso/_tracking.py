"""Files a job reads: ``tamso.track(path)`` while the job runs, and whether they are still the same later.

A job body runs the asset function inside :func:`recording`; each
``tamso.track(path)`` in it stamps the file (resolved path, size,
modification time, SHA-256) or, for a directory, every file under it by
relative name, and the body hands the stamps back with its outcome. Outside
:func:`recording` (a plain call, a test) ``track`` only returns its argument.

A stamp is checked the way version control systems check their work trees:
size and modification time unchanged mean unchanged (no read); otherwise the
digest decides.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
import stat as stat_module
import threading
from typing import Iterator, NamedTuple, Sequence, TypeVar

FILE = "file"
DIRECTORY = "dir"
MISSING = "missing"
UNKNOWN = "unknown"
"""The kind of a stamp that stands for files nobody knows (a job adopted after its runner was killed)."""


class TrackedFile(NamedTuple):
    """One stamp of a tracked path."""

    path: str
    """The tracked path, resolved: a file, or a directory."""
    name: str
    """Empty for the tracked path itself; for a file under a tracked directory, its ``/``-separated relative name."""
    kind: str
    """``file``, ``dir`` (the directory itself), ``missing`` (it did not exist when tracked) or ``unknown``."""
    size: int
    """A file's size; a directory's number of files."""
    mtime_ns: int
    sha256: str
    """A file's digest; for a directory, the digest of its files' relative names."""

    def label(self) -> str:
        """The path as people read it: a directory ends in ``/``, a file under it is not listed on its own."""
        return self.path + os.sep if self.kind == DIRECTORY else self.path


P = TypeVar("P", bound="str | bytes | os.PathLike[str] | os.PathLike[bytes]")

_lock = threading.Lock()
_active: list[TrackedFile] | None = None
_digests: dict[tuple[str, int, int, int], str] = {}
"""(path, size, mtime_ns, inode) -> SHA-256: a file many jobs of one worker track is read once."""


def track(path: P) -> P:
    """Record `path` (a file, or every file under a directory) as an input of the running job; returns `path`.

    ``pd.read_csv(tamso.track("data/sales.csv"))`` reads as before, and the
    job runs again when the file changes. Outside a running job it only
    returns `path`.
    """
    text = os.fsdecode(os.fspath(path))  # type: ignore[arg-type]  # any str, bytes or path-like
    with _lock:
        found = _active
    if found is not None:
        stamps = stamp(text)
        with _lock:
            found.extend(stamps)
    return path


@contextlib.contextmanager
def recording() -> Iterator[list[TrackedFile]]:
    """Collect what ``track`` records while the block runs (a job body runs its job inside it)."""
    global _active
    files: list[TrackedFile] = []
    with _lock:
        previous, _active = _active, files
    try:
        yield files
    finally:
        with _lock:
            _active = previous


def distinct(files: Sequence[TrackedFile]) -> tuple[TrackedFile, ...]:
    """`files` with each (path, name) once, the last stamp of each kept."""
    return tuple({(f.path, f.name): f for f in files}.values())


def stamp(path: str) -> list[TrackedFile]:
    """The stamps of `path` now: the file, or the directory and every file under it."""
    resolved = os.path.realpath(path)
    try:
        info = os.stat(resolved)
    except OSError:
        return [TrackedFile(resolved, "", MISSING, -1, 0, "")]
    if not stat_module.S_ISDIR(info.st_mode):
        return [TrackedFile(resolved, "", FILE, info.st_size, info.st_mtime_ns, _digest(resolved, info))]
    names = _listing(resolved)
    stamps = [TrackedFile(resolved, "", DIRECTORY, len(names), 0, _names_digest(names))]
    for name in names:
        full = os.path.join(resolved, name)
        try:
            inner = os.stat(full)
            stamps.append(TrackedFile(resolved, name, FILE, inner.st_size, inner.st_mtime_ns, _digest(full, inner)))
        except OSError:
            stamps.append(TrackedFile(resolved, name, MISSING, -1, 0, ""))
    return stamps


def _digest(path: str, info: os.stat_result) -> str:
    key = (path, info.st_size, info.st_mtime_ns, info.st_ino)
    found = _digests.get(key)
    if found is None:
        with open(path, "rb") as stream:
            found = hashlib.file_digest(stream, "sha256").hexdigest()
        if len(_digests) > 100_000:
            _digests.clear()
        _digests[key] = found
    return found


def _listing(directory: str) -> list[str]:
    """The relative names of the files under `directory`, ``/``-separated, sorted."""
    names = []
    for root, folders, files in os.walk(directory):
        folders.sort()
        relative = os.path.relpath(root, directory)
        prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
        names += [prefix + name for name in files]
    return sorted(names)


def _names_digest(names: Sequence[str]) -> str:
    return hashlib.sha256("\0".join(names).encode("utf-8", "surrogateescape")).hexdigest()


class Checker:
    """Checks stamps against the file system, each path stat'ed (and read, if need be) once per checker."""

    def __init__(self) -> None:
        self._stats: dict[str, os.stat_result | None] = {}
        self._digests: dict[str, str | None] = {}
        self._listings: dict[str, str | None] = {}
        self.refreshed: dict[tuple[str, str], TrackedFile] = {}
        """Stamps whose file's time changed but whose bytes did not: the new stamp, to be kept."""

    def unchanged(self, files: Sequence[TrackedFile]) -> bool:
        """Whether every stamp still holds: each file the same bytes, each directory the same files, each
        missing path still missing."""
        for f in files:
            if f.kind == UNKNOWN:
                return False
            full = os.path.join(f.path, f.name) if f.name else f.path
            info = self._stat(full)
            if f.kind == MISSING:
                if info is not None:
                    return False
            elif info is None:
                return False
            elif f.kind == DIRECTORY:
                if not stat_module.S_ISDIR(info.st_mode) or self._listing(full) != f.sha256:
                    return False
            elif stat_module.S_ISDIR(info.st_mode) or info.st_size != f.size:
                return False
            elif info.st_mtime_ns != f.mtime_ns:
                if self._digest(full, info) != f.sha256:
                    return False
                self.refreshed[f.path, f.name] = f._replace(mtime_ns=info.st_mtime_ns)
        return True

    def _stat(self, path: str) -> os.stat_result | None:
        if path not in self._stats:
            try:
                self._stats[path] = os.stat(path)
            except OSError:
                self._stats[path] = None
        return self._stats[path]

    def _digest(self, path: str, info: os.stat_result) -> str | None:
        if path not in self._digests:
            try:
                self._digests[path] = _digest(path, info)
            except OSError:
                self._digests[path] = None
        return self._digests[path]

    def _listing(self, path: str) -> str | None:
        if path not in self._listings:
            self._listings[path] = _names_digest(_listing(path))
        return self._listings[path]
