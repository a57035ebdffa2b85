"""`tamso run`, `tamso status` and `tamso.read` on small pipelines written by the tests."""

import json
import os
import pathlib
import signal
import sqlite3
import subprocess
import textwrap
import time

import pytest

import tamso
from conftest import cli as tamso_cli, job_files as files, python, run_statuses as statuses, spawn, wait_for
from conftest import write_module as write
from test_graph_report import Page

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

DIAMOND = '''
from tamso import asset, partitions

@asset()
def base():
    return {"unit": "EUR"}

@asset(name="prices", partitions={"ticker": partitions(["A", "B/C"]), "day": partitions([1, 2])})
def prices(ticker, day):
    return {"ticker": ticker, "day": day}

@asset(inputs={"base": base, "prices": prices}, partitions={"day": partitions([1, 2]), "ticker": partitions(["A", "B/C"])})
def same(base, prices, day, ticker):
    return [base["unit"], prices]

@asset(inputs={"prices": prices}, partitions={"ticker": partitions(["A", "B/C"])})
def by_ticker(prices, ticker):
    return prices

@asset(inputs={"prices": prices, "base": base})
def everything(prices, base):
    return sorted(prices)
'''


@pytest.fixture
def diamond(tmp_path):
    write(tmp_path, "diamond", DIAMOND)
    return tmp_path


def test_example_pipeline_runs_then_is_fresh(tmp_path):
    out = tmp_path / "out"
    first = python("-m", "tamso", "run", "pipeline.reports", "--out", str(out), "--json", cwd=EXAMPLES)
    assert first.returncode == 0, first.stderr
    assert set(statuses(first).values()) == {"ok"} and len(statuses(first)) == 10
    summary = json.loads((out / "pipeline.reports:summary" / "ticker=MSFT" / "value.json").read_bytes())
    assert summary == {"ticker": "MSFT", "customers": 2, "closes": {"2026-12-01": 411.25, "2026-12-02": 412.25}}
    result = json.loads((out / "daily_prices" / "day=2026-12-01" / "ticker=AAPL" / "result.json").read_bytes())
    assert result["value_path"] == str(out / "daily_prices" / "day=2026-12-01" / "ticker=AAPL" / "value.json")
    # The job body's traceback capture leaves result.json as the core writes it.
    assert result["signature"] == "(ticker: str, day: str) -> dict[str, object]"

    second = python("-m", "tamso", "run", "pipeline.reports", "--out", str(out), "--json", cwd=EXAMPLES)
    assert second.returncode == 0 and set(statuses(second).values()) == {"fresh"}

    status = python("-m", "tamso", "status", str(out), cwd=EXAMPLES)
    assert status.returncode == 0
    assert b"daily_prices" in status.stdout and b"day=2026-12-02, ticker=GOOG" in status.stdout
    assert tamso.read("daily_prices", {"day": "2026-12-02", "ticker": "GOOG"}, out=str(out))["close"] == 174.0


