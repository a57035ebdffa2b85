"""What checking the state store on opening costs: ``PRAGMA quick_check`` on a store of many jobs.

    python bench/state_check.py [--jobs 100000] [--runs 1 10]

Records JOBS successful jobs in each of RUNS runs (the ``jobs`` table grows by
JOBS rows per run; the other tables stay at JOBS rows), then times opening the
store for a run with and without the check (best of 5, file in the page cache).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import tempfile
import time

from tamso.layout import ValueStamp
from tamso.state import JobRecord, StateStore


def build(state_dir: str, jobs: int, runs: int) -> None:
    store = StateStore.open(state_dir, create=True)
    digest = hashlib.sha256(b"value").hexdigest()
    for _ in range(runs):
        run_id = store.begin_run("tamso run big")
        now = time.time()
        store.record(run_id, (
            JobRecord(f"stage{n % 7}.asset_{n // 100:04d}", f'{{"p":{n % 100}}}', "ok", 1, digest, now, now, 0.1,
                      stamp=ValueStamp(digest, 12, 1))
            for n in range(jobs)))
        store.end_run(run_id, "ok")
    store.close()


def best(state_dir: str, check: bool) -> float:
    times = []
    for _ in range(5):
        start = time.perf_counter()
        StateStore.open(state_dir, create=True, check=check).close()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=100_000)
    parser.add_argument("--runs", type=int, nargs="+", default=[1, 10])
    args = parser.parse_args()
    for runs in args.runs:
        with tempfile.TemporaryDirectory() as state_dir:
            build(state_dir, args.jobs, runs)
            size = os.path.getsize(os.path.join(state_dir, "state.db"))
            checked, plain = best(state_dir, True), best(state_dir, False)
            print(f"{args.jobs} jobs, {runs} runs, {size / 1e6:.1f} MB: open {plain * 1000:.1f} ms,"
                  f" open + quick_check {checked * 1000:.1f} ms (check {1000 * (checked - plain):.1f} ms)")


if __name__ == "__main__":
    main()
