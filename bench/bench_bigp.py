"""The runner at scale: the bigp pipeline (101,001 jobs) through the ``tamso`` command.

    PYTHONPATH=<pkg> python3 bench/bench_bigp.py [--repeat N] [--jobs 2] [--json FILE]

Each repetition runs ``tamso run bigp --jobs 2`` from an empty output
directory, then again with nothing changed, and reports the wall time of both
commands, the peak resident memory of the runner process alone (its workers
are apart) and the size of ``report.html``. Targets: the runner's peak at most
150 MB, the no-op run at most 0.1 of the first, the report at most 5 MB.
Files go to TAMSO_BENCH_DIR (a disk, not a tmpfs, by default the system's
temporary directory).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

from _harness import command_env

HERE = os.path.dirname(os.path.abspath(__file__))

# Runs the command line in this process and prints its own peak RSS (KiB) on the last line of stderr.
_MEASURED = (
    "import atexit, resource, runpy, sys\n"
    "atexit.register(lambda: print('maxrss', resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr))\n"
    "sys.argv = ['tamso', *sys.argv[1:]]\n"
    "runpy.run_module('tamso', run_name='__main__')\n"
)


def tamso(cwd: str, *args: str) -> tuple[float, float]:
    """Wall seconds and the runner's peak RSS in MB of one ``tamso`` command."""
    env = command_env(os.path.join(HERE, "pipelines"))
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURED, *args], cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    last = done.stderr.strip().splitlines()[-1]
    if done.returncode != 0 or not last.startswith("maxrss"):
        raise RuntimeError(f"tamso {' '.join(args)} failed ({done.returncode}):\n{done.stderr[-2000:]}")
    return seconds, int(last.split()[1]) / 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--jobs", default="2")
    parser.add_argument("--json", metavar="FILE")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="tamso-bigp-", dir=os.environ.get("TAMSO_BENCH_DIR"))
    runs: dict[str, list[float]] = {"run_s": [], "noop_s": [], "run_peak_mb": [], "noop_peak_mb": [],
                                    "report_mb": []}
    try:
        for _ in range(args.repeat):
            if os.path.exists(os.path.join(work, "out")):
                os.rename(os.path.join(work, "out"), os.path.join(work, f"old-{time.time_ns()}"))
            seconds, peak = tamso(work, "run", "bigp", "--out", "out", "--jobs", args.jobs)
            runs["run_s"].append(seconds)
            runs["run_peak_mb"].append(peak)
            runs["report_mb"].append(os.path.getsize(os.path.join(work, "out", "report.html")) / 1e6)
            seconds, peak = tamso(work, "run", "bigp", "--out", "out", "--jobs", args.jobs)
            runs["noop_s"].append(seconds)
            runs["noop_peak_mb"].append(peak)
    finally:
        # A hundred thousand directories take a while to remove: they go in the background.
        subprocess.Popen(["rm", "-rf", work], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    figures = {name: statistics.median(values) for name, values in runs.items()}
    figures["noop_ratio"] = statistics.median(n / r for n, r in zip(runs["noop_s"], runs["run_s"]))
    targets = {"run_peak_mb": 150.0, "noop_ratio": 0.1, "report_mb": 5.0}
    for name, value in figures.items():
        target = targets.get(name)
        verdict = "" if target is None else f"  (<= {target:g}: {'ok' if value <= target else 'MISSED'})"
        print(f"bigp {name:>13}: {value:9.3f}  [{min(runs.get(name, [value])):.3f}-"
              f"{max(runs.get(name, [value])):.3f}]{verdict}")
    if args.json:
        with open(args.json, "w") as stream:
            json.dump({"figures": figures, "runs": runs}, stream, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
