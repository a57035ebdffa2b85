"""``python -m tamso.inspect``: output, diagnostics and exit statuses."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tamso

PACKAGE_ROOT = str(Path(tamso.__file__).resolve().parent.parent)
TESTS_DIR = str(Path(__file__).resolve().parent)
EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

PIPELINE = """\
from asset_like import asset

@asset(name="Zürich")
def first() -> int:
    return 1
"""


def run(cwd, *args, **env):
    return subprocess.run(
        [sys.executable, "-m", "tamso.inspect", *args],
        cwd=cwd,
        capture_output=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join([TESTS_DIR, PACKAGE_ROOT]), **env},
    )


@pytest.mark.parametrize("encoding", [None, "ascii"])
def test_prints_the_document_for_modules_in_the_current_directory(tmp_path, encoding):
    (tmp_path / "cli_pipeline.py").write_text(PIPELINE, "utf-8")
    env = {} if encoding is None else {"PYTHONIOENCODING": encoding}
    result = run(tmp_path, "cli_nosuch", "cli_pipeline", **env)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b"tamso: skipping module 'cli_nosuch': ModuleNotFoundError: No module named 'cli_nosuch'\n"
    assert result.stdout.endswith(b"}\n") and result.stdout.count(b"\n") == 1
    (record,) = json.loads(result.stdout.decode("utf-8"))["assets"]
    assert record["decorator_metadata"]["name"] == "Zürich"
    assert record["file_path"] == str((tmp_path / "cli_pipeline.py").resolve())
    assert '"name":"Zürich"'.encode() in result.stdout


@pytest.mark.parametrize(
    ("source", "message"),
    [
        (None, "TypeError: <module 'sys' (built-in)> is a built-in module"),
        ("from asset_like import Asset\n\nodd = Asset(len, {'x': float('nan')})\n",
         "RuntimeError: JSON parse error: expected value at line 1 column 7"),
        ("from asset_like import Asset\n\ndef f():\n    pass\n\nodd = Asset(f, SystemExit(0))\n", "SystemExit: 0"),
        ("from asset_like import Asset\n\nclass Odd(Exception):\n    def __str__(self):\n        raise ValueError\n\n"
         "def f():\n    pass\n\nodd = Asset(f, Odd())\n", "Odd: <exception str() failed>"),
    ],
)
def test_a_failed_call_exits_one(tmp_path, source, message):
    if source is not None:
        (tmp_path / "cli_failing.py").write_text(source)
    result = run(tmp_path, "sys" if source is None else "cli_failing")
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr == b"python -m tamso.inspect: error: " + message.encode() + b"\n"


@pytest.mark.parametrize(("args", "status"), [(["--help"], 0), ([], 2), (["--nope", "m"], 2)])
def test_usage(tmp_path, args, status):
    result = run(tmp_path, *args)
    assert result.returncode == status
    if status == 0:
        assert b"usage: python -m tamso.inspect" in result.stdout
        assert b"describes every asset" in b" ".join(result.stdout.split())
    else:
        assert b"usage: python -m tamso.inspect" in result.stderr


def test_example_pipeline():
    result = run(EXAMPLES, "pipeline.sources", "pipeline.reports")
    assert result.returncode == 0, result.stderr
    found = json.loads(result.stdout)["assets"]
    assert [(a["module_path"], a["function_name"]) for a in found] == [
        ("pipeline.sources", "customers"),
        ("pipeline.sources", "prices"),
        ("pipeline.reports", "customers"),
        ("pipeline.reports", "prices"),
        ("pipeline.reports", "summary"),
    ]
    sources = str((EXAMPLES / "pipeline" / "sources.py").resolve())
    summary = found[-1]
    assert summary["decorator_metadata"]["inputs"] == {
        "customers": sources + ":customers",
        "fx": "external/fx.py:rates",
        "prices": sources + ":prices",
    }
    assert summary["return_type"] == "dict"
    partitions = found[1]["decorator_metadata"]["partitions"]
    assert partitions["ticker"] == {"kind": "inline", "values_json": '["AAPL","MSFT","GOOG"]'}
