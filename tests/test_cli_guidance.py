"""What the command line tells a user who makes the first mistakes: selections, names, modules, versions."""

import functools
import io
import textwrap

import pytest

from conftest import cli, write_module
from tamso.reporting import JobReport, progress

PIPELINE = '''
from tamso import asset, partitions

@asset(partitions={"ticker": partitions(["AAPL", "MSFT"]), "day": partitions(["2026-12-01", "2026-12-02"])})
def prices(ticker, day):
    return [ticker, day]

@asset(inputs={"prices": prices}, partitions={"ticker": partitions(["AAPL", "MSFT"])})
def summary(**inputs):
    return sorted(inputs)

@asset()
def customers():
    return 2
'''


@pytest.fixture
def project(tmp_path):
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "__init__.py").write_text("")
    (tmp_path / "shop" / "reports.py").write_text(textwrap.dedent(PIPELINE))
    (tmp_path / "shop" / "constants.py").write_text("TICKERS = []\n")
    return tmp_path


tamso = functools.partial(cli, text=True)


def planned(result):
    """The jobs a dry run lists."""
    return [line.split(None, 1)[1] for line in result.stdout.splitlines()[:-1]]


@pytest.mark.parametrize(("args", "message"), [
    (("--partition", "ticker=IBM"), "no selected asset has the value IBM for the dimension 'ticker';"
                                    " its values are AAPL, MSFT"),
    (("--partition", "ticker=msft"), "(did you mean MSFT?)"),
    (("--partition", "tickr=MSFT"), "no selected asset has the dimension 'tickr' (did you mean 'ticker'?);"
                                    " the dimensions are day, ticker"),
    (("--partition", "day=2026-12-3"), "the value 2026-12-3 for the dimension 'day' (did you mean 2026-12-02 or"),
    (("--select", "shop.reports:customers", "--partition", "day=2026-12-01"), "no selected asset is partitioned"),
])
def test_selections_that_match_nothing_are_plan_errors(project, args, message):
    result = tamso(project, "run", "shop.reports", "--dry-run", *args)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert result.stdout == "" and not (project / "tamso-out").exists()


@pytest.mark.parametrize(("module", "args", "jobs"), [
    ("shop/reports.py", ("--select", "prices+", "--partition", "ticker=AAPL"), [
        "shop.reports:prices[day=2026-12-01, ticker=AAPL]", "shop.reports:prices[day=2026-12-02, ticker=AAPL]",
        "shop.reports:summary[ticker=AAPL]"]),
    ("./shop/reports.py", ("--select", "+summary", "--partition", "ticker=MSFT"), [
        "shop.reports:prices[day=2026-12-01, ticker=MSFT]", "shop.reports:prices[day=2026-12-02, ticker=MSFT]",
        "shop.reports:summary[ticker=MSFT]"]),
    ("shop.reports", ("--select", "customers"), ["shop.reports:customers"]),
])
def test_function_names_and_file_paths_select(project, module, args, jobs):
    result = tamso(project, "run", module, "--dry-run", *args)
    assert result.returncode == 0, result.stderr
    assert planned(result) == jobs


def test_a_module_without_assets_warns_and_the_run_goes_on(project):
    result = tamso(project, "run", "shop.constants", "shop.reports", "--select", "customers")
    assert result.returncode == 0, result.stderr
    assert "tamso: warning: module 'shop.constants' holds no assets" in result.stderr
    assert (project / "tamso-out" / "shop.reports:customers" / "value.json").read_text() == "2"


@pytest.mark.parametrize(("module", "message"), [
    ("shop.reports", "No module named 'shop', looked for from the working directory {cwd}"),
    ("shop/reports.py", "no such file or directory, looked for from the working directory {cwd}"),
    ("../elsewhere.py", "it lies outside the working directory {cwd}"),
])
def test_a_module_not_found_names_the_working_directory(project, module, message):
    (project / "elsewhere.py").write_text("")
    result = tamso(project / "shop", "run", module)
    assert result.returncode == 2
    assert message.format(cwd=project / "shop") in result.stderr and "dotted name" in result.stderr


@pytest.mark.parametrize(("args", "status", "stream", "words"), [
    (("--version",), 0, "stdout", "tamso 0.1.0"),
    ((), 2, "stderr", "usage: tamso [-h] [--version] COMMAND"),
])
def test_version_and_no_command(tmp_path, args, status, stream, words):
    result = tamso(tmp_path, *args)
    assert result.returncode == status and words in getattr(result, stream)


def job(status, label="a"):
    return JobReport(label, {}, status, 1, 0.1, None, None, "out/" + label)


def test_the_live_progress_counts_each_status_and_names_running_jobs():
    stream = io.StringIO()
    live = progress.LiveProgress(stream)
    live.begin(5)
    for name in ("first", "second", "third", "fourth"):
        live.job_submitted(name)
    live.job_done(job("ok", "first"), 3)
    live.job_done(job("failed", "third"), 2)
    live.job_done(job("blocked", "x"), 2)
    live.end()
    text = " ".join(stream.getvalue().split())
    assert "ok 1 fresh 0 failed 1 blocked 1 elapsed" in text and " left " in text
    assert text.endswith("running: second, fourth")


@pytest.mark.parametrize(("name", "source", "line", "where", "error"), [
    # A module that fails to import in the worker only: its output and traceback once.
    ("moody", '''
        import sys
        from tamso import asset

        print("importing")
        if "tamso.executors._worker" in sys.modules:
            raise RuntimeError("not in a worker")

        @asset()
        def f():
            return 1
    ''', 7, "<module>", "RuntimeError: not in a worker"),
    # A job whose value goes to a serializer.
    ("pickled", '''
        from tamso import asset

        @asset(serializer="pickle")
        def f():
            return {1, 2} - {3} if False else {}[0]
    ''', 6, "f", "KeyError: 0"),
])
def test_a_failing_job_leaves_the_traceback_of_the_pipeline_code(tmp_path, name, source, line, where, error):
    write_module(tmp_path, name, source)
    result = tamso(tmp_path, "run", name)
    assert result.returncode == 1
    log = (tmp_path / "tamso-out" / f"{name}:f" / "log.txt").read_text()
    assert f'File "{tmp_path / name}.py", line {line}, in {where}' in log and log.endswith(error + "\n")
    assert "tamso" not in log.replace(str(tmp_path), "") and "importlib" not in log
    assert f"at {name}.py:{line}" in result.stdout
    if name == "moody":
        assert log.count("importing") == 1
        assert (tmp_path / "tamso-out" / "moody:f" / "result.json").read_text() == (
            '{"error":"RuntimeError: not in a worker","error_type":"RuntimeError","ok":false}')
        assert "1 of 1 jobs done: 0 ok, 0 fresh, 1 failed, 0 blocked; elapsed" in result.stderr
