"""Cost per item as work grows: flags any row whose time per item grows by
more than 1.5x per decade of work.

    python bench/scaling.py [--json] [--quick]
"""

from __future__ import annotations

import importlib
import json
import math
import os
import sys
import tempfile
import textwrap
import time

from tamso import inspect_modules, materialize_asset, partitions

GROWTH_LIMIT = 1.5  # per decade


def best_of(fn, repeat):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def partitions_rows(quick):
    sizes = [10**2, 10**4, 10**5] if quick else [10**2, 10**4, 10**6]
    rows = []
    for n in sizes:
        values = [f"key-{i}" if i % 2 else i * 0.5 for i in range(n)]
        t = best_of(lambda: partitions(values), 5 if n < 10**6 else 3)
        rows.append((n, t))
    return "partitions() per value", rows


def write_modules(root, prefix, count, assets_per_module=10):
    names = []
    for m in range(count):
        name = f"{prefix}_{m}"
        body = ["from tamso import asset, partitions", ""]
        for a in range(assets_per_module):
            body += [
                f"@asset(name='a{a}', inputs={{'x': 'ref.py:f'}}, partitions={{'d': partitions([1, 2, 3])}})",
                f"def asset_{a}(x=None, d=1) -> dict:",
                f"    return {{'m': {m}, 'a': {a}}}",
                "",
            ]
        with open(os.path.join(root, name + ".py"), "w") as f:
            f.write("\n".join(body))
        names.append(name)
    return names


def inspection_rows(quick, root):
    sizes = [10, 100] if quick else [10, 100, 1000]
    rows = []
    for n in sizes:
        names = write_modules(root, f"scale_{n}", n)
        importlib.invalidate_caches()
        inspect_modules(names)  # import once: both the first and later calls then see cached modules
        t = best_of(lambda: inspect_modules(names), 3)
        rows.append((n, t))
    return "inspect_modules() per module", rows


def materialization_rows(quick, root):
    sizes = [10**3, 10**6] if quick else [10**3, 10**6, 10**8]
    with open(os.path.join(root, "scale_values.py"), "w") as f:
        f.write(textwrap.dedent('''
            import os
            def value(size):
                chunk = "x" * 1000
                return [chunk] * max(size // 1004, 1)
        '''))
    importlib.invalidate_caches()
    rows = []
    out = os.path.join(root, "out")
    for n in sizes:
        kwargs = json.dumps({"size": n})
        t = best_of(lambda: materialize_asset("scale_values", "value", out, kwargs), 3 if n < 10**8 else 1)
        rows.append((n, t))
    return "materialize_asset() per byte", rows


def report(title, rows):
    lines = []
    prev = None
    flagged = False
    for n, t in rows:
        per = t / n
        note = ""
        if prev is not None:
            decades = math.log10(n / prev[0])
            growth = (per / prev[1]) ** (1 / decades)
            if growth > GROWTH_LIMIT:
                note = f"  GROWS {growth:.2f}x per decade"
                flagged = True
            else:
                note = f"  {growth:.2f}x per decade"
        lines.append(f"  {n:>12,} items  {per * 1e9:12.1f} ns/item{note}")
        prev = (n, per)
    print(title)
    print("\n".join(lines), flush=True)
    return {"title": title, "rows": [{"items": n, "seconds": t, "ns_per_item": t / n * 1e9} for n, t in rows],
            "flagged": flagged}


def run(quick=False):
    results = []
    with tempfile.TemporaryDirectory() as root:
        sys.path.insert(0, root)
        try:
            results.append(report(*partitions_rows(quick)))
            results.append(report(*inspection_rows(quick, root)))
            results.append(report(*materialization_rows(quick, root)))
        finally:
            sys.path.remove(root)
    return results


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    results = run(quick="--quick" in argv)
    if "--json" in argv:
        json.dump(results, sys.stdout, indent=2)
        print()
    return 1 if any(r["flagged"] for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
