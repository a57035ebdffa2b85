"""``python -m tamso.inspect``: output, diagnostics and exit statuses."""

import importlib
import inspect
import json
import sys
from pathlib import Path

import pytest

from conftest import TESTS_DIR, python, raised

EXAMPLES = Path(TESTS_DIR).parent / "examples"
# metadata is read before the source: `len` has none
ODD = ("from asset_like import Asset\n\nclass Odd(Exception):\n    def __str__(self):\n        raise ValueError\n\n"
       "odd = Asset(len, {})\n")


def run(cwd, *args, **env):
    return python("-m", "tamso.inspect", *args, cwd=cwd, path=[TESTS_DIR], env=env)


@pytest.mark.parametrize("env", [{}, {"PYTHONIOENCODING": "ascii"}])
def test_prints_the_document_for_modules_in_the_current_directory(tmp_path, env):
    (tmp_path / "cli_pipeline.py").write_text('from asset_like import asset\n\n@asset(name="Zürich")\n'
                                              "def first() -> int:\n    return 1\n", "utf-8")
    result = run(tmp_path, "cli_nosuch", "cli_pipeline", **env)
    assert result.returncode == 0, result.stderr
    skip = f"tamso: skipping module 'cli_nosuch': {raised(importlib.import_module, 'cli_nosuch')}\n"
    assert result.stderr == skip.encode()
    assert result.stdout.endswith(b"}\n") and result.stdout.count(b"\n") == 1
    assert '"name":"Zürich"'.encode() in result.stdout
    (record,) = json.loads(result.stdout.decode("utf-8"))["assets"]
    assert record["file_path"] == str((tmp_path / "cli_pipeline.py").resolve())


@pytest.mark.parametrize(("metadata", "message"), [
    (None, raised(inspect.getsource, sys)),
    ("{'x': float('nan')}", "RuntimeError: JSON parse error: expected value at line 1 column 7"),
    ("SystemExit(0)", "SystemExit: 0"),
    ("Odd()", "Odd: <exception str() failed>"),
])
def test_a_failed_call_exits_one(tmp_path, metadata, message):
    if metadata is not None:
        (tmp_path / "cli_failing.py").write_text(ODD.replace("{}", metadata))
    result = run(tmp_path, "sys" if metadata is None else "cli_failing")
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr == b"python -m tamso.inspect: error: " + message.encode() + b"\n"


@pytest.mark.parametrize(("args", "status"), [(["--help"], 0), ([], 2), (["--nope", "m"], 2)])
def test_usage(tmp_path, args, status):
    result = run(tmp_path, *args)
    assert result.returncode == status
    assert b"usage: python -m tamso.inspect" in (result.stderr if status else result.stdout)
    assert status or b"describes every asset" in b" ".join(result.stdout.split())


def test_example_pipeline():
    result = run(EXAMPLES, "pipeline.sources", "pipeline.reports")
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)["assets"]
    assert [(a["module_path"], a["function_name"]) for a in found] == [
        ("pipeline.sources", "customers"), ("pipeline.sources", "prices"),
        ("pipeline.reports", "customers"), ("pipeline.reports", "prices"), ("pipeline.reports", "summary")]
    sources = str((EXAMPLES / "pipeline" / "sources.py").resolve())
    assert found[-1]["decorator_metadata"]["inputs"] == {
        "customers": sources + ":customers", "prices": sources + ":prices"}