@pytest.mark.parametrize(("source", "args", "message"), [
    ("import no_such_module\n", (), "cannot import module 'bad': ModuleNotFoundError: No module named 'no_such_module'"),
    ('from tamso import asset\n@asset(inputs={"x": "elsewhere.py:f"})\ndef f(x): pass\n', (),
     "asset 'bad:f', input 'x': 'elsewhere.py:f' names no inspected asset"),
    ('from tamso import asset\n@asset(name="k")\ndef f(): pass\n@asset(name="k")\ndef g(): pass\n', (),
     "two assets have the key 'k'"),
    ('from tamso import asset\n@asset(name="a", inputs={"x": __file__ + ":g"})\ndef f(x): pass\n'
     '@asset(name="b", inputs={"y": __file__ + ":f"})\ndef g(y): pass\n'
     '@asset(name="c", inputs={"z": __file__ + ":g"})\ndef h(z): pass\n', (), "cycle between assets: a -> b -> a"),
    ('from tamso import asset, partitions\n@asset(partitions={"d": partitions([1])})\ndef up(d): pass\n'
     '@asset(inputs={"u": up}, partitions={"d": partitions([1, 2])})\ndef down(u, d): pass\n', (),
     "asset 'bad:down', input 'u': upstream 'bad:up' has no partition d=2"),
    ('from tamso import asset, partitions\n@asset(partitions={"d": partitions(["a|b", "a"]), "e": partitions(["c", "b|c"])})\n'
     'def up(d, e): pass\n@asset(inputs={"u": up})\ndef down(u): pass\n', (), "both give the key 'a|b|c'"),
    ('from tamso import asset, partitions\n@asset()\ndef up(): pass\n'
     '@asset(inputs={"d": up}, partitions={"d": partitions([1])})\ndef down(d): pass\n', (),
     "asset 'bad:down': dimension 'd' is also an input parameter"),
    ('from tamso import asset\n@asset()\ndef f(): pass\n', ("--select", "bad:g"), "no asset has the key 'bad:g'"),
    ('from tamso import asset\n@asset()\ndef first(): pass\n', ("--select", "frist"),
     "--select frist: no asset has the key 'frist' (did you mean 'first'?)"),
    ('from tamso import asset\n@asset(name="alpha")\ndef f(): pass\n@asset(name="beta:f")\ndef g(): pass\n',
     ("--select", "+f"), "--select +f: 'f' names 2 assets, select one by its key: alpha, beta:f"),
    ('d = {}\ndef g():\n    return d["k"]\nx = g()\n', (),
     "cannot import module 'bad': KeyError: 'k'\n  bad.py:4: x = g()\n  bad.py:3: return d[\"k\"]\n"),
    ('from tamso import asset\n@asset\ndef f(): pass\n', (), "bad.py:2: @asset\n  write @asset() with parentheses"),
    ('from tamso import asset, partitions\n@asset(partitions={"day": partitions([1])})\ndef a(): pass\n', (),
     "asset 'bad:a': its function a() cannot be called as its jobs call it (with day):"
     " got an unexpected keyword argument 'day'"),
    ('from tamso import asset\n@asset()\ndef up(): pass\n@asset(inputs={"x": up})\ndef down(y, *, z=1): pass\n', (),
     "asset 'bad:down': its function down(y, *, z=1) cannot be called as its jobs call it (with x):"),
    ('from tamso import asset\n@asset()\ndef f(): pass\n@asset(inputs={"x": f})\ndef g(x): pass\n',
     ("--select", "bad:g"), "job bad:f is not selected and has no successful materialization"),
])
def test_plan_errors_run_and_write_nothing(tmp_path, source, args, message):
    (tmp_path / "bad.py").write_text(source)
    result = tamso_cli(tmp_path, "run", "bad", *args)
    assert result.returncode == 2
    assert message in result.stderr.decode(), result.stderr
    assert result.stdout == b""
    assert not (tmp_path / "tamso-out").exists()


FAILING = '''
import os, signal, sys
from tamso import asset, partitions

@asset(partitions={"n": partitions([1, 2, 3])})
def numbers(n):
    print("working on", n)
    print("to stderr", n, file=sys.stderr)
    if n == 2:
        raise ValueError("two is not allowed")
    if n == 3:
        os.kill(os.getpid(), signal.SIGKILL)
    return n

@asset(inputs={"numbers": numbers}, partitions={"n": partitions([1, 2, 3])})
def doubled(numbers, n):
    return numbers * 2

@asset()
def independent():
    return "fine"
'''


