"""How an asset's value is stored: the serializers that ``asset(serializer=...)`` names.

A serializer writes one value into one file, ``value.<extension>`` in the
job's directory, and reads it back. The built-in ones:

- ``json`` (the default): ``value.json``, written by the native core;
- ``parquet``: pandas or polars data frames and Arrow tables, ``value.parquet``;
- ``arrow``: the same, as an Arrow IPC file, ``value.arrow``, read memory-mapped;
- ``numpy``: arrays, ``value.npy`` (never pickled);
- ``pickle``: any picklable object, ``value.pkl``. Loading a pickle runs code:
  it is for values the pipeline itself wrote.

A table is read back as the library's type it was written from, which the
file records in its Arrow schema metadata. Equal values give identical bytes,
so a rerun upstream that returns what it returned before leaves its
downstream jobs fresh.

Pipelines add serializers with :func:`serializer` when their modules are
imported; installed packages through the ``tamso.serializers`` entry-point
group, whose entries name a :class:`Serializer` or a function returning one.
"""

from __future__ import annotations

import importlib
import importlib.util
import json
import os
import threading
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Mapping

from tamso import layout

VALUE_STEM = "value"
ENTRY_POINTS = "tamso.serializers"
ARROW_INSTALL = 'pip install "tamso[arrow]"'
_LIBRARY_KEY = b"tamso.library"


class SerializerError(Exception):
    """A serializer cannot be registered, found or used."""


@dataclass(frozen=True, slots=True)
class Serializer:
    """One way of storing values: `dump(value, path)` writes one file, `load(path)` returns the value."""

    name: str
    extension: str
    dump: Callable[[Any, str], None]
    load: Callable[[str], Any]
    accepts: Callable[[Any], bool] | None = None
    """Whether a value can be stored; None: whatever `dump` takes."""
    accepted: str = ""
    """The accepted types, for people."""
    requires: tuple[str, ...] = ()
    """Top-level modules the serializer imports, and what installs them."""
    install: str = ""

    @property
    def file_name(self) -> str:
        return f"{VALUE_STEM}.{self.extension}"

    def check(self, value: Any) -> None:
        """Raise TypeError when the serializer does not take `value`."""
        if self.accepts is not None and not self.accepts(value):
            raise TypeError(
                f"serializer {self.name!r} accepts {self.accepted}, but the asset returned"
                f" {_type_name(value)}"
            )

    def missing(self) -> list[str]:
        """The modules this serializer needs that are not installed."""
        return [name for name in self.requires if importlib.util.find_spec(name) is None]


def _type_name(value: Any) -> str:
    kind = type(value)
    module = kind.__module__
    return kind.__qualname__ if module == "builtins" else f"{module.split('.')[0]}.{kind.__qualname__}"


def _module(name: str) -> Any:
    """A library imported when first needed (untyped here: the table libraries need not be installed)."""
    return importlib.import_module(name)


# Tables ------------------------------------------------------------------------


def _library(value: Any) -> str | None:
    """Which table library `value` comes from: "pandas", "polars", "arrow", or None for anything else.

    Looked up by the type's module, so that no table library is imported to find out.
    """
    for kind in type(value).__mro__:
        module = kind.__module__.split(".")[0]
        name = kind.__name__
        if module == "pandas" and name == "DataFrame":
            return "pandas"
        if module == "polars" and name == "DataFrame":
            return "polars"
        if module == "pyarrow" and name in ("Table", "RecordBatch"):
            return "arrow"
    return None


def _is_table(value: Any) -> bool:
    return _library(value) is not None


_TABLES = "a pandas DataFrame, a polars DataFrame, a pyarrow Table or a pyarrow RecordBatch"


def _to_arrow(value: Any) -> Any:
    """`value` as an Arrow table whose schema metadata names the library it came from."""
    pa = _module("pyarrow")

    library = _library(value)
    if library == "pandas":
        table = pa.Table.from_pandas(value)
    elif library == "polars":
        table = value.to_arrow()
    elif isinstance(value, pa.RecordBatch):
        table = pa.Table.from_batches([value])
    else:
        table = value
    metadata = dict(table.schema.metadata or {})
    metadata[_LIBRARY_KEY] = str(library).encode()
    return table.replace_schema_metadata(metadata)


def _from_arrow(table: Any) -> Any:
    """The table as the library's type it was written from."""
    metadata = table.schema.metadata or {}
    library = metadata.get(_LIBRARY_KEY, b"arrow")
    if library == b"pandas":
        return table.to_pandas()
    if library == b"polars":
        return _module("polars").from_arrow(table.replace_schema_metadata(_without_library(metadata)))
    return table.replace_schema_metadata(_without_library(metadata) or None)


