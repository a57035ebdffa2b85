"""``python -m tamso.worker``: exit statuses and what it leaves behind."""

import inspect
import json
import os

import pytest

from conftest import python


def prices(ticker: str) -> dict:  # as in the pipeline below, for the interpreter's signature text
    return {"ticker": ticker}


def worker(cwd, *args):
    return python("-m", "tamso.worker", *args, cwd=cwd, text=True)


@pytest.mark.parametrize(("args", "status", "result", "stderr"), [
    (("prices", "out", '{"ticker": "MSFT"}'), 0, {"ok": True, "signature": str(inspect.signature(prices))}, ""),
    (("exits_zero", "out"), 1, {"ok": False, "error": "SystemExit: 0"}, ""),
    (("divides", "out"), 1, {"ok": False, "error": "ZeroDivisionError: division by zero"}, ""),
    (("prices", "out", "[1]"), 1, {"ok": False, "error_type": "TypeError"}, ""),
    (("prices", "taken"), 1, None, "python -m tamso.worker: error: FileExistsError: [Errno 17] File exists: 'taken'\n"),
])
def test_exit_status_and_files(tmp_path, args, status, result, stderr):
    # The pipeline module sits only in the working directory: it must import from there.
    (tmp_path / "cli_pipeline.py").write_text('import sys\ndef prices(ticker: str) -> dict: return {"ticker": ticker}\n'
                                              "def exits_zero(): sys.exit(0)\ndef divides(): return 1 / 0\n")
    (tmp_path / "taken").write_text("")
    done = worker(tmp_path, "cli_pipeline", *args)
    assert (done.returncode, done.stdout, done.stderr) == (status, "", stderr)
    if result is not None:
        assert json.loads((tmp_path / "out" / "result.json").read_text("utf-8")).items() >= result.items()
    if status == 0:
        assert (tmp_path / "out" / "value.json").read_text() == '{"ticker": "MSFT"}'


@pytest.mark.parametrize("args", [(), ("m", "f"), ("m", "f", "d", "{}", "extra"), ("--help",)])
def test_usage(tmp_path, args):
    done = worker(tmp_path, *args)
    if args == ("--help",):
        assert done.returncode == 0 and "value.json" in done.stdout and "result.json" in done.stdout
    else:
        assert done.returncode == 2 and done.stderr.startswith("usage: python -m tamso.worker [-h] MODULE FUNCTION")
    assert os.listdir(tmp_path) == []
