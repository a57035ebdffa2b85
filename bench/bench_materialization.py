"""materialize_asset() against a plain Python function doing the same steps.

Two cases: one asset whose value is about 50 MB of JSON (the cost is
`json.dumps` and the file write, so the driver must add next to nothing), and
a tiny asset materialized 1,000 times into one directory (the driver's own
overhead: imports, path objects, lookups, signature, two file writes).

The baseline writes in place with `write_text`, as a straightforward
implementation would; ours replaces each file atomically (a new file and a
rename, which costs a disk's metadata work per file). The files go to
TAMSO_BENCH_DIR, else /dev/shm where it exists, so that the figures measure the
drivers rather than the disk; point TAMSO_BENCH_DIR at a disk to see both.

    PYTHONPATH=<pkg> python3 bench/bench_materialization.py [--json]
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
import textwrap
from pathlib import Path

from _harness import Case, main

from tamso import materialize_asset

PIPELINE = textwrap.dedent(
    """
    def _big_value():
        rows = []
        for i in range(480_000):
            rows.append({"id": i, "name": "customer %d" % i, "city": "Z\\u00fcrich",
                         "scores": [i % 7, i % 11, 0.5 + i % 13], "active": i % 2 == 0})
        return rows

    BIG = _big_value()

    def big():
        return BIG

    class Asset:
        def __init__(self, fn):
            self.__tamso_original__ = fn
            self.__tamso_kind__ = "asset"

    def _tiny(ticker: str) -> dict:
        return {"ticker": ticker, "close": 410.25, "days": [1, 2, 3]}

    tiny = Asset(_tiny)
    """
)


def baseline_materialize(module_name, function_name, output_dir, input_kwargs_json=None):
    """The required steps in plain Python, files written in place."""
    import importlib
    import inspect
    import json
    import pathlib

    out = pathlib.Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    result_path = out / "result.json"
    try:
        found = getattr(importlib.import_module(module_name), function_name)
        try:
            fn = found.__tamso_original__
        except BaseException:
            fn = found
        if input_kwargs_json is None:
            value = fn()
        else:
            kwargs = json.loads(input_kwargs_json)
            if not isinstance(kwargs, dict):
                raise TypeError(f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
            value = fn(**kwargs)
        value_path = out / "value.json"
        value_path.write_text(json.dumps(value), "utf-8")
        document = {
            "artifact_format": "json",
            "function_name": function_name,
            "module_path": module_name,
            "ok": True,
            "result_type": type(value).__name__,
            "signature": str(inspect.signature(fn)),
            "value_path": str(value_path),
        }
    except BaseException as exc:
        document = {"error": f"{type(exc).__qualname__}: {exc}", "error_type": type(exc).__name__, "ok": False}
        result_path.write_text(json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False),
                               "utf-8")
        sys.exit(1)
    result_path.write_text(json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False), "utf-8")


def cases() -> list[Case]:
    where = os.environ.get("TAMSO_BENCH_DIR") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    root = Path(tempfile.mkdtemp(prefix="tamso-bench-", dir=where))
    atexit.register(shutil.rmtree, root, True)
    (root / "bench_pipeline.py").write_text(PIPELINE, "utf-8")
    sys.path.insert(0, str(root))
    import bench_pipeline

    size = len(__import__("json").dumps(bench_pipeline.BIG))
    kwargs = '{"ticker": "MSFT"}'

    def tiny_ours():
        for _ in range(1000):
            materialize_asset("bench_pipeline", "tiny", str(root / "ours-tiny"), kwargs)

    def tiny_baseline():
        for _ in range(1000):
            baseline_materialize("bench_pipeline", "tiny", str(root / "base-tiny"), kwargs)

    return [
        Case(
            name=f"value of {size / 1e6:.0f} MB JSON",
            ours=lambda: materialize_asset("bench_pipeline", "big", str(root / "ours-big")),
            baseline=lambda: baseline_materialize("bench_pipeline", "big", str(root / "base-big")),
            target=1.05,
        ),
        Case(name="tiny value x1000", ours=tiny_ours, baseline=tiny_baseline, target=1.2),
    ]


if __name__ == "__main__":
    main(cases)
