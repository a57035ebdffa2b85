"""A straightforward pure-Python asset decorator: the baseline that
bench_declaration.py measures the native one against.

It checks the same things in the same order, stores normalised options,
copies them into every wrapper and builds the same metadata record on each
read. The JSON text of a partition dimension is computed once, when the
options are built, as a careful pure implementation would.
"""

from __future__ import annotations

import inspect
import json
import pathlib

BAD_INPUT = "inputs values must be @asset-decorated functions or asset ref strings"
BAD_PARTITION = "partition values must be partitions([...]) instances"
ARITY = "asset() decorator expects exactly one argument (the function)"


def _conversion_error(obj, target):
    return TypeError(f"'{type(obj).__qualname__}' object cannot be converted to '{target}'")


class Partitions:
    __slots__ = ("values",)

    def __init__(self, values):
        self.values = values

    def __repr__(self):
        return f"Partitions({len(self.values)} values)"


def partitions(values):
    if not isinstance(values, list):
        raise TypeError("argument 'values': " + str(_conversion_error(values, "PyList")))
    return Partitions([json.loads(json.dumps(v)) for v in values])


def _text(obj, argument=None):
    if obj is None or isinstance(obj, str):
        return None if obj is None else str(obj)
    error = _conversion_error(obj, "PyString")
    if argument is not None:
        raise TypeError(f"argument '{argument}': {error}")
    raise error


def _reference(value):
    try:
        upstream = value.__tamso_original__
    except Exception:
        upstream = value
    path = str(pathlib.Path(inspect.getsourcefile(upstream)).resolve())
    name = upstream.__name__
    if not isinstance(name, str):
        raise _conversion_error(name, "PyString")
    return path + ":" + name


def _is_asset(value):
    try:
        kind = value.__tamso_kind__
    except Exception:
        return False
    return isinstance(kind, str) and kind == "asset"


class AssetWrapper:
    __slots__ = ("_function", "_name", "_serializer", "_inputs", "_partitions")
    __tamso_kind__ = "asset"

    def __init__(self, function, name, serializer, inputs, partitions):
        self._function = function
        self._name = name
        self._serializer = serializer
        self._inputs = inputs
        self._partitions = partitions

    def __call__(self, *args, **kwargs):
        return self._function(*args, **kwargs)

    def __get__(self, instance, owner=None):
        return self

    @property
    def __tamso_original__(self):
        return self._function

    __wrapped__ = __tamso_original__

    @property
    def __name__(self):
        return self._function.__name__

    # (A class body cannot define a `__qualname__` property; not measured.)

    @property
    def __tamso_metadata__(self):
        inputs = self._inputs
        parts = self._partitions
        return {
            "kind": "asset",
            "name": self._name,
            "serializer": self._serializer,
            "inputs": None if inputs is None else dict(inputs),
            "partitions": None if parts is None else {
                dim: {"kind": "inline", "values_json": text} for dim, (_, text) in parts.items()
            },
        }


class _Decorator:
    __slots__ = ("name", "serializer", "inputs", "partitions")

    def __init__(self, name, serializer, inputs, partitions):
        self.name = name
        self.serializer = serializer
        self.inputs = inputs
        self.partitions = partitions

    def __call__(self, *args, **kwargs):
        if len(args) != 1:
            raise TypeError(ARITY)
        inputs = None if self.inputs is None else dict(self.inputs)
        parts = None
        if self.partitions is not None:
            parts = {dim: (list(values), text) for dim, (values, text) in self.partitions.items()}
        return AssetWrapper(args[0], self.name, self.serializer, inputs, parts)


def asset(*, name=None, inputs=None, partitions=None, serializer=None):
    name = _text(name, "name")
    serializer = _text(serializer, "serializer")
    references = None
    if inputs is not None:
        if not isinstance(inputs, dict):
            raise _conversion_error(inputs, "PyDict")
        references = {}
        for key, value in inputs.items():
            key = _text(key)
            if _is_asset(value):
                references[key] = _reference(value)
            elif isinstance(value, str):
                references[key] = str(value)
            else:
                raise TypeError(BAD_INPUT)
    specs = None
    if partitions is not None:
        if not isinstance(partitions, dict):
            raise _conversion_error(partitions, "PyDict")
        specs = {}
        for key, value in partitions.items():
            key = _text(key)
            if not isinstance(value, Partitions):
                raise TypeError(BAD_PARTITION)
            values = list(value.values)
            specs[key] = (values, json.dumps(values, separators=(",", ":"), ensure_ascii=False))
    return _Decorator(name, serializer, references, specs)
