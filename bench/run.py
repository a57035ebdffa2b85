"""Runs every benchmark and prints one table; ``--json FILE`` also writes it.

    python bench/run.py [--json FILE] [--quick] [--repeat N]

Each row is a ratio of our time to a baseline measured in the same run
(median of several repetitions, with min and max). Baselines are the
straightforward pure-Python equivalents in this folder and, for the JSON core,
the fastest JSON library installed (orjson) and the standard library's json.
The JSON core rows are built from bench/json_bench.cpp with CMake.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import _harness  # noqa: E402

SUITES = ["bench_declaration", "bench_inspection", "bench_materialization", "bench_runner", "bench_freshness",
          "bench_cli"]
try:  # the Dask executor's row needs the dask extra
    import distributed  # noqa: F401
    SUITES.append("bench_runner_dask")
except ImportError:
    pass


def run_suites(repeat: int) -> list[dict]:
    results = []
    for module_name in SUITES:
        module = __import__(module_name)
        print(f"-- {module_name}", flush=True)
        results += _harness.run_cases(module.cases(), repeat=repeat)
    return results


def build_json_bench() -> str:
    build = os.path.join(ROOT, "build", "bench")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(["cmake", "-S", ROOT, "-B", build, *generator, "-DCMAKE_BUILD_TYPE=Release",
                    "-DTAMSO_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target", "json_bench"], check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "json_bench")


def best_mb_s(fn, size, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return size / best / 1e6


def json_core(repeat: int) -> list[dict]:
    """Our writer against orjson writing the same document with sorted keys;
    our reader against json.loads building Python objects from the same text."""
    try:
        import orjson
    except ImportError:  # the bench extra brings it
        orjson = None
    binary = build_json_bench()
    rows = []
    with tempfile.TemporaryDirectory() as dump:
        out = subprocess.run([binary, "--json", "--repeat", str(repeat), "--dump", dump], check=True,
                             capture_output=True, text=True).stdout
        ours = json.loads(out)
        for case, figures in ours.items():
            with open(os.path.join(dump, case + ".json"), "rb") as f:
                raw = f.read()
            obj = json.loads(raw)
            size = len(raw)
            loads = best_mb_s(lambda: json.loads(raw), size, repeat)
            row = {"name": f"json core: {case} ({size / 1e6:.1f} MB)", "write_mb_s": figures["write_mb_s"],
                   "read_mb_s": figures["read_mb_s"], "json.loads_mb_s": loads}
            if orjson is not None:
                opt = orjson.OPT_SORT_KEYS
                row["orjson.dumps_sorted_mb_s"] = best_mb_s(lambda: orjson.dumps(obj, option=opt), size, repeat)
                row["orjson.loads_mb_s"] = best_mb_s(lambda: orjson.loads(raw), size, repeat)
                row["write_met"] = row["write_mb_s"] >= row["orjson.dumps_sorted_mb_s"]
            row["read_met"] = row["read_mb_s"] >= loads
            rows.append(row)
            extra = ""
            if orjson is not None:
                extra = (f"  orjson.dumps(sorted) {row['orjson.dumps_sorted_mb_s']:7.0f}"
                         f" [{'ok' if row['write_met'] else 'MISSED'}]  orjson.loads {row['orjson.loads_mb_s']:7.0f}")
            print(f"{row['name']:<36} write {row['write_mb_s']:7.0f} MB/s  read {row['read_mb_s']:7.0f} MB/s"
                  f"  json.loads {loads:7.0f} [{'ok' if row['read_met'] else 'MISSED'}]{extra}", flush=True)
    return rows


def _script(name: str, arguments: list[str]) -> dict:
    """Run one of the standalone benchmark scripts, showing its lines; returns the figures it wrote."""
    with tempfile.TemporaryDirectory() as scratch:
        figures = os.path.join(scratch, "figures.json")
        subprocess.run([sys.executable, os.path.join(HERE, name), *arguments, "--json", figures], check=True)
        with open(figures) as stream:
            document = json.load(stream)
    return document.get("figures", document)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Run every tamso benchmark.")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="smaller scaling rows")
    parser.add_argument("--skip-scaling", action="store_true")
    parser.add_argument("--skip-bigp", action="store_true", help="leave out the 101,001-job run (minutes)")
    parser.add_argument("--peers", action="store_true", help="also run bench/peers.py (needs luigi in a venv)")
    args = parser.parse_args(argv)

    import scaling

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}")
    report = {"machine": {"arch": platform.machine(), "cores": os.cpu_count(),
                          "python": platform.python_version()}}
    report["ratios"] = run_suites(args.repeat)
    try:  # the serializer rows need the arrow extra, pandas and numpy
        import numpy, pandas, pyarrow  # noqa: F401, E401
    except ImportError:
        pass
    else:
        import bench_serializers

        print("-- bench_serializers", flush=True)
        found = bench_serializers.rows(max(3, args.repeat))
        report["ratios"] += [row for row in found if "ratio" in row]
        report["memory"] = [row for row in found if "ratio" not in row]
    print("-- JSON core (MB/s, best of runs)")
    report["json_core"] = json_core(args.repeat)
    if not args.skip_scaling:
        print("-- scaling (time per item)")
        report["scaling"] = scaling.run(quick=args.quick)
    if not args.skip_bigp:
        print("-- bigp: 101,001 jobs through the command line", flush=True)
        report["bigp"] = _script("bench_bigp.py", ["--repeat", "1"])
    if args.peers:
        print("-- peers: the four workloads, tamso against luigi", flush=True)
        report["peers"] = _script("peers.py", ["--repeat", "3"])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
    missed = [r["name"] for r in report["ratios"] if r["met"] is False]
    missed += [r["name"] for r in report["json_core"] if not r["read_met"] or r.get("write_met") is False]
    missed += [r["title"] for r in report.get("scaling", []) if r["flagged"]]
    missed += [r["name"] for r in report.get("memory", []) if not r["met"]]
    bigp = report.get("bigp") or {}
    missed += [f"bigp {name}" for name, target in (("run_peak_mb", 150), ("noop_ratio", 0.1), ("report_mb", 5))
               if name in bigp and bigp[name] > target]
    if missed:
        print("targets missed: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
