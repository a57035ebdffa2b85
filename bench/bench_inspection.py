"""inspect_modules() against a plain Python loop making the same interpreter calls.

200 generated modules of 10 assets each are written into a temporary
directory on sys.path and imported once before timing, so both sides describe
already-imported modules (and read their sources through the same warm
line cache). Run with the built package on PYTHONPATH:

    python bench/bench_inspection.py [--json]
"""

from __future__ import annotations

import atexit
import importlib
import inspect
import json
import os
import pathlib
import shutil
import sys
import tempfile
import textwrap

from _harness import Case, main

from tamso import inspect_modules

MODULES = 200
ASSETS_PER_MODULE = 10


def module_text(index: int) -> str:
    lines = [f'"""Generated pipeline module {index}: Zürich prices."""', "", "from tamso import asset", ""]
    for j in range(ASSETS_PER_MODULE):
        returns = ["", " -> dict", " -> None", ' -> "list[int]"'][j % 4]
        lines += [
            "",
            f'@asset(name="m{index}_asset_{j}")',
            f"def asset_{j}(x: int = {j}){returns}:",
            '    """Adds a few numbers."""',
            "    total = 0",
            "    for k in range(10):",
            "        total += k * x",
            f'    return {{"value": total, "module": {index}, "asset": {j}}}',
            "",
        ]
    return "\n".join(lines)


def write_pipeline() -> list[str]:
    root = tempfile.mkdtemp(prefix="tamso_bench_")
    atexit.register(shutil.rmtree, root, True)
    names = []
    for i in range(MODULES):
        name = f"bench_pipeline_{i}"
        pathlib.Path(root, f"{name}.py").write_text(module_text(i), "utf-8")
        names.append(name)
    sys.path.insert(0, root)
    importlib.invalidate_caches()
    for name in names:
        importlib.import_module(name)
    return names


def source_text(obj) -> str:
    return textwrap.dedent(inspect.getsource(obj)).strip() + "\n"


def python_inspect(names: list[str]) -> str:
    """The same required calls, written as a plain Python loop."""
    v = sys.version_info
    version = f"{v.major}.{v.minor}.{v.micro}"
    records = []
    for name in names:
        try:
            module = importlib.import_module(name)
        except BaseException as exc:  # noqa: BLE001
            os.write(2, f"tamso: skipping module '{name}': {type(exc).__qualname__}: {exc}\n".encode())
            continue
        module_source = source_text(module)
        for _, value in inspect.getmembers(module):
            try:
                kind = value.__tamso_kind__
            except BaseException:  # noqa: BLE001
                continue
            if not isinstance(kind, str) or kind != "asset":
                continue
            metadata = value.__tamso_metadata__
            json.dumps(metadata)
            try:
                function = value.__tamso_original__
            except BaseException:  # noqa: BLE001
                function = value
            function_source = source_text(function)
            try:
                file = inspect.getsourcefile(function)
            except BaseException:  # noqa: BLE001
                path = ""
            else:
                path = str(pathlib.Path(file).resolve())
            annotation = inspect.signature(function).return_annotation
            if annotation is inspect.Signature.empty:
                returns = None
            elif isinstance(annotation, type):
                returns = annotation.__name__
            else:
                returns = str(annotation)
            records.append({
                "decorator_metadata": metadata,
                "file_path": path,
                "function_name": function.__name__,
                "function_source": function_source,
                "kind": "asset",
                "module_path": module.__name__,
                "module_source": module_source,
                "python_version": version,
                "return_type": returns,
            })
    return json.dumps({"assets": records}, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def cases() -> list[Case]:
    names = write_pipeline()
    ours, theirs = inspect_modules(names), python_inspect(names)
    if ours != theirs:
        raise SystemExit("the two sides disagree on the document")
    found = len(json.loads(ours)["assets"])
    return [
        Case(
            name=f"inspect {MODULES} modules x {ASSETS_PER_MODULE} assets ({found})",
            ours=lambda: inspect_modules(names),
            baseline=lambda: python_inspect(names),
            baseline_name="Python loop",
            target=1.1,
        )
    ]


if __name__ == "__main__":
    main(cases)
