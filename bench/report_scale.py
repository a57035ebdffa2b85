"""The run report of a large pipeline: how long writing it takes, and opening it in a browser.

    python bench/report_scale.py [--assets 500] [--values 100] [--json FILE]

Plans a generated pipeline of ASSETS assets, each partitioned by VALUES values
(500 x 100 = 50,000 jobs, every asset reading one or two earlier ones), gives
its jobs recorded outcomes (mostly ok, some failed, blocked or never run) and
their files without running them, then times ``write_report`` (best of 3) and
headless Chromium loading the page: ``--dump-dom`` (parse and load) and
``--screenshot`` (layout and paint), each minus the same command on an empty
page, which is the browser's own start-up.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from tamso import layout
from tamso.plan import build
from tamso.reporting import graph, html
from tamso.state import JobRecord, StateStore


def pipeline_source(assets: int, values: int) -> str:
    choose = random.Random(7)
    lines = ["from tamso import asset, partitions", f"P = partitions(list(range({values})))", ""]
    for i in range(assets):
        inputs = sorted(set(choose.sample(range(max(0, i - 30), i), min(i, choose.randint(1, 2))))) if i else []
        declared = ", ".join(f'"up{n}": a{u:03d}' for n, u in enumerate(inputs))
        lines.append(f'@asset(name="stage{i % 7}.asset_{i:03d}", inputs={{{declared}}}, partitions={{"p": P}})')
        lines.append(f"def a{i:03d}({''.join(f'up{n}, ' for n in range(len(inputs)))}p):\n    return p\n")
    return "\n".join(lines)


def fake_outcomes(out: str, plan_jobs: list[tuple[str, str, str]]) -> None:
    """Record an outcome for most jobs and write the files a real run leaves."""
    os.makedirs(os.path.join(out, layout.STATE_DIR), exist_ok=True)
    store = StateStore.open(os.path.join(out, layout.STATE_DIR), create=True)
    run_id = store.begin_run("tamso run big")
    records = []
    now = time.time()
    for n, (key, partition, directory) in enumerate(plan_jobs):
        roll = n * 2654435761 % 100
        if roll < 3:
            continue  # never run
        status = "ok" if roll >= 10 else "failed" if roll >= 6 else "blocked"
        path = os.path.join(out, directory)
        if status != "blocked":
            os.makedirs(path, exist_ok=True)
            names = [layout.RESULT_FILE, layout.LOG_FILE] + ([layout.VALUE_FILE] if status == "ok" else [])
            for name in names:
                with open(os.path.join(path, name), "w") as stream:
                    stream.write("{}\n")
        error = "ValueError: <script>alert(1)</script> no rows for this day" if status == "failed" else None
        records.append(JobRecord(key, partition, status, 1 if status != "blocked" else 0, None, now, now + 0.5,
                                 0.5, "ValueError" if error else None, error))
    store.record(run_id, records)
    store.end_run(run_id, "failed")
    store.close()


def browser_seconds(chromium: str, page: str, mode: str) -> float:
    work = tempfile.mkdtemp(prefix="report-bench-")
    argument = "--dump-dom" if mode == "dom" else f"--screenshot={os.path.join(work, 'shot.png')}"
    command = [chromium, "--headless", "--no-sandbox", "--disable-gpu", f"--user-data-dir={work}",
               "--window-size=1400,1000", argument, "file://" + os.path.abspath(page)]
    try:
        start = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=300)
        return time.perf_counter() - start
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--assets", type=int, default=500)
    parser.add_argument("--values", type=int, default=100)
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    parser.add_argument("--profile", action="store_true", help="print where write_report spends its time")
    args = parser.parse_args()
    figures: dict[str, float | int] = {}
    work = tempfile.mkdtemp(prefix="report-scale-")  # TMPDIR on a tmpfs makes the setup quick
    try:
        with open(os.path.join(work, "big.py"), "w") as stream:
            stream.write(pipeline_source(args.assets, args.values))
        sys.path.insert(0, work)
        start = time.perf_counter()
        plan = build(["big"])
        figures["plan_s"] = time.perf_counter() - start
        out = os.path.join(work, "out")
        fake_outcomes(out, [(j.key, j.partition_text, j.directory) for j in plan.jobs])
        graph.save(graph.from_plan(plan), os.path.join(out, layout.STATE_DIR))
        if args.profile:
            import cProfile
            import pstats

            profile = cProfile.Profile()
            profile.runcall(html.write_report, out)
            pstats.Stats(profile).sort_stats("cumulative").print_stats(25)
        times = []
        for _ in range(3):
            start = time.perf_counter()
            page = html.write_report(out)
            times.append(time.perf_counter() - start)
        figures.update(assets=len(plan.assets), jobs=len(plan.jobs), write_report_s=min(times),
                       page_bytes=os.path.getsize(page))
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if chromium:
            empty = os.path.join(work, "empty.html")
            with open(empty, "w") as stream:
                stream.write("<!DOCTYPE html><title>empty</title>")
            for mode in ("dom", "screenshot"):
                base = min(browser_seconds(chromium, empty, mode) for _ in range(2))
                full = min(browser_seconds(chromium, page, mode) for _ in range(2))
                figures[f"browser_{mode}_s"] = full - base
                figures[f"browser_{mode}_startup_s"] = base
        for name, value in figures.items():
            print(f"{name:>28}: {value:.3f}" if isinstance(value, float) else f"{name:>28}: {value}")
        if args.json:
            with open(args.json, "w") as stream:
                json.dump(figures, stream, indent=2)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
