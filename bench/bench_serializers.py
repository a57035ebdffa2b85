"""Data frames and Arrow tables between assets, through ``tamso.run``.

- A frame of 1,000,000 rows x 3 columns (a timestamp, an int64, a float64)
  returned by one asset and read by one downstream, with ``serializer="parquet"``
  and with ``serializer="arrow"``: the time the frame adds to that two-job run
  (the run minus the same run returning the frame's first 10 rows; both on
  one pool of two workers kept warm across runs), against
  pyarrow's own write and read of the same frame in one process (Parquet:
  ``write_table`` + ``read_table().to_pandas()``; Arrow: the IPC file written,
  then read memory-mapped and ``to_pandas()``).
- Memory: a downstream that sums one column of a 1 GB Arrow table (16 int64
  columns of 64 MB) upstream: how much it raises its worker's peak RSS.

Files go to TAMSO_BENCH_DIR, else /dev/shm where it exists.

    PYTHONPATH=<pkg> python3 bench/bench_serializers.py [--repeat N]
"""

from __future__ import annotations

import atexit
import gc
import json
import os
import shutil
import statistics
import sys
import tempfile
import textwrap
import time
from typing import Any, Callable

import tamso

FRAMES = """
    import numpy as np
    import pandas as pd
    from tamso import asset

    ROWS = 1_000_000
    FRAME = pd.DataFrame({
        "when": pd.date_range("2026-01-01", periods=ROWS, freq="s"),
        "count": np.arange(ROWS, dtype="int64"),
        "value": np.linspace(0.0, 1.0, ROWS),
    })

    @asset(serializer="parquet")
    def parquet_big():
        return FRAME

    @asset(serializer="parquet")
    def parquet_tiny():
        return FRAME.head(10)

    @asset(serializer="arrow")
    def arrow_big():
        return FRAME

    @asset(serializer="arrow")
    def arrow_tiny():
        return FRAME.head(10)

    @asset(inputs={"frame": parquet_big})
    def read_parquet_big(frame):
        return len(frame)

    @asset(inputs={"frame": parquet_tiny})
    def read_parquet_tiny(frame):
        return len(frame)

    @asset(inputs={"frame": arrow_big})
    def read_arrow_big(frame):
        return len(frame)

    @asset(inputs={"frame": arrow_tiny})
    def read_arrow_tiny(frame):
        return len(frame)
"""

HUGE = """
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    from tamso import asset

    COLUMNS, ROWS = 16, 8_000_000  # 16 x 64 MB

    def _peak_kb():
        with open("/proc/self/status") as stream:
            for line in stream:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    @asset(serializer="arrow")
    def huge():
        column = np.arange(ROWS, dtype="int64")
        return pa.table({f"c{i}": column for i in range(COLUMNS)})

    @asset()
    def idle():
        return {"pid": __import__("os").getpid(), "peak_kb": _peak_kb()}

    @asset(inputs={"table": huge})
    def column_sum(table):
        total = int(pc.sum(table.column("c3")).as_py())
        return {"pid": __import__("os").getpid(), "peak_kb": _peak_kb(), "sum": total}
"""


def _workdir() -> str:
    root = os.environ.get("TAMSO_BENCH_DIR") or ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    work = tempfile.mkdtemp(prefix="tamso-bench-serializers-", dir=root)
    atexit.register(shutil.rmtree, work, True)
    for name, source in (("bench_frames", FRAMES), ("bench_huge", HUGE)):
        with open(os.path.join(work, f"{name}.py"), "w") as stream:
            stream.write(textwrap.dedent(source))
    sys.path.insert(0, work)
    os.chdir(work)
    return work


class _WarmPool:
    """The local pool, kept across runs: its workers have imported pandas, pyarrow and the pipeline once, so
    that a run's time is the jobs' and not the workers' start (which would drown the frame's share)."""

    def __init__(self) -> None:
        from tamso.executors.local import LocalPool

        self.pool = LocalPool(2, cwd=os.getcwd(), sys_path=list(sys.path))

    def submit(self, task: Any) -> None:
        self.pool.submit(task)

    def wait(self, timeout: float | None) -> Any:
        return self.pool.wait(timeout)

    def running(self) -> int:
        return self.pool.running()

    def close(self, *, cancel: bool = False) -> None:
        if cancel:
            self.pool.close(cancel=True)


_POOL: list[_WarmPool] = []


def _run(*select: str) -> None:
    if not _POOL:
        _POOL.append(_WarmPool())
        atexit.register(_POOL[0].pool.close)
    report = tamso.run(["bench_frames"], out="out", select=list(select), force=True, executor=_POOL[0])
    assert report.status == "ok", report.failed()[:1]