def _without_library(metadata: dict[bytes, bytes]) -> dict[bytes, bytes]:
    return {k: v for k, v in metadata.items() if k != _LIBRARY_KEY}


def _dump_parquet(value: Any, path: str) -> None:
    pq = _module("pyarrow.parquet")

    # No statistics of page indexes or bloom filters that vary; the writer adds no timestamp or random id.
    pq.write_table(_to_arrow(value), path, compression="zstd")


def _load_parquet(path: str) -> Any:
    pq = _module("pyarrow.parquet")

    return _from_arrow(pq.read_table(path, memory_map=True))


def _dump_arrow(value: Any, path: str) -> None:
    pa = _module("pyarrow")

    table = _to_arrow(value)
    with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
        writer.write_table(table)


def _load_arrow(path: str) -> Any:
    pa = _module("pyarrow")

    # Memory-mapped: the table's buffers are the file's pages, so a large table is not copied.
    with pa.memory_map(path, "r") as source:
        table = pa.ipc.open_file(source).read_all()
    return _from_arrow(table)


# Arrays and objects ----------------------------------------------------------------


def _is_array(value: Any) -> bool:
    kind = type(value)
    if not any(k.__module__ == "numpy" and k.__name__ == "ndarray" for k in kind.__mro__):
        return False
    return not value.dtype.hasobject


def _dump_numpy(value: Any, path: str) -> None:
    numpy = _module("numpy")

    with open(path, "wb") as stream:
        numpy.save(stream, value, allow_pickle=False)


def _load_numpy(path: str) -> Any:
    numpy = _module("numpy")

    return numpy.load(path, allow_pickle=False)


def _dump_pickle(value: Any, path: str) -> None:
    import pickle  # loaded by the assets that use it, not by every run

    with open(path, "wb") as stream:
        pickle.dump(value, stream, protocol=5)


def _load_pickle(path: str) -> Any:
    import pickle

    with open(path, "rb") as stream:
        return pickle.load(stream)


def _dump_json(value: Any, path: str) -> None:
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(json.dumps(value))


def _load_json(path: str) -> Any:
    with open(path, "rb") as stream:
        return json.loads(stream.read())


_BUILTIN: dict[str, Serializer] = {
    s.name: s
    for s in (
        Serializer("json", "json", _dump_json, _load_json),
        Serializer("parquet", "parquet", _dump_parquet, _load_parquet, _is_table, _TABLES, ("pyarrow",),
                   ARROW_INSTALL),
        Serializer("arrow", "arrow", _dump_arrow, _load_arrow, _is_table, _TABLES, ("pyarrow",), ARROW_INSTALL),
        Serializer("numpy", "npy", _dump_numpy, _load_numpy, _is_array, "a numpy ndarray (not of object dtype)",
                   ("numpy",), 'pip install numpy'),
        Serializer("pickle", "pkl", _dump_pickle, _load_pickle, None, "any picklable object"),
    )
}

JSON = _BUILTIN["json"]

_registered: dict[str, Serializer] = {}
_lock = threading.Lock()
_entry_points_loaded = False


def serializer(name: str, *, extension: str, dump: Callable[[Any, str], None],
               load: Callable[[str], Any]) -> Serializer:
    """Register a serializer: ``asset(serializer=name)`` then stores values with `dump(value, path)`, which writes
    one file, and reads them with `load(path)`. The file is ``value.<extension>``.

    Call it when a pipeline module is imported, so that the plan and every
    worker know it. A name that is built in, or registered already with
    other functions, raises ValueError.
    """
    if not isinstance(name, str) or not name:
        raise ValueError(f"a serializer's name must be a non-empty str, not {name!r}")
    if not isinstance(extension, str) or not extension or extension.startswith(".") or "/" in extension \
            or "\0" in extension or extension in ("tmp",):
        raise ValueError(f"serializer {name!r}: bad file extension {extension!r} (write it without the dot)")
    if not callable(dump) or not callable(load):
        raise TypeError(f"serializer {name!r}: dump and load must be callable")
    if name in _BUILTIN:
        raise ValueError(f"serializer {name!r} is built in and cannot be registered again")
    if extension in {s.extension for s in _BUILTIN.values()}:
        raise ValueError(f"serializer {name!r}: the extension {extension!r} belongs to a built-in serializer")
    made = Serializer(name, extension, dump, load, None, "whatever its dump function takes")
    with _lock:
        known = _registered.get(name)
        if known is not None:
            if (known.extension, known.dump, known.load) == (extension, dump, load) or _same_source(known, made):
                return known
            raise ValueError(f"serializer {name!r} is registered already, with other functions"
                             f" ({_where(known.dump)})")
        _registered[name] = made
    return made


def _where(function: Any) -> str:
    return f"{getattr(function, '__module__', '?')}.{getattr(function, '__qualname__', '?')}"


