"""Planning: from pipeline modules to the ordered jobs of a run.

The plan imports the listed modules, describes them with ``inspect_modules``
and turns the document into a graph of assets and a list of jobs: one per
asset, or one per combination of partition values for a partitioned asset.
Each job knows its directory, the jobs it reads and how its keyword-argument
text is put together from their values. Planning runs nothing and writes
nothing; every inconsistency in the pipeline is a :class:`PlanError`.
"""

from __future__ import annotations

import graphlib
import hashlib
import importlib
import inspect
import itertools
import json
import os
import sys
import warnings
from dataclasses import dataclass, field, replace
from types import ModuleType
from typing import Any, Iterable, Mapping, MutableMapping, Sequence

from tamso import imports, layout, serializers
from tamso._cli import Notice, display
from tamso._tamso import asset as _asset
from tamso._tamso import inspect_modules
from tamso._tamso import partitions as _partitions

Partition = tuple[tuple[str, str], ...]
"""A job's partition: (dimension, value as JSON text) pairs, dimensions in ascending order."""

Piece = str | int
"""Part of a keyword-argument text: literal JSON text, or the value of the job with that id."""


class PlanError(Exception):
    """The pipeline or the selection cannot be planned; nothing was run or written.

    `summary` is the message's first line; `details` are the lines that follow
    it (the lines of pipeline code behind a failed import), each on its own.
    """

    def __init__(self, summary: str, details: Sequence[str] = ()) -> None:
        super().__init__("\n".join([summary, *details]))
        self.summary = summary
        self.details = tuple(details)


class PipelineWarning(Notice):
    """Something in the pipeline is likely a mistake but does not stop the run (a listed module with no assets)."""


@dataclass(frozen=True, slots=True)
class Dimension:
    name: str
    values: tuple[str, ...]
    """Each value's JSON text, in declared order."""


@dataclass(frozen=True, slots=True)
class Input:
    parameter: str
    upstream: str
    """The upstream asset's key."""


@dataclass(frozen=True, slots=True)
class Asset:
    key: str
    module: str
    """The module that defines the function, which is the module that runs it."""
    function: str
    file_path: str
    function_source: str
    dimensions: tuple[Dimension, ...]
    inputs: tuple[Input, ...]
    seed: bytes = field(repr=False)
    """Digest of what every job of the asset fingerprints alike: key, module source, function source (and the
    serializer, when it is not json), and the source of every project module that the defining module imports
    (`closure`)."""
    serializer: str = "json"
    """The name of the serializer that stores the asset's values."""
    value_file: str = layout.VALUE_FILE
    """The name of the file that holds a job's value."""
    closure: imports.Closure | None = field(default=None, repr=False)
    """The project code the asset's fingerprint covers: its defining module and those it reaches by imports."""

    @property
    def code(self) -> tuple[imports.CodeFile, ...]:
        """The project modules of `closure`, by name."""
        return () if self.closure is None else self.closure.files

    @property
    def partitioned(self) -> bool:
        return bool(self.dimensions)


