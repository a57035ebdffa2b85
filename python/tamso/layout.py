"""Where a job's files live under the output directory, and how they are written.

A job's directory is ``<asset key>`` for an unpartitioned asset and
``<asset key>/<dim>=<value>/...`` (dimensions in ascending order of name) for a
partitioned one. A value that is not a string stands as its JSON text
(``d=1``, ``d=true``, ``d=[1,2]``); a string stands as itself (``d=AAPL``)
unless its text would itself parse as JSON (``"1"``, ``"true"``, ``"null"``,
``"[1]"``, a text that starts with a quote): such a string stands as its JSON
text, quoted (``d="1"``), so that it can never meet the value it spells. Every
name is percent-encoded where it would otherwise be ambiguous (``/``, ``%``,
control characters, a leading ``.``), and an asset key that equals a name the
layout uses at the top of OUT (``report.html``, ``.tamso``) has its first
character encoded, so each job has exactly one directory and each directory
name reads back to its job (:func:`parse_job_directory`).
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import re
import tempfile
import threading
import unicodedata
import urllib.parse
from typing import Any, Callable, NamedTuple, Sequence

STATE_DIR = ".tamso"
VALUE_FILE = "value.json"
RESULT_FILE = "result.json"
LOG_FILE = "log.txt"
REPORT_FILE = "report.html"
LOCK_FILE = "lock"
RESERVED = (STATE_DIR, REPORT_FILE)
"""Names the layout itself uses at the top of the output directory; no asset's directory takes one."""

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


def key_name(key: str) -> str:
    """The directory name of an asset key: `encode_name`, with a reserved name's first character encoded.

    Names are compared case-folded, so that a key cannot take a reserved name on a file system that folds
    case either.
    """
    name = encode_name(key)
    if name.casefold() in _RESERVED_FOLDED:
        name = "".join(f"%{byte:02X}" for byte in name[0].encode("utf-8")) + name[1:]
    return name


_RESERVED_FOLDED = frozenset(name.casefold() for name in RESERVED)

# Only a text that starts like a JSON value can parse as one: most strings are told apart without parsing.
_JSON_START = frozenset('-0123456789tfn[{"NI')
_JSON_SPACE = " \t\n\r"


def parses_as_json(text: str) -> bool:
    """Whether `text`, as it stands, is a JSON text: a number, ``true``, ``false``, ``null``, an array, an
    object or a quoted string.

    Python's reader also takes ``NaN``, ``Infinity`` and ``-Infinity``: they count as JSON here too (being
    strict in that direction only quotes a few more strings). Surrounding whitespace does not: no JSON text
    of a value starts or ends with it, so ``" 1"`` stands as itself.
    """
    if not text or text[0] not in _JSON_START or text[-1] in _JSON_SPACE:
        return False
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


def value_name(value_json: str) -> str:
    """A partition value as its directory spells it (before percent-encoding): a non-string as its JSON
    text, a string as itself unless it parses as JSON, then as its JSON text (quoted, non-ASCII kept)."""
    if not value_json.startswith('"'):
        return value_json
    text: str = json.loads(value_json)
    if parses_as_json(text):
        return json.dumps(text, ensure_ascii=False)
    return text


def value_from_name(name: str) -> Any:
    """The partition value that `value_name` spelled as `name`."""
    if not parses_as_json(name):
        return name
    return json.loads(name)  # a quoted string reads back as the string, anything else as its value


def value_label(value_json: str) -> str:
    """A partition value as people read it: a string as itself, anything else as JSON text."""
    if value_json.startswith('"'):
        text: str = json.loads(value_json)
        return text
    return value_json


def job_directory(key: str, partition: Sequence[tuple[str, str]]) -> str:
    """The job's directory relative to the output directory (``/``-separated)."""
    parts = [key_name(key)]
    parts += [dimension_name(dim, value) for dim, value in partition]
    return "/".join(parts)


