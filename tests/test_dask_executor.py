"""The Dask executor against the local pool: same files, same statuses, and its own faults."""

import json
import logging
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

distributed = pytest.importorskip("distributed")

import tamso  # noqa: E402
from tamso import cli  # noqa: E402
from tamso.executors import dask as dask_executor  # noqa: E402
from tamso.state import StateStore  # noqa: E402

from conftest import job_files as files, spawn, wait_for  # noqa: E402

EXAMPLES = str(pathlib.Path(__file__).resolve().parent.parent / "examples")

# All three ways an input takes upstream values (the one value, the same partition, every agreeing
# partition by its other values), output on both streams, and a failure that blocks its downstream job.
GRID = """
import os
from tamso import asset, partitions

DIMS = {"a": partitions([1, 2]), "b": partitions(["x", "y/z"])}

@asset()
def base() -> int:
    print("base says hi")
    return 10

@asset(partitions=DIMS)
def grid(a: int, b: str) -> dict:
    os.write(2, f"grid {a} {b}\\n".encode())
    if (a, b) == (2, "x"):
        raise ValueError("no cell here")
    return {"a": a, "b": b, "text": "Zürich"}

@asset(inputs={"base": base, "cell": grid}, partitions=DIMS)
def same(base: int, cell: dict, a: int, b: str) -> list:
    return [base, cell, a, b]

@asset(inputs={"cells": grid}, partitions={"a": partitions([1, 2])})
def rows(cells: dict, a: int) -> dict:
    return {"a": a, "cells": cells}
"""

FRAGILE = """
import os
import signal
from tamso import asset, partitions

I = {"i": partitions([1, 2])}


@asset(partitions=I)
def fragile(i: int) -> int:
    if i == 1 and not os.path.exists(MARKER):
        open(MARKER, "w").close()
        os.kill(os.getpid(), signal.SIGKILL)
    return i


@asset(inputs={"v": fragile}, partitions=I)
def after(v: int, i: int) -> int:
    return v + 10


# Trivial jobs first, so that the later ones share tasks; one of those kills its worker every time.
J = {"j": partitions(list(range(8)))}


@asset(partitions=J)
def first(j: int) -> int:
    return j


@asset(inputs={"v": first}, partitions=J)
def doomed(v: int, j: int) -> int:
    if j == 3:
        os.kill(os.getpid(), signal.SIGKILL)
    return v * 2
"""

SLOW = """
import os
import time
from tamso import asset, partitions


@asset(partitions={"i": partitions([1, 2, 3, 4])})
def slow(i: int) -> int:
    open(os.path.join(HERE, f"started-{i}"), "w").close()
    time.sleep(60)
    return i
"""

# Trivial jobs, so that they share tasks, one of which sleeps in the middle of its batch: the jobs before
# and after it in its batch run again.
STUCK = """
import time
from tamso import asset, partitions

I = {"i": partitions(list(range(12)))}


@asset(partitions=I)
def stuck(i: int) -> int:
    if i == 6:
        print("going to sleep", flush=True)
        time.sleep(30)
    return i


@asset(inputs={"v": stuck}, partitions=I)
def after(v: int, i: int) -> int:
    return v + 10
"""


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    """Pipeline modules in a folder on sys.path, put there before any worker starts."""
    folder = tmp_path_factory.mktemp("dask_modules")
    (folder / "dk_grid.py").write_text(GRID)
    (folder / "dk_fragile.py").write_text(f"MARKER = {str(folder / 'killed-once')!r}\n" + FRAGILE)
    (folder / "dk_slow.py").write_text(f"HERE = {str(folder)!r}\n" + SLOW)
    (folder / "dk_stuck.py").write_text(STUCK)
    added = [str(folder), EXAMPLES]
    sys.path[:0] = added
    yield folder
    for entry in added:
        sys.path.remove(entry)