def _timed(fn: Callable[[], object]) -> float:
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def _frame_row(kind: str, baseline: Callable[[], object], baseline_name: str, repeat: int) -> dict[str, Any]:
    big = lambda: _run(f"bench_frames:{kind}_big", f"bench_frames:read_{kind}_big")  # noqa: E731
    tiny = lambda: _run(f"bench_frames:{kind}_tiny", f"bench_frames:read_{kind}_tiny")  # noqa: E731
    big(), tiny(), baseline()  # warm-up
    times: dict[str, list[float]] = {"big": [], "tiny": [], "base": []}
    for _ in range(repeat):
        times["big"].append(_timed(big))
        times["tiny"].append(_timed(tiny))
        times["base"].append(_timed(baseline))
    added = [b - t for b, t in zip(times["big"], times["tiny"])]
    ratios = [a / b for a, b in zip(added, times["base"])]

    def spread(values: list[float]) -> dict[str, float]:
        return {"median": statistics.median(values), "min": min(values), "max": max(values)}

    ratio = spread(ratios)
    return {
        "name": f"1,000,000-row frame through tamso run, {kind}",
        "target": 1.3,
        "seconds": {"ours": spread(added), baseline_name: spread(times["base"]),
                    "run with the frame": spread(times["big"]), "run with 10 rows": spread(times["tiny"])},
        "baseline": baseline_name,
        "ratio": ratio,
        "met": ratio["median"] <= 1.3,
    }


def _frame_baselines(work: str) -> tuple[Callable[[], object], Callable[[], object]]:
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    rows = 1_000_000
    frame = pd.DataFrame({
        "when": pd.date_range("2026-01-01", periods=rows, freq="s"),
        "count": np.arange(rows, dtype="int64"),
        "value": np.linspace(0.0, 1.0, rows),
    })
    path = os.path.join(work, "baseline")

    def parquet() -> None:
        pq.write_table(pa.Table.from_pandas(frame), path + ".parquet", compression="zstd")
        assert len(pq.read_table(path + ".parquet").to_pandas()) == rows

    def arrow() -> None:
        table = pa.Table.from_pandas(frame)
        with pa.OSFile(path + ".arrow", "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)
        with pa.memory_map(path + ".arrow") as source:
            assert len(pa.ipc.open_file(source).read_all().to_pandas()) == rows

    return parquet, arrow


def memory_row() -> dict[str, Any]:
    """Peak RSS of a worker before and after a job that sums one column of a 1 GB Arrow table."""
    report = tamso.run(["bench_huge"], out="huge-out", jobs=1, select=["bench_huge:huge"])
    assert report.status == "ok", report.failed()[:1]
    size = os.path.getsize(os.path.join("huge-out", "bench_huge:huge", "value.arrow"))
    report = tamso.run(["bench_huge"], out="huge-out", jobs=1, select=["bench_huge:idle", "bench_huge:column_sum"],
                       force=True)
    assert report.status == "ok", report.failed()[:1]
    idle = tamso.read("bench_huge:idle", out="huge-out")
    summed = tamso.read("bench_huge:column_sum", out="huge-out")
    assert idle["pid"] == summed["pid"], "both jobs must run in one worker"
    raised_mb = (summed["peak_kb"] - idle["peak_kb"]) / 1024
    return {"name": f"sum one column of a {size / 1e9:.2f} GB Arrow table upstream", "target": 150,
            "peak_rss_raise_mb": raised_mb, "met": raised_mb <= 150}


def rows(repeat: int = 5) -> list[dict[str, Any]]:
    work = _workdir()
    parquet, arrow = _frame_baselines(work)
    results = [
        _frame_row("parquet", parquet, "pyarrow write_table + read_table().to_pandas()", repeat),
        _frame_row("arrow", arrow, "pyarrow IPC file written, read memory-mapped + to_pandas()", repeat),
    ]
    for row in results:
        ratio, seconds = row["ratio"], row["seconds"]
        print(f"{row['name']:<48} {seconds['ours']['median'] * 1e3:10.2f} ms  {ratio['median']:6.3f}x "
              f"[{ratio['min']:.3f}-{ratio['max']:.3f}] vs {row['baseline']} "
              f"({seconds[row['baseline']]['median'] * 1e3:.0f} ms)  <= 1.30 {'ok' if row['met'] else 'MISSED'}",
              flush=True)
    memory = memory_row()
    print(f"{memory['name']:<48} peak RSS +{memory['peak_rss_raise_mb']:.0f} MB  <= 150 MB"
          f" {'ok' if memory['met'] else 'MISSED'}", flush=True)
    return [*results, memory]


if __name__ == "__main__":
    repeat = int(sys.argv[sys.argv.index("--repeat") + 1]) if "--repeat" in sys.argv else 5
    found = rows(repeat)
    if "--json" in sys.argv:
        print(json.dumps(found, indent=2))
