"""The pipeline code a long-lived worker process runs: checked against what the run fingerprinted, or sent to it.

A Dask worker imports a module once and keeps it, so after an edit it would
compute with the old code while the run records the new code's fingerprint.
Each task therefore carries the (module, SHA-256) of the project code its
fingerprint covers; :func:`mismatch` compares them with the source of each
of those modules as it was when this process imported it (recorded right
after the job that imported it), and a job whose code differs fails instead
of running.

:class:`CodeUpload` is the worker plugin behind ``--upload-code``: it carries
the project modules' files, writes them into a folder of the worker's own,
puts that folder first on ``sys.path`` and has every uploaded module imported
afresh when any of them changed since the process imported it.
"""

from __future__ import annotations

import hashlib
import importlib
import os
import sys
import tempfile
import threading
from typing import Any, Sequence

from distributed.diagnostics.plugin import WorkerPlugin

PLUGIN_NAME = "tamso-code"
ERROR_TYPE = "CodeMismatch"

_lock = threading.Lock()
_imported: dict[str, str | None] = {}
"""Module name -> SHA-256 of its source when this process imported it (None: it has no source file)."""
_pending: tuple[str | None, dict[str, str]] | None = None
"""An upload not yet in use: its folder and its modules' digests (no folder: stop using uploaded code)."""
_folder: str | None = None
"""The folder of the upload in use."""
_uploaded: dict[str, str] = {}
"""The modules of the upload in use, with their digests."""


def _source_digest(module: Any) -> str | None:
    path = getattr(module, "__file__", None)
    if not isinstance(path, str) or not path.endswith(".py"):
        return None
    try:
        with open(path, "rb") as stream:
            return hashlib.file_digest(stream, "sha256").hexdigest()
    except OSError:
        return None


def mismatch(code: Sequence[tuple[str, str]]) -> str | None:
    """The message for the first module of `code` that this process imported from other source than the run
    planned with; None when all agree. Modules imported since the last call are recorded now."""
    for name, digest in code:
        module = sys.modules.get(name)
        if module is None:
            continue  # not imported yet: the job imports the current file
        if name not in _imported:
            _imported[name] = _source_digest(module)
        seen = _imported[name]
        if seen is not None and seen != digest:
            where = getattr(module, "__file__", None) or name
            return (
                f"module {name!r} in this worker process ({where}) is not the code this run planned with: the"
                " worker imported it before it changed, or holds another copy of the pipeline. Restart the"
                " workers after changing the pipeline's code, or run with --upload-code (upload_code=True)"
            )
    return None


def prepare() -> None:
    """Before a job: put the uploaded code in use, if any, with every uploaded module to be imported afresh
    when any of them changed (a module that imported a changed one holds its old functions)."""
    global _pending, _folder, _uploaded
    with _lock:
        pending, _pending = _pending, None
    if pending is not None:
        folder, digests = pending
        if folder is None:  # back to the worker's own copy of the code
            changed = bool(_uploaded)
            digests = _uploaded
        else:
            changed = any(_imported.get(name, digest) != digest for name, digest in digests.items()) or any(
                not _inside(getattr(sys.modules.get(name), "__file__", None), folder)
                for name in digests if name in sys.modules)
        if changed:
            for name in digests:
                sys.modules.pop(name, None)
                _imported.pop(name, None)
        if _folder is not None and _folder in sys.path:
            sys.path.remove(_folder)
        _folder, _uploaded = folder, dict(digests) if folder is not None else {}
        importlib.invalidate_caches()
    if _folder is not None and (not sys.path or sys.path[0] != _folder):
        if _folder in sys.path:
            sys.path.remove(_folder)
        sys.path.insert(0, _folder)


def _inside(path: str | None, folder: str) -> bool:
    return isinstance(path, str) and path.startswith(os.path.join(folder, ""))


class CodeUpload(WorkerPlugin):
    """A worker plugin carrying project modules: (module name, relative file name, source bytes) each."""

    name = PLUGIN_NAME

    def __init__(self, files: Sequence[tuple[str, str, bytes]]) -> None:
        self.files = list(files)

    def setup(self, worker: Any) -> None:
        global _pending
        digest = hashlib.sha256()
        for module, relative, data in self.files:
            digest.update(f"{module}\0{relative}\0{len(data)}\0".encode() + data)
        root = getattr(worker, "local_directory", None) or tempfile.gettempdir()
        folder = os.path.join(root, "tamso-code", digest.hexdigest()[:16])
        digests = {}
        for module, relative, data in self.files:
            path = os.path.join(folder, *relative.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            temporary = f"{path}.{os.getpid()}.tmp"
            with open(temporary, "wb") as stream:
                stream.write(data)
            os.replace(temporary, path)
            digests[module] = hashlib.sha256(data).hexdigest()
        with _lock:
            _pending = (folder, digests)

    def teardown(self, worker: Any) -> None:
        global _pending
        with _lock:
            _pending = (None, {})


def upload_files(modules: Sequence[tuple[str, str]]) -> list[tuple[str, str, bytes]]:
    """(module, relative file name, bytes) of each (module name, path) of project code, as a worker imports it
    from a folder on its ``sys.path``."""
    files = []
    for module, path in modules:
        stem = module.replace(".", "/")
        relative = f"{stem}/__init__.py" if os.path.basename(path) == "__init__.py" else f"{stem}.py"
        with open(path, "rb") as stream:
            files.append((module, relative, stream.read()))
    return files