class Job:
    """One job of the plan.

    A job holds only its id and its asset's shape (what every job of the asset
    shares); the rest is derived from the id when asked for, so that a plan of
    a million jobs takes a few tens of bytes per job.
    """

    __slots__ = ("id", "_shape")

    def __init__(self, id: int, shape: _Shape) -> None:
        self.id = id
        self._shape = shape

    @property
    def key(self) -> str:
        return self._shape.key

    @property
    def partition(self) -> Partition:
        """(dimension, value as JSON text) pairs, dimensions in ascending order."""
        return tuple(zip(self._shape.names, self._shape.combo(self.id)))

    @property
    def directory(self) -> str:
        """Relative to the output directory, ``/``-separated."""
        shape = self._shape
        last_id, last = shape.last_directory
        if last_id == self.id:  # the runner asks for it again as it reports the job
            return last
        directory = shape.root + "".join([f[v] for f, v in zip(shape.folders, shape.combo(self.id))])
        shape.last_directory = (self.id, directory)  # one assignment, as for `combo`
        return directory

    @property
    def partition_text(self) -> str:
        """The partition as a JSON object text, dimensions in order: the job's key in the state store."""
        shape = self._shape
        return "{" + ",".join([m[v] for m, v in zip(shape.members, shape.combo(self.id))]) + "}"

    @property
    def kwargs(self) -> tuple[Piece, ...]:
        """The keyword-argument JSON text: literal pieces, and for an int the value of that upstream job."""
        return self._shape.assemble(self.id)[0]

    @property
    def upstream(self) -> tuple[int, ...]:
        """The jobs whose values this job reads, each once, in the order their values appear."""
        shape = self._shape
        return shape.assemble(self.id)[1] if shape.feeds else ()

    @property
    def seed(self) -> bytes:
        return self._shape.seed

    def __repr__(self) -> str:
        return f"Job(id={self.id}, key={self.key!r}, partition={self.partition!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Job) and (self.id, self._shape) == (other.id, other._shape)

    def __hash__(self) -> int:
        return hash((self.id, self.key))

    def partition_values(self) -> dict[str, Any]:
        """The partition as Python values, dimension -> value."""
        shape = self._shape
        return {dim: _parsed(value) for dim, value in zip(shape.names, shape.combo(self.id))}

    def label(self) -> str:
        """``key`` or ``key[dim=value, ...]``, for people."""
        if not self.partition:
            return self.key
        inner = ", ".join(f"{dim}={layout.value_label(value)}" for dim, value in self.partition)
        return f"{self.key}[{inner}]"

    def fingerprint(self, upstream_digests: Iterable[str], partition_text: str | None = None) -> str:
        """SHA-256 over the asset's seed, the partition and the digests of the values it reads (`partition_text`
        is the job's own, when the caller has it already)."""
        text = self.partition_text if partition_text is None else partition_text
        digest = hashlib.sha256(self.seed + text.encode("utf-8"))
        for value_digest in upstream_digests:
            digest.update(b"\0" + value_digest.encode("ascii"))
        return digest.hexdigest()


@dataclass(frozen=True, slots=True)
class Edge:
    upstream: str
    downstream: str
    parameter: str


@dataclass(frozen=True, slots=True)
class Plan:
    assets: dict[str, Asset]
    """Every asset, upstream before downstream."""
    edges: tuple[Edge, ...]
    jobs: tuple[Job, ...]
    """Every job of every asset, upstream before downstream; a job's id is its index."""
    jobs_of: dict[str, range]
    selected: tuple[int, ...]
    """The ids of the jobs to run, in order."""

    def directory_parts(self) -> list[tuple[str, list[list[str]]]]:
        """Per asset that has jobs: the first part of its jobs' directories and, per dimension, the part each
        value adds (with its leading ``/``); a job's directory is the first part, then one part per dimension."""
        parts = []
        for ids in self.jobs_of.values():
            if ids:
                shape = self.jobs[ids.start]._shape
                parts.append((shape.root, [list(folders.values()) for folders in shape.folders]))
        return parts

    def external(self) -> list[int]:
        """Jobs outside the selection whose values selected jobs read."""
        if len(self.selected) == len(self.jobs):
            return []
        chosen = set(self.selected)
        needed = {u for j in self.selected for u in self.jobs[j].upstream}
        return sorted(needed - chosen)


_SCALARS: dict[str, Any] = {}


def _parsed(text: str) -> Any:
    """A value's JSON text parsed; scalars are parsed once and shared, containers afresh each time."""
    found = _SCALARS.get(text, _SCALARS)
    if found is not _SCALARS:
        return found
    value = json.loads(text)
    if not isinstance(value, (list, dict)) and len(_SCALARS) < 1_000_000:
        _SCALARS[text] = value
    return value


def partition_text(partition: Partition) -> str:
    if not partition:
        return "{}"
    return "{" + ",".join(f"{json.dumps(dim, ensure_ascii=False)}:{value}" for dim, value in partition) + "}"


def value_text(value: Any) -> str:
    """A Python value as the JSON text that a partition universe holds for it."""
    try:
        holder = _asset(partitions={"d": _partitions([value])})(_placeholder)
    except (TypeError, ValueError) as exc:
        raise PlanError(f"{value!r} is not a partition value: {exc}") from None
    text: str = holder.__tamso_metadata__["partitions"]["d"]["values_json"]
    return text[1:-1]


def _placeholder() -> None:
    pass


