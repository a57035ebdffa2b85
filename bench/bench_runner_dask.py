"""tamso.run() on a local Dask cluster against the local pool, the same run.

2,000 jobs of a trivial partitioned asset, two workers each: the Dask
executor on the LocalCluster of two worker processes that ``tamso run
--executor dask --jobs 2`` starts, against the local pool with ``--jobs 2``.
The cluster is started once and kept across repetitions, so the row measures
the jobs; the cluster's start and close, paid once per run, are timed apart.
Each repetition starts from an empty output directory. The per-job overhead
of each executor is its run time divided by the number of jobs (the jobs
themselves cost next to nothing).

Files go to TAMSO_BENCH_DIR, else /dev/shm where it exists.

    PYTHONPATH=<pkg> python3 bench/bench_runner_dask.py [--json]
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
import textwrap
import time

from _harness import Case, run_cases

import tamso
from tamso.executors import Outcome, Task
from tamso.executors import dask as dask_executor

JOBS = 2_000

MODULE = f"""
from tamso import asset, partitions


@asset(partitions={{"i": partitions(list(range({JOBS})))}})
def trivial(i):
    return i
"""


def _workdir() -> str:
    base = os.environ.get("TAMSO_BENCH_DIR") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    folder = tempfile.mkdtemp(prefix="tamso-bench-dask-", dir=base)
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    with open(os.path.join(folder, "bench_dask_trivial.py"), "w") as stream:
        stream.write(textwrap.dedent(MODULE))
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return folder


class _Kept:
    """The Dask executor, kept open across runs: the runner's close at the end of a run leaves it be."""

    def __init__(self) -> None:
        self.executor = dask_executor.create("dask", jobs=2, cwd=os.getcwd(), sys_path=list(sys.path), options={})
        atexit.register(self.executor.close)

    def submit(self, task: Task) -> None:
        self.executor.submit(task)

    def wait(self, timeout: float | None) -> list[Outcome]:
        return self.executor.wait(timeout)

    def running(self) -> int:
        return self.executor.running()

    def close(self, *, cancel: bool = False) -> None:
        pass


def cluster_start_and_close(repeat: int = 3) -> float:
    """Seconds to start and close the runner's LocalCluster of two workers (best of `repeat`)."""
    best = float("inf")
    for _ in range(repeat):
        started = time.perf_counter()
        dask_executor.create("dask", jobs=2, cwd=os.getcwd(), sys_path=list(sys.path), options={}).close()
        best = min(best, time.perf_counter() - started)
    return best


def cases() -> list[Case]:
    folder = _workdir()
    out = os.path.join(folder, "out")
    kept = _Kept()

    def empty() -> None:
        shutil.rmtree(out, ignore_errors=True)

    def run(executor: object) -> None:
        report = tamso.run(["bench_dask_trivial"], out=out, jobs=2, executor=executor)
        assert report.status == "ok" and len(report.jobs) == JOBS, report.status

    return [
        Case(
            f"runner: {JOBS:,} trivial jobs on a dask LocalCluster",
            ours=lambda: run(kept),
            baseline=lambda: run("local"),
            baseline_name="local pool, --jobs 2",
            target=3.0,
            setup=empty,
        ),
    ]


def per_job(row: dict) -> str:
    """The per-job overhead of each executor in a result row of the harness."""
    figures = [f"{name} {times['median'] / JOBS * 1e3:.2f} ms" for name, times in row["seconds"].items()]
    return "per job: " + ", ".join(figures)


if __name__ == "__main__":
    repeat = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 5
    for row in run_cases(cases(), repeat=repeat, as_json="--json" in sys.argv):
        if "--json" not in sys.argv:
            print("  " + per_job(row).replace("ours", "dask"))
    if "--json" not in sys.argv:
        print(f"  dask LocalCluster of 2 workers: start and close {cluster_start_and_close():.2f} s per run")