def test_failures_block_downstream_and_spare_other_branches(tmp_path):
    write(tmp_path, "failing", FAILING)
    result = tamso_cli(tmp_path, "run", "failing", "--jobs", "2")
    assert result.returncode == 1
    out = tmp_path / "tamso-out"
    report = tamso_cli(tmp_path, "run", "failing", "--json")
    found = statuses(report)
    assert found == {
        ("failing:numbers", '{"n": 1}'): "fresh", ("failing:numbers", '{"n": 2}'): "failed",
        ("failing:numbers", '{"n": 3}'): "failed", ("failing:doubled", '{"n": 1}'): "fresh",
        ("failing:doubled", '{"n": 2}'): "blocked", ("failing:doubled", '{"n": 3}'): "blocked",
        ("failing:independent", "{}"): "fresh",
    }
    jobs = {(j["key"], j["partition"].get("n")): j for j in json.loads(report.stdout)["jobs"]}
    assert jobs["failing:numbers", 2]["error"] == "ValueError: two is not allowed"
    assert "killed by SIGKILL" in jobs["failing:numbers", 3]["error"]
    assert jobs["failing:doubled", 2]["error"] == "upstream job failing:numbers[n=2] failed"
    # The log ends with the traceback from the asset's frame inward; result.json is the core's error form.
    log = (out / "failing:numbers" / "n=2" / "log.txt").read_text()
    assert log.startswith("working on 2\nto stderr 2\nTraceback (most recent call last):\n")
    assert f'File "{tmp_path / "failing.py"}", line 10, in numbers\n' in log and "tamso" not in log
    assert log.endswith('raise ValueError("two is not allowed")\nValueError: two is not allowed\n')
    assert json.loads((out / "failing:numbers" / "n=2" / "result.json").read_bytes()) == {
        "error": "ValueError: two is not allowed", "error_type": "ValueError", "ok": False}
    assert json.loads((out / "failing:numbers" / "n=3" / "result.json").read_bytes())["ok"] is False
    # The summary names each failed job, its error, where in the pipeline it failed and the end of its log.
    text = result.stdout.decode()
    assert "failed: failing:numbers[n=2]" in text and "two is not allowed" in text and "to stderr 2" in text
    assert "at failing.py:10" in text and "sum of job durations" in text and "wall time" in text


def test_retries_timeouts_and_forced_runs(tmp_path):
    write(tmp_path, "flaky", '''
        import os, pathlib, time
        from tamso import asset

        @asset()
        def flaky():
            marker = pathlib.Path("attempts")
            marker.write_text(marker.read_text() + "x" if marker.exists() else "x")
            if len(marker.read_text()) < 3:
                raise RuntimeError("not yet")
            return "third time"

        @asset()
        def slow():
            time.sleep(30)
    ''')
    result = tamso_cli(tmp_path, "run", "flaky", "--retries", "2", "--timeout", "1", "--json")
    assert result.returncode == 1
    jobs = {j["key"]: j for j in json.loads(result.stdout)["jobs"]}
    assert (jobs["flaky:flaky"]["status"], jobs["flaky:flaky"]["attempts"]) == ("ok", 3)
    assert (jobs["flaky:slow"]["status"], jobs["flaky:slow"]["attempts"]) == ("failed", 3)
    assert jobs["flaky:slow"]["error_type"] == "Timeout"
    forced = tamso_cli(tmp_path, "run", "flaky", "--select", "flaky:flaky", "--force", "--json")
    assert statuses(forced) == {("flaky:flaky", "{}"): "ok"}


def test_changes_rerun_only_what_they_reach(tmp_path):
    source = '''
        from tamso import asset
        COUNT = 1

        @asset()
        def up():
            return COUNT

        @asset(inputs={"up": up})
        def down(up):
            return up + 1

        @asset()
        def other():
            return "unchanged"
    '''
    write(tmp_path, "chain", source)
    assert tamso_cli(tmp_path, "run", "chain").returncode == 0
    # A module edit that leaves up's value alone reruns the module's assets, not its dependents twice.
    write(tmp_path, "chain", textwrap.dedent(source) + "# a comment\n")
    assert set(statuses(tamso_cli(tmp_path, "run", "chain", "--json")).values()) == {"ok"}
    assert set(statuses(tamso_cli(tmp_path, "run", "chain", "--json")).values()) == {"fresh"}
    # A changed value.json is not fresh.
    value = tmp_path / "tamso-out" / "chain:other" / "value.json"
    value.write_text('"tampered"')
    assert statuses(tamso_cli(tmp_path, "run", "chain", "--json"))[("chain:other", "{}")] == "ok"
    assert value.read_text() == '"unchanged"'


