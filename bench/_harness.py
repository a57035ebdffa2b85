"""A small harness: every benchmark is a ratio of our time to a baseline's,
both measured in the same process, several repetitions, median with min/max.

A benchmark file defines ``cases()`` returning a list of ``Case``; each side
is a zero-argument callable doing the whole measured work once. ``setup`` (if
given) runs before each repetition of either side, untimed.
"""

from __future__ import annotations

import gc
import json
import os
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Callable, Optional


@dataclass
class Case:
    name: str
    ours: Callable[[], object]
    baseline: Callable[[], object]
    target: Optional[float] = None  # highest acceptable ours/baseline ratio
    baseline_name: str = "pure Python"
    setup: Optional[Callable[[], object]] = None
    extra_baselines: dict = field(default_factory=dict)  # name -> callable


def _time_once(fn: Callable[[], object], setup: Optional[Callable[[], object]]) -> float:
    if setup is not None:
        setup()
    gc.collect()
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        fn()
        return time.perf_counter() - start
    finally:
        if gc_was_enabled:
            gc.enable()


def measure(case: Case, repeat: int = 7) -> dict:
    """Alternates the sides so that drift in the machine hits both alike."""
    sides = {"ours": case.ours, case.baseline_name: case.baseline, **case.extra_baselines}
    times: dict[str, list[float]] = {name: [] for name in sides}
    for fn in sides.values():  # warm-up
        _time_once(fn, case.setup)
    for _ in range(repeat):
        for name, fn in sides.items():
            times[name].append(_time_once(fn, case.setup))
    ours = times["ours"]
    result = {"name": case.name, "target": case.target, "seconds": {}}
    for name, ts in times.items():
        result["seconds"][name] = {"median": statistics.median(ts), "min": min(ts), "max": max(ts)}
    base = times[case.baseline_name]
    ratios = [o / b for o, b in zip(ours, base)]
    result["baseline"] = case.baseline_name
    result["ratio"] = {"median": statistics.median(ratios), "min": min(ratios), "max": max(ratios)}
    result["met"] = None if case.target is None else result["ratio"]["median"] <= case.target
    return result


def format_row(r: dict) -> str:
    ratio = r["ratio"]
    target = "" if r["target"] is None else f"<= {r['target']:.2f}"
    verdict = "" if r["met"] is None else ("ok" if r["met"] else "MISSED")
    ours = r["seconds"]["ours"]["median"]
    return (f"{r['name']:<48} {ours * 1e3:10.2f} ms  {ratio['median']:6.3f}x "
            f"[{ratio['min']:.3f}-{ratio['max']:.3f}] vs {r['baseline']:<14} {target:>8} {verdict}")


def run_cases(cases: list[Case], repeat: int = 7, as_json: bool = False) -> list[dict]:
    results = []
    for case in cases:
        r = measure(case, repeat)
        results.append(r)
        if not as_json:
            print(format_row(r), flush=True)
    if as_json:
        json.dump(results, sys.stdout, indent=2)
        print()
    return results


def main(cases_fn: Callable[[], list[Case]]) -> None:
    as_json = "--json" in sys.argv
    repeat = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 7
    run_cases(cases_fn(), repeat=repeat, as_json=as_json)


def command_env(*front: str) -> dict[str, str]:
    """The environment for a benchmarked command that runs in another directory: `front` and this process's
    PYTHONPATH as absolute paths (so the command imports the package this process imports), and compiled
    bytecode kept, as an installed package has it, in a scratch directory rather than the checkout."""
    given = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([*front, *given]))
    env.setdefault("PYTHONPYCACHEPREFIX", os.path.join(tempfile.gettempdir(), "tamso-bench-pycache"))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return env


def calibrate(seconds: float = 0.010) -> int:
    """Iterations of the benchmarks' busy loop (``total += k * k % 7``) that take about `seconds` here."""
    n = 100_000
    while True:
        start = time.perf_counter()
        total = 0
        for k in range(n):
            total += k * k % 7
        elapsed = time.perf_counter() - start
        if elapsed > 0.02:
            return int(n * seconds / elapsed)
        n *= 2