def build(
    modules: Sequence[str],
    *,
    select: Sequence[str] = (),
    partitions: Iterable[tuple[str, Any]] = (),
    code_cache: MutableMapping[str, imports.CodeEntry] | None = None,
) -> Plan:
    """Plan the jobs of `modules`; `select` and `partitions` narrow what runs.

    `code_cache` keeps what each project source file imports between plans (see :mod:`tamso.imports`); entries
    of files that changed are replaced in it.
    """
    if not modules:
        raise PlanError("no module to run")
    modules = [module_name(name) for name in modules]
    imported = [_import(name) for name in modules]
    try:
        document = json.loads(inspect_modules(list(modules)))
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001 - pipeline code may raise anything while described
        raise PlanError(f"cannot inspect the modules: {display(exc)}") from None
    listed = {record["module_path"] for record in document["assets"]}
    for name in dict.fromkeys(modules):
        if name not in listed:
            warnings.warn(PipelineWarning(f"module {name!r} holds no assets"), stacklevel=2)
    cache = imports.CodeCache() if code_cache is None else code_cache
    assets = _assets(document["assets"], {m.__name__: m for m in imported}, cache)
    _check_signatures(assets)
    edges = _edges(assets)
    order = _order(assets, edges)
    assets = {key: assets[key] for key in order}
    jobs, jobs_of = _jobs(assets)
    selected = _select(assets, edges, jobs, jobs_of, select, partitions)
    return Plan(assets, tuple(edges), tuple(jobs), jobs_of, tuple(selected))


def module_name(argument: str) -> str:
    """The dotted module name of `argument`: itself, or the module that a path to a ``.py`` file or a package
    directory below the working directory holds (``pipeline/reports.py`` is ``pipeline.reports``)."""
    if not (argument.endswith(".py") or "/" in argument or os.sep in argument):
        return argument
    if not os.path.exists(argument):
        if "/" in argument or os.sep in argument:
            raise PlanError(f"cannot import module {argument!r}: no such file or directory, looked for from the"
                            f" working directory {os.getcwd()} (a module is named by its dotted name, e.g."
                            " pipeline.reports, or by the path of its file below the working directory)")
        return argument  # a dotted name whose last part is "py"
    relative = os.path.relpath(os.path.abspath(argument))
    if relative.startswith(os.pardir) or os.path.isabs(relative):
        raise PlanError(f"cannot import module {argument!r}: it lies outside the working directory {os.getcwd()};"
                        " run tamso from the directory its modules import from and name it by its dotted name")
    stem = relative[:-3] if relative.endswith(".py") and os.path.isfile(argument) else relative
    parts = stem.split(os.sep)
    if parts[-1] == "__init__":
        parts.pop()
    if not parts or not all(part.isidentifier() for part in parts):
        return argument
    return ".".join(parts)


def _import(name: str) -> ModuleType:
    try:
        return importlib.import_module(name)
    except KeyboardInterrupt:
        raise
    except ModuleNotFoundError as exc:
        if exc.name is None or not (name == exc.name or name.startswith(exc.name + ".")):
            raise PlanError(*_import_failure(name, exc)) from None
        raise PlanError(
            f"cannot import module {name!r}: {display(exc)}, looked for from the working directory {os.getcwd()}"
            " (a module is named by its dotted name, e.g. pipeline.reports, or by the path of its file below the"
            " working directory)"
        ) from None
    except BaseException as exc:  # noqa: BLE001 - a module body may raise anything, SystemExit included
        raise PlanError(*_import_failure(name, exc)) from None


def _import_failure(name: str, exc: BaseException) -> tuple[str, list[str]]:
    """Why the module did not import: the error, the frames of pipeline code that raised it, and a hint when
    ``@asset`` lost its parentheses."""
    from tamso import _tracebacks  # loaded when an import fails, as the suggestions' difflib is

    lines: list[str] = []
    frames = _tracebacks.pipeline_frames(exc.__traceback__)
    for frame in frames:
        code = f": {frame.line}" if frame.line else ""
        lines.append(f"  {_tracebacks.where(frame.filename, frame.lineno)}{code}")
    if isinstance(exc, TypeError) and (
        "asset() takes 0 positional arguments" in str(exc) or (frames and (frames[-1].line or "").strip() == "@asset")
    ):
        lines.append("  write @asset() with parentheses: asset(...) takes only options and returns the decorator")
    return f"cannot import module {name!r}: {display(exc)}", lines


