"""Where a job's files live under the output directory, and how they are written.

A job's directory is ``<asset key>`` for an unpartitioned asset and
``<asset key>/<dim>=<value>/...`` (dimensions in ascending order of name) for a
partitioned one, where a string value stands as itself and any other value as
its JSON text. Every name is percent-encoded where it would otherwise be
ambiguous (``/``, ``%``, control characters, a leading ``.``), so each job has
exactly one directory and each directory name reads back to its job.
"""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
import urllib.parse
from typing import Any, NamedTuple, Sequence

STATE_DIR = ".tamso"
VALUE_FILE = "value.json"
RESULT_FILE = "result.json"
LOG_FILE = "log.txt"

_ESCAPES = {code: f"%{code:02X}" for code in [*range(0x20), 0x7F, ord("/"), ord("%")]}


def encode_name(text: str) -> str:
    """One path component for `text`, percent-encoded where needed."""
    encoded = text.translate(_ESCAPES)
    if encoded.startswith("."):
        encoded = "%2E" + encoded[1:]
    return encoded


def decode_name(name: str) -> str:
    """The text that `encode_name` turned into `name`."""
    return urllib.parse.unquote(name, errors="strict")


def value_label(value_json: str) -> str:
    """A partition value as people read it: a string as itself, anything else as JSON text."""
    if value_json.startswith('"'):
        text: str = json.loads(value_json)
        return text
    return value_json


def job_directory(key: str, partition: Sequence[tuple[str, str]]) -> str:
    """The job's directory relative to the output directory (``/``-separated)."""
    parts = [encode_name(key)]
    parts += [encode_name(f"{dim}={value_label(value)}") for dim, value in partition]
    return "/".join(parts)


class ValueStamp(NamedTuple):
    """What identifies the bytes of one ``value.json``."""

    sha256: str
    size: int
    mtime_ns: int


_WHOLE = 1 << 20


def stamp_value(path: str) -> ValueStamp:
    """Digest, size and modification time of the file at `path`."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        stat = os.fstat(fd)
        if stat.st_size <= _WHOLE:  # most values are small: one read, no file object, no chunk buffer
            digest = hashlib.sha256(os.read(fd, stat.st_size)).hexdigest()
        else:
            with open(fd, "rb", buffering=0, closefd=False) as stream:
                digest = hashlib.file_digest(stream, "sha256").hexdigest()
    finally:
        os.close(fd)
    return ValueStamp(digest, stat.st_size, stat.st_mtime_ns)


def value_unchanged(path: str, stamp: ValueStamp) -> bool:
    """Whether the file still holds the bytes that `stamp` describes.

    Size and modification time that match the stamp are taken as proof (as
    version control systems do); otherwise the file is digested again.
    """
    return unchanged_stamp(path, stamp) is not None


def unchanged_stamp(path: str, stamp: ValueStamp) -> ValueStamp | None:
    """The file's stamp now when it still holds the bytes that `stamp` describes (`stamp` itself when its size
    and modification time match; a new stamp when only its time changed), else None."""
    try:
        stat = os.stat(path)
    except OSError:
        return None
    if stat.st_size != stamp.size:
        return None
    if stat.st_mtime_ns == stamp.mtime_ns:
        return stamp
    try:
        now = stamp_value(path)
    except OSError:
        return None
    return now if now.sha256 == stamp.sha256 else None


def write_atomic(path: str, data: bytes) -> None:
    """Replace the file at `path` with `data`: readers see the old file or the new one, never a part."""
    directory, name = os.path.split(path)
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=directory or ".")
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def error_result(error_type: str, error: str) -> bytes:
    """The error form of ``result.json`` as the native core writes it: compact, keys sorted, UTF-8."""
    text = json.dumps(
        {"error": error, "error_type": error_type, "ok": False},
        ensure_ascii=False,
        separators=(",", ":"),
        sort_keys=True,
    )
    return text.encode("utf-8", "surrogateescape")


def read_value(path: str) -> Any:
    """The parsed contents of a ``value.json``."""
    with open(path, "rb") as stream:
        return json.loads(stream.read())


def tail(path: str, lines: int = 10) -> list[str]:
    """The last `lines` lines of a text file (empty when it is missing)."""
    try:
        with open(path, "rb") as stream:
            stream.seek(0, os.SEEK_END)
            size = stream.tell()
            stream.seek(max(0, size - 64 * 1024))
            data = stream.read()
    except OSError:
        return []
    return data.decode("utf-8", "replace").splitlines()[-lines:]
