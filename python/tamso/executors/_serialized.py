"""The job body for values beyond JSON: ``materialize_asset``'s contract, with serializers.

A job runs here when its asset stores its value with a serializer other than
json, or when it reads a value that an upstream asset stored so. Each
upstream value is loaded with its own serializer (a JSON one parsed from its
``value.json``), the keyword arguments are put together as the plan's pieces
say (rules a, b and c), the asset is called, and its value is written with
the asset's serializer: ``value.<extension>`` through a temporary file renamed
over it, then ``result.json`` in the core's success form. A JSON asset ends
with exactly the files the core writes. A failed run writes the core's error
form, leaves any earlier value file in place and raises ``SystemExit(1)``.
"""

from __future__ import annotations

import importlib
import inspect
import json
import os
import pathlib
from typing import Any, Mapping

from tamso import _tracebacks, layout, serializers
from tamso._cli import display

Upstream = tuple[str, str, str | None]
"""Where an upstream value is read from: its value file, its serializer's name, and the module that registers
that serializer (its asset's defining module) when it is not built in."""


def materialize(module: str, function: str, directory: str, pieces: tuple[str | int, ...],
                upstream: Mapping[int, Upstream], serializer: str, reported: str | None = None,
                failure: list[str] | None = None) -> None:
    """Run one asset into `directory` and store its value with `serializer`.

    `pieces` and `upstream` give the keyword arguments: literal JSON text and,
    for an int, the value of that upstream job. `reported` is the directory
    that ``result.json`` names (default `directory`). Failures before the asset
    runs that leave no ``result.json`` propagate, as ``materialize_asset``'s
    do; a failed run raises SystemExit(1) after writing the error form, and appends the formatted traceback
    of its exception to `failure` when given.
    """
    folder = pathlib.Path(directory)
    folder.mkdir(parents=True, exist_ok=True)
    result_path = os.path.join(directory, layout.RESULT_FILE)
    try:
        imported = importlib.import_module(module)
        found = getattr(imported, function)
        try:
            callable_ = found.__tamso_original__
        except BaseException:  # noqa: BLE001 - as the core: anything but the attribute means "call it as it is"
            callable_ = found
        chosen = serializers.get(serializer)
        kwargs = _kwargs(pieces, {job: _load(*where) for job, where in upstream.items()})
        value = callable_(**kwargs)
        chosen.check(value)
        signature = str(inspect.signature(callable_))
        result_type = type(value).__name__
        if not isinstance(result_type, str):
            raise TypeError("the type's __name__ of the return value is not a str")
        if chosen is serializers.JSON:
            # The core's value.json: json.dumps with no options (pure ASCII).
            layout.write_atomic(os.path.join(directory, layout.VALUE_FILE), json.dumps(value).encode("ascii"))
        else:
            serializers.dump_atomic(chosen, value, directory)
        success = {
            "artifact_format": chosen.name,
            "function_name": function,
            "module_path": module,
            "ok": True,
            "result_type": result_type,
            "signature": signature,
            "value_path": str(pathlib.Path(reported if reported is not None else directory) / chosen.file_name),
        }
        text = json.dumps(success, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
        layout.write_atomic(result_path, text.encode("utf-8", "surrogateescape"))
    except BaseException as exc:  # noqa: BLE001 - as the core: whatever the run raises is its error
        if failure is not None:
            failure.append(_tracebacks.format_exception(exc))
        layout.write_atomic(result_path, layout.error_result(type(exc).__name__, display(exc)))
        raise SystemExit(1) from None


def _load(path: str, name: str, module: str | None) -> Any:
    """An upstream value, loaded by its serializer."""
    try:
        chosen = serializers.get(name)
    except serializers.SerializerError:
        if module is None:
            raise
        importlib.import_module(module)  # the module that registers it
        chosen = serializers.get(name)
    if chosen is serializers.JSON:
        with open(path, "rb") as stream:
            return json.loads(stream.read())
    return chosen.load(path)


def _kwargs(pieces: tuple[str | int, ...], values: Mapping[int, Any]) -> dict[str, Any]:
    """The keyword arguments that `pieces` describe, each upstream job's piece replaced by its loaded value.

    The pieces are joined with a marker string in place of each upstream value
    and parsed; the marker carries a tag that no literal piece holds, so no
    partition value can be taken for one.
    """
    literal = "".join(p for p in pieces if isinstance(p, str))
    tag = "tamso-upstream"
    while tag in literal:
        tag += "~"
    marker = f"\0{tag}:"
    parsed = json.loads("".join(p if isinstance(p, str) else json.dumps(f"{marker}{p}") for p in pieces))
    if not isinstance(parsed, dict):
        raise TypeError(f"'{type(parsed).__qualname__}' object cannot be converted to 'PyDict'")

    def resolve(item: Any) -> Any:
        if isinstance(item, str) and item.startswith(marker):
            return values[int(item[len(marker):])]
        return item

    for name, item in parsed.items():
        if isinstance(item, dict):  # rule c: upstream values keyed by their other partition values
            parsed[name] = {member: resolve(inner) for member, inner in item.items()}
        else:
            parsed[name] = resolve(item)
    return parsed