def _check_signatures(assets: Mapping[str, Asset]) -> None:
    """Every asset's function takes the keyword arguments its jobs pass: its dimensions and input parameters."""
    for asset in assets.values():
        function = _function_of(asset)
        if function is None:
            continue
        try:
            signature = inspect.signature(function)
        except (TypeError, ValueError):
            continue
        passed = [d.name for d in asset.dimensions] + [i.parameter for i in asset.inputs]
        try:
            signature.bind(**dict.fromkeys(passed))
        except TypeError as exc:
            given = ", ".join(passed) if passed else "no arguments"
            raise PlanError(
                f"asset {asset.key!r}: its function {asset.function}{signature} cannot be called as its jobs"
                f" call it (with {given}): {exc}"
            ) from None


def _function_of(asset: Asset) -> Any:
    """The function that the asset's jobs will call, as the core finds it; None when it cannot be found."""
    module = sys.modules.get(asset.module)
    try:
        found = getattr(module, asset.function)
    except Exception:  # noqa: BLE001 - the job will report it
        return None
    try:
        return found.__tamso_original__
    except Exception:  # noqa: BLE001 - as the core does, a failing lookup means the object itself is called
        return found


def _defining_module(record: dict[str, Any], modules: Mapping[str, ModuleType]) -> str:
    """The module that defines the asset's function: the unwrapped function's ``__module__``."""
    listed = record["module_path"]
    module = modules.get(listed) or sys.modules.get(listed)
    if module is None:
        return str(listed)
    own_file = getattr(module, "__file__", None)
    if own_file and os.path.realpath(own_file) == record["file_path"]:
        return str(listed)
    for value in list(vars(module).values()):
        try:
            if getattr(value, "__tamso_kind__", None) != "asset":
                continue
            original = getattr(value, "__tamso_original__", value)
            if getattr(original, "__name__", None) != record["function_name"]:
                continue
            code = getattr(original, "__code__", None)
            if code is not None and os.path.realpath(code.co_filename) != record["file_path"]:
                continue
            defining = getattr(original, "__module__", None)
        except Exception:  # noqa: BLE001 - a hostile member is simply not the one we look for
            continue
        if isinstance(defining, str) and defining:
            return defining
    return str(listed)


def _assets(records: list[dict[str, Any]], modules: Mapping[str, ModuleType],
            cache: MutableMapping[str, imports.CodeEntry]) -> dict[str, Asset]:
    seen: dict[tuple[str, str], dict[str, Any]] = {}
    for record in records:
        seen.setdefault((record["file_path"], record["function_name"]), record)
    by_key: dict[str, Asset] = {}
    raw_inputs: dict[str, dict[str, str]] = {}
    references: dict[str, str] = {}
    file_digests: dict[str, str] = {}
    defining = {where: _defining_module(record, modules) for where, record in seen.items()}
    code = imports.closures(set(defining.values()), cache)
    for (file_path, function), record in seen.items():
        metadata = record["decorator_metadata"]
        if not isinstance(metadata, dict):
            raise PlanError(f"asset {function!r} in {file_path}: its metadata is not a declaration")
        module = defining[file_path, function]
        name = metadata.get("name")
        key = name if isinstance(name, str) else f"{module}:{function}"
        if not key:
            raise PlanError(f"asset {module}:{function}: its name is empty")
        if key in by_key:
            other = by_key[key]
            raise PlanError(
                f"two assets have the key {key!r}: {other.module}:{other.function} ({other.file_path})"
                f" and {module}:{function} ({file_path})"
            )
        dimensions = _dimensions(key, metadata.get("partitions"))
        inputs = metadata.get("inputs") or {}
        for dim in dimensions:
            if dim.name in inputs:
                raise PlanError(f"asset {key!r}: dimension {dim.name!r} is also an input parameter")
        if file_path not in file_digests:
            # The import graph has just digested the defining module's file, unless it is no project module.
            own = code[module].own
            same = own is not None and (own.path == file_path or os.path.realpath(own.path) == file_path)
            file_digests[file_path] = own.sha256 if own is not None and same else _file_digest(file_path, record)
        seed = hashlib.sha256()
        chosen = _serializer(key, metadata.get("serializer"))
        parts = [key, file_digests[file_path], record["function_source"]]
        if chosen is not serializers.JSON:
            parts.append(chosen.name)
        for part in parts:
            data = part.encode("utf-8", "surrogatepass")
            seed.update(len(data).to_bytes(8, "little") + data)
        seed.update(code[module].digest)
        by_key[key] = Asset(
            key=key,
            module=module,
            function=function,
            file_path=file_path,
            function_source=record["function_source"],
            dimensions=dimensions,
            inputs=(),
            seed=seed.digest(),
            serializer=chosen.name,
            value_file=chosen.file_name,
            closure=code[module],
        )
        raw_inputs[key] = inputs
        references[f"{file_path}:{function}"] = key
    for key, inputs in raw_inputs.items():
        resolved = tuple(
            Input(parameter, _resolve(key, parameter, reference, references))
            for parameter, reference in sorted(inputs.items())
        )
        by_key[key] = replace(by_key[key], inputs=resolved)
    return by_key