_DECODER = json.JSONDecoder()


def partition_pairs(text: str) -> list[tuple[str, str]]:
    """The (dimension, value JSON text) pairs of a compact partition text such as ``{"day":1,"ticker":"A"}``,
    each value's text exactly as written."""
    pairs: list[tuple[str, str]] = []
    position = 1
    while text[position] != "}":
        dim, end = _DECODER.raw_decode(text, position)
        _, stop = _DECODER.raw_decode(text, end + 1)
        pairs.append((dim, text[end + 1:stop]))
        position = stop + 1 if text[stop] == "," else stop
    return pairs


def dimension_name(dim: str, value_json: str) -> str:
    """The path component of one partition value: ``<dim>=<value>``, percent-encoded."""
    return encode_name(f"{dim}={value_name(value_json)}")


def parse_job_directory(relative: str) -> tuple[str, list[tuple[str, Any]]] | None:
    """The asset key and the partition (dimension, value) pairs of a job directory relative to the output
    directory, or None when the path is not one that `job_directory` writes."""
    parts = relative.replace(os.sep, "/").split("/")
    try:
        key = decode_name(parts[0])
        partition = []
        for part in parts[1:]:
            dim, equals, value = decode_name(part).partition("=")
            if not equals or not dim:
                return None
            partition.append((dim, value_from_name(value)))
    except (UnicodeDecodeError, ValueError):
        return None
    if not key or key_name(key) != parts[0]:
        return None
    return key, partition


def name_folding(out: str) -> Callable[[str], str] | None:
    """How the file system under `out` compares names, found by trying: None when names are kept as they
    are, else a function that maps a name to the form the file system compares (case folded, NFC)."""
    directory = os.path.abspath(out)
    while not os.path.isdir(directory):
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent
    composed = "\u00e9"
    try:
        fd, probe = tempfile.mkstemp(prefix=f".tamso-probe-Aa{composed}-", dir=directory)
    except OSError:
        return None  # nothing can be written there, so nothing can collide there either
    os.close(fd)
    try:
        head, name = os.path.split(probe)
        folds_case = os.path.exists(os.path.join(head, name.swapcase()))
        normalizes = os.path.exists(os.path.join(head, unicodedata.normalize("NFD", name)))
    finally:
        with contextlib.suppress(OSError):
            os.unlink(probe)
    if folds_case and normalizes:
        return lambda text: unicodedata.normalize("NFC", text).casefold()
    if folds_case:
        return str.casefold
    if normalizes:
        return lambda text: unicodedata.normalize("NFC", text)
    return None


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
        os.fchmod(fd, 0o666 & ~umask())  # mkstemp makes the file private; every other file follows the umask
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        discard(temporary)
        raise


def discard(path: str) -> None:
    """Remove the file at `path` if it is there: a temporary file left by a write that failed."""
    with contextlib.suppress(OSError):
        os.unlink(path)


_UMASK_LINE = re.compile(rb"^Umask:\s*([0-7]+)$", re.MULTILINE)
_umask_lock = threading.Lock()


def umask() -> int:
    """The process's file mode creation mask, read without changing it where the system allows."""
    try:
        with open("/proc/self/status", "rb") as stream:
            found = _UMASK_LINE.search(stream.read())
        if found:
            return int(found.group(1), 8)
    except OSError:
        pass
    with _umask_lock:  # elsewhere the mask can only be read by setting it, for as short a time as possible
        mask = os.umask(0o077)
        os.umask(mask)
    return mask


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


def size_text(size: int) -> str:
    """A file size for people: 812 B, 6.2 kB, 65.6 MB, 1.1 GB."""
    if size < 1000:
        return f"{size} B"
    value = float(size)
    for unit in ("kB", "MB", "GB"):
        value /= 1000
        if value < 999.95:
            return f"{value:.1f} {unit}"
    return f"{value / 1000:.1f} TB"


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
