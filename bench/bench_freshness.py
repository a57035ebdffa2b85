"""What freshness costs: tracked files on a no-op run, and following imports while planning.

- A no-op run of 10,000 jobs that track 1,000 files in all (each job one
  file), against the same no-op run of jobs that track nothing.
- Planning 200 pipeline modules that each import a shared tree of 50 helper
  modules (the import graph kept in the state store, as a run keeps it),
  against planning them without following imports.

Files go to TAMSO_BENCH_DIR, else /dev/shm where it exists.

    PYTHONPATH=<pkg> python3 bench/bench_freshness.py [--json]
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile
import textwrap
from typing import Any

from _harness import Case, main

import tamso
from tamso import imports, plan, runner

JOBS = 10_000
FILES = 1_000
MODULES = 200
HELPERS = 50


def _write(path: str, text: str) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as stream:
        stream.write(textwrap.dedent(text))
    # Sources written a moment ago are read again on every plan; these are old.
    past = os.stat(path).st_mtime_ns - 3600 * 10**9
    os.utime(path, ns=(past, past))


def cases() -> list[Case]:
    root = os.environ.get("TAMSO_BENCH_DIR") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    work = tempfile.mkdtemp(prefix="tamso-bench-freshness-", dir=root)
    atexit.register(shutil.rmtree, work, True)
    data = os.path.join(work, "data")
    for i in range(FILES):
        _write(os.path.join(data, f"{i}.txt"), f"file {i}\n")
    for name, body in (("noop_tracked", f"tamso.track(f'{data}/{{i % {FILES}}}.txt')"), ("noop_plain", "pass")):
        _write(os.path.join(work, f"{name}.py"), f"""
            import tamso
            from tamso import asset, partitions

            @asset(partitions={{"i": partitions(list(range({JOBS})))}})
            def job(i):
                {body}
                return i
        """)
    for i in range(HELPERS):
        children = [c for c in (2 * i + 1, 2 * i + 2) if c < HELPERS]
        lines = [f"from . import h{c}" for c in children]
        _write(os.path.join(work, "shared", f"h{i}.py"), "\n".join(lines) + f"\n\ndef helper{i}():\n    return {i}\n")
    _write(os.path.join(work, "shared", "__init__.py"), "")
    names = []
    for i in range(MODULES):
        names.append(f"pipe.m{i}")
        _write(os.path.join(work, "pipe", f"m{i}.py"), f"""
            from tamso import asset
            from shared import h0

            @asset()
            def value{i}():
                return h0.helper0() + {i}
        """)
    _write(os.path.join(work, "pipe", "__init__.py"), "")
    sys.path.insert(0, work)
    os.chdir(work)

    def noop(module: str) -> None:
        report = tamso.run([module], out=f"{module}-out", jobs=2)
        assert {job.status for job in report.jobs} == {"fresh"}

    for module in ("noop_tracked", "noop_plain"):
        assert tamso.run([module], out=f"{module}-out", jobs=2).status == "ok"
    # The planning rows' store: a run keeps the import graph there.
    assert tamso.run(names, out="plan-out", jobs=2).status == "ok"
    state_dir = os.path.join("plan-out", ".tamso")

    # Each side plans a few times per measurement: one plan takes tens of milliseconds.
    rounds = 5

    def planned() -> None:
        for _ in range(rounds):
            found = plan.build(names, code_cache=runner._code_cache(state_dir))
        assert len(found.assets["pipe.m0:value0"].code) == HELPERS + 3  # shared, its helpers, pipe, pipe.m0

    real = imports.closures

    def unfollowed() -> None:
        def nothing(modules: Any, cache: Any = None) -> dict[str, imports.Closure]:
            return {name: imports.Closure(b"") for name in modules}

        imports.closures = nothing  # type: ignore[assignment]
        try:
            for _ in range(rounds):
                plan.build(names)
        finally:
            imports.closures = real

    return [
        Case(
            f"no-op run of {JOBS:,} jobs tracking {FILES:,} files",
            ours=lambda: noop("noop_tracked"),
            baseline=lambda: noop("noop_plain"),
            baseline_name="the no-op run without tracking",
            target=1.2,
        ),
        Case(
            f"plan {MODULES} modules importing {HELPERS} shared helpers (x{rounds})",
            ours=planned,
            baseline=unfollowed,
            baseline_name="planning without following imports",
            target=1.2,
        ),
    ]


if __name__ == "__main__":
    main(cases)