def _serializer(key: str, name: Any) -> serializers.Serializer:
    """The serializer an asset names, known and with its libraries installed."""
    try:
        chosen = serializers.get(name)
    except serializers.SerializerError as exc:
        raise PlanError(f"asset {key!r}: {exc}") from None
    missing = chosen.missing()
    if missing:
        which = "it is" if len(missing) == 1 else "they are"
        raise PlanError(f"asset {key!r}: serializer {chosen.name!r} needs {' and '.join(missing)}, but {which}"
                        f" not installed: {chosen.install}")
    return chosen


def _file_digest(file_path: str, record: dict[str, Any]) -> str:
    """Digest of the defining module's source: its file, whichever modules were listed."""
    try:
        with open(file_path, "rb") as stream:
            return hashlib.file_digest(stream, "sha256").hexdigest()
    except OSError:
        return hashlib.sha256(str(record["module_source"]).encode("utf-8", "surrogatepass")).hexdigest()


def _dimensions(key: str, declared: Any) -> tuple[Dimension, ...]:
    if not declared:
        return ()
    dimensions = []
    for name in sorted(declared):
        spec = declared[name]
        if not isinstance(spec, dict) or spec.get("kind") != "inline":
            raise PlanError(f"asset {key!r}: dimension {name!r} is not an inline list of values")
        values = _element_texts(spec["values_json"])
        if len(set(values)) != len(values):
            repeated = next(v for v in values if values.count(v) > 1)
            raise PlanError(f"asset {key!r}: dimension {name!r} lists the value {repeated} more than once")
        dimensions.append(Dimension(name, tuple(values)))
    return tuple(dimensions)


_DECODER = json.JSONDecoder()


def _element_texts(array: str) -> list[str]:
    """The JSON text of each element of a compact JSON array, exactly as written."""
    texts: list[str] = []
    if array == "[]":
        return texts
    position = 1
    while True:
        _, end = _DECODER.raw_decode(array, position)
        texts.append(array[position:end])
        if array[end] == "]":
            return texts
        position = end + 1


def _resolve(key: str, parameter: str, reference: str, references: Mapping[str, str]) -> str:
    found = references.get(reference)
    if found is None:
        path, colon, function = reference.rpartition(":")
        if colon and path:
            found = references.get(f"{os.path.realpath(path)}:{function}")
    if found is None:
        raise PlanError(f"asset {key!r}, input {parameter!r}: {reference!r} names no inspected asset")
    return found


def _edges(assets: Mapping[str, Asset]) -> list[Edge]:
    return [Edge(i.upstream, a.key, i.parameter) for a in assets.values() for i in a.inputs]


def _order(assets: Mapping[str, Asset], edges: Sequence[Edge]) -> list[str]:
    graph: dict[str, set[str]] = {key: set() for key in sorted(assets)}
    for edge in edges:
        graph[edge.downstream].add(edge.upstream)
    sorter = graphlib.TopologicalSorter(graph)
    try:
        sorter.prepare()
    except graphlib.CycleError as exc:
        cycle = list(exc.args[1])  # upstream before downstream, the first key again at the end
        raise PlanError("cycle between assets: " + " -> ".join(cycle)) from None
    order: list[str] = []
    while sorter.is_active():
        ready = sorted(sorter.get_ready())
        order += ready
        sorter.done(*ready)
    return order