def _same_source(a: Serializer, b: Serializer) -> bool:
    """The same functions, from a module that ran again (reloaded, say)."""
    return a.extension == b.extension and _where(a.dump) == _where(b.dump) and _where(a.load) == _where(b.load)


_broken: dict[str, str] = {}
"""Entry points that could not be loaded, by name: why."""


def _load_entry_points() -> None:
    """Register the serializers of installed packages (once). An entry point names a :class:`Serializer`, a
    mapping or object with ``extension``, ``dump`` and ``load`` (and optionally ``name``, else the entry's name),
    or a function returning one of these. One that fails is remembered and reported when its name is asked for,
    so that a broken package does not hide the others."""
    global _entry_points_loaded
    if _entry_points_loaded:
        return
    _entry_points_loaded = True
    import importlib.metadata  # only here: it costs a run that names no other serializer some 15 ms

    for entry in importlib.metadata.entry_points(group=ENTRY_POINTS):
        try:
            found = entry.load()
            if callable(found) and not isinstance(found, Serializer):
                found = found()
            fields = found if isinstance(found, Mapping) else {
                key: getattr(found, key) for key in ("name", "extension", "dump", "load") if hasattr(found, key)}
            serializer(str(fields.get("name") or entry.name), extension=fields["extension"], dump=fields["dump"],
                       load=fields["load"])
        except Exception as exc:  # noqa: BLE001 - reported when the serializer is asked for
            _broken[entry.name] = (f"the entry point {entry.name!r} ({entry.value}) of {ENTRY_POINTS!r} cannot be"
                                   f" used: {type(exc).__qualname__}: {exc}")


def get(name: str | None) -> Serializer:
    """The serializer called `name` (None: json); raises SerializerError naming the known ones."""
    if name is None:
        return JSON
    found = _BUILTIN.get(name) or _registered.get(name)
    if found is None:
        _load_entry_points()
        found = _registered.get(name)
    if found is None and name in _broken:
        raise SerializerError(_broken[name])
    if found is None:
        raise SerializerError(f"unknown serializer {name!r} (known: {', '.join(known())})")
    return found


def known() -> list[str]:
    """The names of every serializer known in this process, built-in ones first."""
    return [*_BUILTIN, *sorted(_registered)]


def by_file(file_name: str) -> Serializer | None:
    """The serializer whose value file is called `file_name`, if any is known."""
    stem, dot, extension = file_name.partition(".")
    if stem != VALUE_STEM or not dot:
        return None
    for found in (*_BUILTIN.values(), *_registered.values()):
        if found.extension == extension:
            return found
    return None


def value_files(directory: str) -> list[str]:
    """The names of the value files in `directory` (``value.<extension>``), sorted."""
    try:
        names = os.listdir(directory)
    except OSError:
        return []
    return sorted(n for n in names if n.startswith(VALUE_STEM + ".") and not n.endswith(".tmp"))


def current_value_file(directory: str, names: Iterable[str] | None = None, size: int | None = None) -> str | None:
    """The name of the value file in `directory` (among `names`, when the caller has listed it): the one of
    `size` bytes when that is given and one matches (the recorded value), else the one written last."""
    found = [n for n in names if n.startswith(VALUE_STEM + ".") and not n.endswith(".tmp")] \
        if names is not None else value_files(directory)
    if len(found) <= 1:
        return found[0] if found else None
    stats: list[tuple[int, int, str]] = []
    for name in found:
        try:
            stat = os.stat(os.path.join(directory, name))
        except OSError:
            continue
        stats.append((stat.st_size, stat.st_mtime_ns, name))
    matching = [s for s in stats if s[0] == size]
    latest = max(matching or stats, key=lambda s: s[1], default=None)
    return None if latest is None else latest[2]


def format_of(file_name: str) -> str:
    """The name of the serializer that writes `file_name`, or its extension when none here does."""
    found = by_file(file_name)
    return found.name if found is not None else file_name.partition(".")[2]


def dump_atomic(chosen: Serializer, value: Any, directory: str) -> str:
    """Write `value` into ``directory/value.<extension>`` by way of a temporary file renamed over it once `dump`
    has written and closed it, so that a reader sees the old file or the new one, never part of one. Returns the
    file's path."""
    target = os.path.join(directory, chosen.file_name)
    temporary = os.path.join(directory, f".{VALUE_STEM}-{os.getpid()}-{threading.get_ident()}.{chosen.extension}")
    try:
        chosen.dump(value, temporary)
        if not os.path.isfile(temporary):
            raise FileNotFoundError(f"serializer {chosen.name!r} wrote no file")
        os.replace(temporary, target)
    except BaseException:
        layout.discard(temporary)
        raise
    return target
