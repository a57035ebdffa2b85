"""tamso.run() with the local pool against sequential loops of materialize_asset().

- 10,000 jobs of a trivial partitioned asset, two workers, against the same
  jobs materialized one after the other in this process.
- 200 jobs of 10 ms of pure-Python work each, the same way.
- The same 10,000 jobs run again with nothing changed, against the first run.
- Planning 100,000 jobs against planning 10,000.
- A 50 MB upstream value reaching one downstream job, against reading and
  parsing that value.json once.

Files go to TAMSO_BENCH_DIR, else /dev/shm where it exists.

    PYTHONPATH=<pkg> python3 bench/bench_runner.py [--json]
"""

from __future__ import annotations

import atexit
import gc
import json
import os
import shutil
import sys
import tempfile
import textwrap

from _harness import Case, calibrate, main

import tamso
from tamso import materialize_asset, plan

MODULES = {
    "run_trivial": """
        from tamso import asset, partitions

        @asset(partitions={"i": partitions(list(range(10_000)))})
        def trivial(i):
            return i
    """,
    "run_busy": """
        from tamso import asset, partitions

        def _work():
            total = 0
            for k in range(WORK):
                total += k * k % 7
            return total

        @asset(partitions={"i": partitions(list(range(200)))})
        def busy(i):
            return _work() + i
    """,
    "run_big": """
        from tamso import asset

        @asset()
        def big():
            return [{"id": i, "name": "customer %d" % i, "scores": [i % 7, i % 11, 0.5]} for i in range(1_000_000)]

        @asset(inputs={"big": big})
        def reader(big):
            return len(big)
    """,
    "plan_small": """
        from tamso import asset, partitions

        @asset(partitions={"i": partitions(list(range(10_000)))})
        def jobs(i):
            return i
    """,
    "plan_large": """
        from tamso import asset, partitions

        @asset(partitions={"i": partitions(list(range(100_000)))})
        def jobs(i):
            return i
    """,
}


def cases() -> list[Case]:
    root = os.environ.get("TAMSO_BENCH_DIR") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    work = tempfile.mkdtemp(prefix="tamso-bench-runner-", dir=root)
    atexit.register(shutil.rmtree, work, True)
    for name, source in MODULES.items():
        with open(os.path.join(work, f"{name}.py"), "w") as stream:
            stream.write(f"WORK = {calibrate()}\n" if name == "run_busy" else "")
            stream.write(textwrap.dedent(source))
    sys.path.insert(0, work)
    os.chdir(work)

    def clean(*names: str) -> None:
        for name in names:
            shutil.rmtree(os.path.join(work, name), ignore_errors=True)

    def sequential(module: str, function: str, count: int, out: str) -> None:
        for i in range(count):
            materialize_asset(module, function, f"{out}/{module}:{function}/i={i}", '{"i":%d}' % i)

    def run(module: str, out: str, **options: object) -> tamso.RunReport:
        report = tamso.run([module], out=out, jobs=2, **options)  # type: ignore[arg-type]
        assert report.status == "ok", report.failed()[:1]
        return report

    def rerun() -> None:
        report = run("run_trivial", "fresh-out")
        assert {job.status for job in report.jobs} == {"fresh"}  # so no worker process was started

    run("run_trivial", "fresh-out")
    run("run_big", "big-out")
    big_value = os.path.join(work, "big-out", "run_big:big", "value.json")

    def read_big() -> None:
        # The harness switches the collector off while it times; a job's worker runs with it on,
        # as any Python process does, and parsing a million objects is where that shows.
        gc.enable()
        try:
            with open(big_value, "rb") as stream:
                json.loads(stream.read())
        finally:
            gc.disable()

    return [
        Case(
            "run 10,000 trivial jobs, --jobs 2",
            ours=lambda: run("run_trivial", "out"),
            baseline=lambda: sequential("run_trivial", "trivial", 10_000, "seq"),
            baseline_name="sequential materialize_asset loop",
            target=1.0,
            setup=lambda: clean("out", "seq"),
        ),
        Case(
            "run 200 jobs of 10 ms each, --jobs 2",
            ours=lambda: run("run_busy", "out"),
            baseline=lambda: sequential("run_busy", "busy", 200, "seq"),
            baseline_name="sequential materialize_asset loop",
            target=0.6,
            setup=lambda: clean("out", "seq"),
        ),
        Case(
            "run 10,000 jobs again, nothing changed",
            ours=rerun,
            baseline=lambda: run("run_trivial", "out"),
            baseline_name="the first run",
            target=0.1,
            setup=lambda: clean("out"),
        ),
        Case(
            "plan 100,000 jobs",
            ours=lambda: plan.build(["plan_large"]),
            baseline=lambda: plan.build(["plan_small"]),
            baseline_name="planning 10,000 jobs",
            target=12.0,
        ),
        Case(
            "a 50 MB upstream value into one downstream job",
            ours=lambda: run("run_big", "big-out", select=["run_big:reader"], force=True),
            baseline=read_big,
            baseline_name="reading and parsing value.json once",
            target=1.5,
        ),
    ]


if __name__ == "__main__":
    main(cases)