@pytest.fixture(scope="module")
def client(modules):
    """A cluster of two worker processes shared by the tests, passed to tamso.run as its executor."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                       silence_logs=logging.ERROR)
    client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()
    cluster.close()


def statuses(report):
    return [(j.label(), j.status, j.error_type, j.error) for j in report.jobs]


def run_both(tmp_path, monkeypatch, modules_, executor, absolute):
    """Run under the local pool and then under `executor` into the same OUT text; returns both reports."""
    reports, trees = [], []
    for name, chosen in (("local", "local"), ("dask", executor)):
        where = tmp_path / name
        where.mkdir()
        monkeypatch.chdir(where)
        # An absolute OUT names the same directory in both runs: the first run's is moved aside.
        out = str(tmp_path / "out") if absolute else "out"
        reports.append(tamso.run(modules_, out=out, jobs=2, executor=chosen))
        trees.append(files(out))
        if absolute:
            shutil.move(out, where / "out")
    return reports, trees


@pytest.mark.parametrize("absolute", [False, True], ids=["relative-out", "absolute-out"])
def test_same_files_and_statuses_as_the_local_pool(tmp_path, monkeypatch, client, absolute):
    reports, trees = run_both(tmp_path, monkeypatch, ["dk_grid"], client, absolute)
    assert statuses(reports[0]) == statuses(reports[1])
    assert trees[0] == trees[1] and trees[0]
    assert {j.label(): j.status for j in reports[1].jobs if j.status != "ok"} == {
        "dk_grid:grid[a=2, b=x]": "failed", "dk_grid:same[a=2, b=x]": "blocked", "dk_grid:rows[a=2]": "blocked"}
    assert json.loads(trees[1]["dk_grid:base/result.json"])["value_path"] == str(
        (tmp_path / "out" if absolute else pathlib.Path("out")) / "dk_grid:base" / "value.json")


def test_example_pipeline_on_a_cluster_of_its_own_then_all_fresh(tmp_path, monkeypatch, modules):
    pipeline = ["pipeline.sources", "pipeline.reports"]
    reports, trees = run_both(tmp_path, monkeypatch, pipeline, "dask", False)
    assert reports[1].status == "ok" and statuses(reports[0]) == statuses(reports[1])
    assert trees[0] == trees[1]

    def refuse(self, task):
        raise AssertionError(f"job {task.job_id} was submitted")

    monkeypatch.setattr(dask_executor.DaskExecutor, "submit", refuse)
    again = tamso.run(pipeline, out="out", jobs=2, executor="dask")
    assert {j.status for j in again.jobs} == {"fresh"}


def test_fresh_upstream_values_are_scattered_to_the_cluster(tmp_path, monkeypatch, client, modules):
    monkeypatch.chdir(tmp_path)
    tamso.run(["dk_grid"], out="out", executor=client)
    report = tamso.run(["dk_grid"], out="out", executor=client, select=["dk_grid:same", "dk_grid:rows"],
                       partitions={"a": 1}, force=True)
    assert [j.status for j in report.jobs] == ["ok"] * 3
    before = files("out")
    tamso.run(["dk_grid"], out="out", executor="local", select=["dk_grid:same", "dk_grid:rows"],
              partitions={"a": 1}, force=True)
    assert files("out") == before


def test_a_job_that_kills_its_worker_once_runs_again_one_that_always_does_fails_alone(tmp_path, monkeypatch,
                                                                                      client, modules):
    monkeypatch.chdir(tmp_path)
    report = tamso.run(["dk_fragile"], out="out", executor=client)
    assert (modules / "killed-once").exists()
    failed = {j.label(): (j.status, j.error_type) for j in report.jobs if j.status != "ok"}
    assert failed == {"dk_fragile:doomed[j=3]": ("failed", "WorkerDied")}
    assert tamso.read("dk_fragile:after", {"i": 1}, out="out") == 11
    assert tamso.read("dk_fragile:doomed", {"j": 4}, out="out") == 8
    assert sorted(f for f in files("out") if "doomed" not in f and "first" not in f) == sorted(
        f"dk_fragile:{key}/i={i}/{name}" for key in ("fragile", "after") for i in (1, 2)
        for name in ("log.txt", "result.json", "value.json"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("extra, message", [
    (["--scheduler", f"tcp://127.0.0.1:{free_port()}", "--connect-timeout", "1"], "cannot reach the scheduler"),
    (["--executor", "local", "--scheduler", "tcp://127.0.0.1:1"], "cannot go with --executor local"),
    (["--executor", "dask"], 'pip install "tamso[dask]"'),
    (["--upload-code"], "uploading the code is for Dask workers"),
])
def test_cluster_that_cannot_be_used_exits_2_writing_nothing(tmp_path, monkeypatch, capsys, modules, extra,
                                                              message):
    if extra == ["--executor", "dask"]:  # as if distributed were not installed
        monkeypatch.setitem(sys.modules, "distributed", None)
        monkeypatch.delitem(sys.modules, "tamso.executors.dask")
        monkeypatch.delattr("tamso.executors.dask")
    monkeypatch.chdir(tmp_path)
    started = time.monotonic()
    assert cli.main(["run", "dk_grid", "--out", "out", *extra]) == 2
    assert time.monotonic() - started < 30
    assert message in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


def test_interrupt_cancels_closes_the_cluster_and_records_the_run(tmp_path, modules):
    process = spawn(tmp_path, "run", "dk_slow", "--executor", "dask", "--jobs", "2", "--out", "out", path=[str(modules)],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        wait_for(lambda: len(list(modules.glob("started-*"))) >= 2, timeout=60, step=0.1)
        assert len(list(modules.glob("started-*"))) == 2
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 130
    finally:
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGKILL)
    assert "interrupted" in process.stderr.read().decode()
    # The cluster went down with the run: no worker process of the session outlives it for long.
    assert wait_for(lambda: not subprocess.run(["pgrep", "-s", str(process.pid)], capture_output=True).stdout,
                    timeout=10, step=0.2)
    store = StateStore.open(str(tmp_path / "out" / ".tamso"), create=False)
    try:
        assert [run[3] for run in store.runs()] == ["interrupted"]
    finally:
        store.close()


def test_a_job_past_its_timeout_fails_its_worker_is_ended_and_the_run_goes_on(tmp_path, monkeypatch, capsys, modules):
    monkeypatch.chdir(tmp_path)
    started = time.monotonic()
    code = cli.main(["run", "dk_stuck", "--executor", "dask", "--jobs", "2", "--timeout", "1", "--retries", "1",
                     "--out", "out", "--json"])
    # Far less than the 30 s the job sleeps (twice, with its retry): the job was stopped, not waited for.
    assert time.monotonic() - started < 25
    assert code == 1
    jobs = {(j["key"], j["partition"]["i"]): j for j in json.loads(capsys.readouterr().out)["jobs"]}
    assert {k: j["status"] for k, j in jobs.items() if j["status"] != "ok"} == {
        ("dk_stuck:stuck", 6): "failed", ("dk_stuck:after", 6): "blocked"}
    assert [tamso.read("dk_stuck:after", {"i": i}, out="out") for i in range(12) if i != 6] == [
        i + 10 for i in range(12) if i != 6]
    timed_out = jobs[("dk_stuck:stuck", 6)]
    assert (timed_out["error_type"], timed_out["attempts"]) == ("Timeout", 2)
    assert timed_out["error"] == "the job ran longer than its timeout of 1 s; its worker was killed"
    directory = tmp_path / "out" / "dk_stuck:stuck" / "i=6"
    assert json.loads((directory / "result.json").read_bytes())["error_type"] == "Timeout"
    assert (directory / "log.txt").read_text() == "going to sleep\n"
    assert not (directory / "value.json").exists()