class _Shape:
    """The jobs of one asset, described once.

    Job ``start + i`` is the i-th combination of the dimensions' values (the
    last dimension varying fastest, as ``itertools.product`` goes); its
    partition, directory and keyword-argument recipe are put together from
    per-value pieces made here.
    """

    __slots__ = ("key", "seed", "start", "count", "names", "values", "strides", "positions", "members", "folders",
                 "root", "feeds", "last", "last_directory")

    def __init__(self, asset: Asset, start: int) -> None:
        dimensions = asset.dimensions
        self.key = asset.key
        self.seed = asset.seed
        self.start = start
        self.names = tuple(d.name for d in dimensions)
        self.values = tuple(d.values for d in dimensions)
        strides = []
        count = 1
        for d in reversed(dimensions):
            strides.append(count)
            count *= len(d.values)
        self.count = count
        self.strides = tuple(reversed(strides))
        self.positions = tuple({v: i for i, v in enumerate(d.values)} for d in dimensions)
        # What each value contributes, worked out once per value rather than once per job.
        names = [json.dumps(d.name, ensure_ascii=False) for d in dimensions]
        self.members = tuple({v: f"{name}:{v}" for v in d.values} for d, name in zip(dimensions, names))
        self.folders = tuple({v: "/" + layout.dimension_name(d.name, v) for v in d.values} for d in dimensions)
        self.root = layout.key_name(asset.key)
        self.feeds: list[_Feed] = []
        self.last: tuple[int, tuple[str, ...]] = (-1, ())
        self.last_directory: tuple[int, str] = (-1, "")

    def combo(self, job_id: int) -> tuple[str, ...]:
        """The job's value of each dimension."""
        last_id, last = self.last
        if job_id == last_id:  # the runner asks for several things of one job in a row
            return last
        index = job_id - self.start
        if len(self.values) == 1:
            combo: tuple[str, ...] = (self.values[0][index],)
        else:
            combo = tuple([values[index // stride % len(values)] for values, stride in zip(self.values, self.strides)])
        self.last = (job_id, combo)  # one assignment, so a reader in another thread sees a matching pair
        return combo

    def job_of(self, combo: Sequence[str]) -> int | None:
        """The id of the job with these values, None when a value is not the dimension's."""
        job = self.start
        for positions, stride, value in zip(self.positions, self.strides, combo):
            position = positions.get(value)
            if position is None:
                return None
            job += position * stride
        return job

    def assemble(self, job_id: int) -> tuple[tuple[Piece, ...], tuple[int, ...]]:
        """The job's keyword-argument pieces and the jobs it reads."""
        combo = self.combo(job_id)
        text = "{" + ",".join([m[v] for m, v in zip(self.members, combo)])
        separator = "," if combo else ""
        pieces: list[Piece] = []
        upstream: list[int] = []
        for feed in self.feeds:
            text, separator = feed(combo, pieces, text, separator, upstream)
        pieces.append(text + "}")
        return tuple(pieces), tuple(dict.fromkeys(upstream)) if len(upstream) > 1 else tuple(upstream)


def _jobs(assets: Mapping[str, Asset]) -> tuple[list[Job], dict[str, range]]:
    jobs: list[Job] = []
    jobs_of: dict[str, range] = {}
    shapes: dict[str, _Shape] = {}
    for asset in assets.values():
        shape = _Shape(asset, len(jobs))
        shape.feeds = [_feed(asset, shape, assets[i.upstream], shapes[i.upstream], i) for i in asset.inputs]
        if any(feed.missing for feed in shape.feeds):
            _name_missing(shape)
        shapes[asset.key] = shape
        jobs += [Job(job_id, shape) for job_id in range(shape.start, shape.start + shape.count)]
        jobs_of[asset.key] = range(shape.start, len(jobs))
    return jobs, jobs_of


class _Feed:
    """How one input of an asset takes its value from the upstream asset's jobs (rules a, b and c)."""

    def __init__(self, head: str, where: str, up_names: list[str], up: _Shape) -> None:
        self.head = head
        self.where = where
        self.up_names = up_names
        self.up = up
        self.missing = False
        """Rule b: some downstream job finds no upstream partition."""
        self.single: int | None = None
        self.positions: list[int] | None = None
        self.shared: list[int] = []
        """Rule c: where the downstream job's values of the shared dimensions are in its combination ..."""
        self.shared_strides: list[tuple[dict[str, int], int]] = []
        """... and the upstream's positions and stride of each of them."""
        self.members: list[tuple[str, int]] = []
        """Rule c: each member's text and its job's offset among the agreeing upstream jobs, in job order."""

    def __call__(self, combo: tuple[str, ...], pieces: list[Piece], text: str, separator: str,
                 upstream: list[int]) -> tuple[str, str]:
        text += separator + self.head
        if self.single is not None:  # a: the one value of an unpartitioned upstream
            job = self.single
        elif self.positions is not None:  # b: the upstream partition with the job's own values
            found = self.up.job_of([combo[p] for p in self.positions])
            assert found is not None, "checked when planned"
            job = found
        else:  # c: every agreeing upstream partition, keyed by its other values
            text += "{"
            base: int | None = self.up.start
            for p, (positions, stride) in zip(self.shared, self.shared_strides):
                position = positions.get(combo[p])
                if position is None:  # no upstream partition agrees: an empty mapping
                    base = None
                    break
                base += position * stride  # type: ignore[operator]
            if base is not None:
                for i, (member, offset) in enumerate(self.members):
                    job = base + offset
                    pieces.append(text + ("," if i else "") + member)
                    pieces.append(job)
                    upstream.append(job)
                    text = ""
            return text + "}", ","
        pieces.append(text)
        pieces.append(job)
        upstream.append(job)
        return "", ","


def _feed(down: Asset, down_shape: _Shape, up: Asset, up_shape: _Shape, input: Input) -> _Feed:
    down_names = [d.name for d in down.dimensions]
    up_names = [d.name for d in up.dimensions]
    where = f"asset {down.key!r}, input {input.parameter!r}: upstream {up.key!r}"
    feed = _Feed(json.dumps(input.parameter) + ":", where, up_names, up_shape)
    if not up.dimensions:
        feed.single = up_shape.start
        return feed
    if all(name in down_names for name in up_names):
        feed.positions = [down_names.index(name) for name in up_names]
        # Every downstream job finds its upstream partition when each of its values is the upstream's.
        feed.missing = down_shape.count > 0 and any(
            v not in up_shape.positions[i] for i, p in enumerate(feed.positions) for v in down_shape.values[p])
        return feed
    shared_up = [i for i, name in enumerate(up_names) if name in down_names]
    others = [i for i, name in enumerate(up_names) if name not in down_names]
    feed.shared = [down_names.index(up_names[i]) for i in shared_up]
    feed.shared_strides = [(up_shape.positions[i], up_shape.strides[i]) for i in shared_up]
    for values in itertools.product(*(up.dimensions[i].values for i in others)):
        member = "|".join(layout.value_label(v) for v in values)
        offset = sum(up_shape.positions[i][v] * up_shape.strides[i] for i, v in zip(others, values))
        feed.members.append((json.dumps(member) + ":", offset))
    if len({m for m, _ in feed.members}) < len(feed.members) and up_shape.count:
        _clash(where, up_names, shared_up, others, up_shape)
    return feed


def _name_missing(shape: _Shape) -> None:
    """Raise the PlanError for the first job, in job order and input order, that finds no upstream partition."""
    for job_id in range(shape.start, shape.start + shape.count):
        combo = shape.combo(job_id)
        for feed in shape.feeds:
            if feed.positions is not None:
                wanted = tuple(combo[p] for p in feed.positions)
                if feed.up.job_of(wanted) is None:
                    raise PlanError(f"{feed.where} has no partition {_show(feed.up_names, wanted)}")


def _clash(where: str, up_names: list[str], shared_up: list[int], others: list[int], up: _Shape) -> None:
    """Raise the PlanError for the first two upstream partitions, in job order, that give one key."""
    first: dict[tuple[tuple[str, ...], str], tuple[str, ...]] = {}
    for job_id in range(up.start, up.start + up.count):
        combo = up.combo(job_id)
        shared_values = tuple(combo[i] for i in shared_up)
        member = "|".join(layout.value_label(combo[i]) for i in others)
        clash = first.setdefault((shared_values, member), combo)
        if clash is not combo:
            raise PlanError(
                f"{where}: partitions {_show(up_names, clash)} and {_show(up_names, combo)}"
                f" both give the key {member!r}"
            )


def _show(names: Sequence[str], values: Sequence[str]) -> str:
    return ", ".join(f"{n}={layout.value_label(v)}" for n, v in zip(names, values))


def _select(
    assets: Mapping[str, Asset],
    edges: Sequence[Edge],
    jobs: Sequence[Job],
    jobs_of: Mapping[str, range],
    select: Sequence[str],
    partitions: Iterable[tuple[str, Any]],
) -> list[int]:
    chosen = set(assets) if not select else _chosen(assets, edges, select)
    wanted: dict[str, set[str]] = {}
    for dim, value in partitions:
        text = value_text(value)
        _check_partition(assets, chosen, dim, value, text)
        wanted.setdefault(dim, set()).add(text)
    selected: list[int] = []
    for key, asset in assets.items():
        if key not in chosen:
            continue
        filters = [(i, wanted[d.name]) for i, d in enumerate(asset.dimensions) if d.name in wanted]
        if not filters:
            selected += jobs_of[key]
            continue
        for job_id in jobs_of[key]:
            partition = jobs[job_id].partition
            if all(partition[i][1] in values for i, values in filters):
                selected.append(job_id)
    return selected


def _suggest(word: str, candidates: Iterable[str], quote: Any = repr) -> str:
    """`` (did you mean 'x'?)`` for the candidates close to `word`, case aside; empty when none is."""
    by_folded: dict[str, list[str]] = {}
    for candidate in candidates:
        by_folded.setdefault(candidate.casefold(), []).append(candidate)
    import difflib

    close = difflib.get_close_matches(word.casefold(), list(by_folded), n=3, cutoff=0.6)
    found = [c for folded in close for c in by_folded[folded]][:3]
    return f" (did you mean {' or '.join(quote(c) for c in found)}?)" if found else ""


def _listing(texts: Sequence[str], limit: int = 10) -> str:
    shown = ", ".join(texts[:limit])
    return shown + (f", ... ({len(texts)} in all)" if len(texts) > limit else "")


def _check_partition(assets: Mapping[str, Asset], chosen: set[str], dim: str, value: Any, text: str) -> None:
    """A ``--partition DIM=VALUE`` must name a dimension of a selected asset and one of its values."""
    universes: dict[str, list[str]] = {}
    for key, asset in assets.items():
        if key in chosen:
            for dimension in asset.dimensions:
                universes.setdefault(dimension.name, []).extend(dimension.values)
    shown = f"--partition {dim}={layout.value_label(text)}"
    if dim not in universes:
        if not universes:
            raise PlanError(f"{shown}: no selected asset is partitioned")
        raise PlanError(f"{shown}: no selected asset has the dimension {dim!r}{_suggest(dim, universes)};"
                        f" the dimensions are {_listing(sorted(universes))}")
    values = list(dict.fromkeys(universes[dim]))
    if text not in values:
        labels = [layout.value_label(v) for v in values]
        raise PlanError(
            f"{shown}: no selected asset has the value {layout.value_label(text)} for the dimension {dim!r}"
            f"{_suggest(layout.value_label(text), labels, str)}; its values are {_listing(labels)}"
        )


def _by_name(assets: Mapping[str, Asset], name: str) -> list[str]:
    """The keys of the assets whose function is called `name`, or whose key ends in ``:name``."""
    return [key for key, asset in assets.items()
            if asset.function == name or (":" in key and key.rpartition(":")[2] == name)]


def _chosen(assets: Mapping[str, Asset], edges: Sequence[Edge], select: Sequence[str]) -> set[str]:
    """The asset keys that `select` names: ``KEY``, ``+KEY`` (and upstream), ``KEY+`` (and downstream).

    A KEY that is no asset's key may be a function's name (or the part of a
    key after its ``:``) when exactly one asset has it.
    """
    chosen: set[str] = set()
    graph: Any = None
    for item in select:
        key, up, down = item, False, False
        if key not in assets and not _by_name(assets, key):
            up = key.startswith("+")
            key = key[1:] if up else key
            down = key.endswith("+") and key not in assets and not _by_name(assets, key)
            key = key[:-1] if down else key
        if key not in assets:
            named = _by_name(assets, key)
            if len(named) > 1:
                raise PlanError(f"--select {item}: {key!r} names {len(named)} assets, select one by its key: "
                                + ", ".join(sorted(named)))
            if not named:
                names = [*assets, *(a.function for a in assets.values())]
                raise PlanError(f"--select {item}: no asset has the key {key!r}{_suggest(key, names)}")
            key = named[0]
        chosen.add(key)
        if up or down:
            if graph is None:
                import networkx

                graph = networkx.DiGraph()
                graph.add_nodes_from(assets)
                graph.add_edges_from((e.upstream, e.downstream) for e in edges)
            if up:
                chosen |= networkx.ancestors(graph, key)
            if down:
                chosen |= networkx.descendants(graph, key)
    return chosen