def test_selection_and_partition_filters(diamond):
    dry = tamso_cli(diamond, "run", "diamond", "--dry-run", "--select", "+diamond:by_ticker", "--partition", "ticker=A")
    assert dry.stdout.decode().splitlines() == [
        "runs   prices[day=1, ticker=A]", "runs   prices[day=2, ticker=A]",
        "runs   diamond:by_ticker[ticker=A]", "3 jobs: 0 fresh, 3 runs, 0 waits"]
    # by_ticker also reads day=1, which is neither selected nor materialized.
    missing = tamso_cli(diamond, "run", "diamond", "--select", "+diamond:by_ticker", "--partition", "day=2")
    assert missing.returncode == 2 and b"prices[day=1, ticker=A] is not selected" in missing.stderr
    assert tamso_cli(diamond, "run", "diamond", "--select", "+diamond:by_ticker", "--partition", "ticker=A").returncode == 0
    later = tamso_cli(diamond, "run", "diamond", "--select", "diamond:by_ticker+", "--partition", "ticker=A", "--json")
    assert statuses(later) == {("diamond:by_ticker", '{"ticker": "A"}'): "fresh"}
    rest = tamso_cli(diamond, "run", "diamond", "--dry-run")
    assert rest.stdout.decode().splitlines()[-1] == "12 jobs: 3 fresh, 9 runs, 0 waits"


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_a_second_run_is_refused_and_a_stopped_run_ends_interrupted_and_reported(tmp_path, stop):
    write(tmp_path, "slow", '''
        import time
        from tamso import asset

        @asset()
        def quick():
            return 1

        @asset(inputs={"quick": quick})
        def slow(quick):
            time.sleep(60)
    ''')
    first = spawn(tmp_path, "run", "slow", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for((tmp_path / "tamso-out" / "slow:slow" / "log.txt").exists)
        second = tamso_cli(tmp_path, "run", "slow")
        assert second.returncode == 2 and b"another run holds 'tamso-out'" in second.stderr
    finally:
        first.send_signal(stop)
        assert first.wait(30) == 130
    db = sqlite3.connect(tmp_path / "tamso-out" / ".tamso" / "state.db")
    assert db.execute("SELECT outcome FROM runs").fetchall() == [("interrupted",)]
    page = Page((tmp_path / "tamso-out" / "report.html").read_text())
    assert page.jobs[("slow:quick", "")][0] == "ok" and page.jobs[("slow:slow", "")][0] == "never run"


KILLABLE = '''
import pathlib, time
from tamso import asset, partitions

@asset(partitions={"i": partitions(list(range(12)))})
def step(i):
    with open("ran.txt", "a") as log:
        log.write(f"step {i}\\n")
    time.sleep(0.05)
    return i * i

@asset(inputs={"step": step})
def total(step):
    with open("ran.txt", "a") as log:
        log.write("total\\n")
    return sum(step.values())
'''


@pytest.mark.parametrize("delay", [0.3, 0.5, 0.7])
def test_a_killed_runner_resumes_without_rerunning_finished_jobs(tmp_path, delay):
    write(tmp_path, "killable", KILLABLE)
    reference = tmp_path / "reference"
    reference.mkdir()
    write(reference, "killable", KILLABLE)
    assert tamso_cli(reference, "run", "killable", "--jobs", "2").returncode == 0

    runner = spawn(tmp_path, "run", "killable", "--jobs", "2", stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    runner.kill()
    runner.wait()
    time.sleep(0.2)  # the workers die with the runner
    finished_before = (tmp_path / "ran.txt").read_text().splitlines() if (tmp_path / "ran.txt").exists() else []
    assert tamso_cli(tmp_path, "run", "killable", "--jobs", "2").returncode == 0

    ran = (tmp_path / "ran.txt").read_text().splitlines()
    # A job runs twice only when the kill interrupted it while it ran (at most one per worker).
    assert len(ran) - len(set(ran)) <= 2 and set(ran) == set(finished_before) | {f"step {i}" for i in range(12)} | {"total"}
    assert files(tmp_path / "tamso-out") == files(reference / "tamso-out")
    db = sqlite3.connect(tmp_path / "tamso-out" / ".tamso" / "state.db")
    assert db.execute("PRAGMA integrity_check").fetchall() == [("ok",)]


def test_a_file_as_the_output_directory_is_a_usage_error(tmp_path):
    write(tmp_path, "one", "from tamso import asset\n@asset()\ndef one():\n    return 1\n")
    (tmp_path / "out").write_text("a file")
    result = tamso_cli(tmp_path, "run", "one", "--out", "out")
    assert result.returncode == 2 and "cannot use 'out' as the output directory" in result.stderr.decode(), result.stderr


@pytest.mark.parametrize("rows", [[], [("a", "1"), ("pipeline.x:éé漢字", "22")], [("x" * 60, "1234567")]])
def test_the_plain_summary_table_looks_as_rich_draws_it(rows):
    import io

    from rich.console import Console
    from rich.table import Table

    from tamso.reporting.summary import PlainTable

    drawn = []
    for kind in (Table, PlainTable):
        table = kind(title="tamso run: ok in 0.03 s", title_justify="left")
        table.add_column("asset")
        table.add_column("ok", justify="right")
        for row in rows:
            table.add_row(*row)
        if kind is Table:
            stream = io.StringIO()
            Console(file=stream, soft_wrap=True, width=200).print(table)
            drawn.append(stream.getvalue())
        else:
            drawn.append("\n".join(table.lines()) + "\n")
    assert drawn[0] == drawn[1]


def test_keyword_arguments_follow_the_three_rules_and_the_run_report_reads_like_a_tuple(diamond, monkeypatch):
    import pickle

    monkeypatch.chdir(diamond)
    monkeypatch.syspath_prepend(str(diamond))
    out = diamond / "out"
    report = tamso.run(["diamond"], out=str(out), jobs=2)
    read = lambda key, **p: tamso.read(key, p or None, out=str(out))  # noqa: E731
    # b: the upstream partition with the job's own values; a: the unpartitioned value.
    assert read("diamond:same", day=2, ticker="B/C") == ["EUR", {"ticker": "B/C", "day": 2}]
    # c: the agreeing partitions keyed by the values of the other dimensions, joined by "|".
    assert read("diamond:by_ticker", ticker="A") == {"1": {"ticker": "A", "day": 1}, "2": {"ticker": "A", "day": 2}}
    assert read("diamond:everything") == ["1|A", "1|B/C", "2|A", "2|B/C"]
    # Every job has one directory; names are percent-encoded where they would be ambiguous.
    assert (out / "prices" / "day=1" / "ticker=B%2FC" / "value.json").is_file()
    with pytest.raises(KeyError, match="no materialized partition"):
        read("prices", day=3, ticker="A")
    with pytest.raises(KeyError, match="'nothing'"):
        read("nothing")
    jobs = list(report.jobs)
    assert len(report.jobs) == len(jobs) == 12 and report.jobs[-1] == jobs[-1] and report.jobs[:2] == jobs[:2]
    assert [j.key for j in jobs][:1] == ["diamond:base"] and {j.status for j in jobs} == {"ok"}
    assert all(j.directory.startswith(str(out)) and os.path.isdir(j.directory) for j in jobs)
    per_asset, failed = report.jobs.tally()  # what the summary reads instead of every job's report
    assert failed == [] and {k: r["ok"] for k, r in per_asset.items()} == {
        k: sum(j.key == k for j in jobs) for k in {j.key for j in jobs}}
    assert all(r["time"] == pytest.approx(sum(j.duration for j in jobs if j.key == k)) for k, r in per_asset.items())
    copied = pickle.loads(pickle.dumps(report))
    assert copied.jobs == tuple(jobs) and copied.counts() == report.counts() == {
        "ok": 12, "fresh": 0, "failed": 0, "blocked": 0}
