"""The worker process of the local pool: a loop around ``materialize_asset``.

It receives one job at a time over its connection, sends the job's standard
output and standard error (the file descriptors, so that C code and child
processes are caught too) to ``log.txt`` in the job's directory, runs the job
in the working directory and with the ``sys.path`` that the pool gave it, and
sends back what happened. A failed job ends in ``SystemExit(1)`` with
``result.json`` written; that is an ordinary outcome here, not the end of the
worker.
"""

from __future__ import annotations

import ctypes
import json
import os
import signal
import sys
import time
from multiprocessing.connection import Connection
from typing import Any

from tamso import layout
from tamso._tamso import materialize_asset

_PR_SET_PDEATHSIG = 1


def _die_with_parent() -> None:
    """Ask the kernel to kill this process when the runner dies, so no orphan keeps writing."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    except (OSError, AttributeError):
        pass
    if os.getppid() == 1:  # the runner died before the request took effect
        os._exit(1)


def _kwargs_text(pieces: tuple[str | int, ...], files: dict[int, str]) -> str:
    parts: list[str] = []
    for piece in pieces:
        if isinstance(piece, str):
            parts.append(piece)
        else:
            with open(files[piece], "rb") as stream:
                parts.append(stream.read().decode("utf-8", "surrogateescape"))
    return "".join(parts)


def _display(exc: BaseException) -> str:
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001 - an unprintable exception still gets its line
        text = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {text}"


def run_job(message: tuple[Any, ...], cwd: str, sys_path: list[str]) -> tuple[Any, ...]:
    """Run one job; returns (job_id, ok, started, ended, error_type, error, stamp, result_written)."""
    job_id, module, function, directory, pieces, files = message
    os.chdir(cwd)
    sys.path[:] = sys_path
    started = time.time()
    try:
        kwargs = _kwargs_text(pieces, files)
        os.makedirs(directory, exist_ok=True)
        log = os.open(os.path.join(directory, layout.LOG_FILE), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    except OSError as exc:
        return (job_id, False, started, time.time(), type(exc).__name__, _display(exc), None, False)
    ok = True
    error: tuple[str, str] | None = None
    _flush()
    saved = os.dup(1), os.dup(2)
    try:
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        try:
            materialize_asset(module, function, directory, kwargs)
        except SystemExit:
            ok = False
        except BaseException as exc:  # noqa: BLE001 - preparation failures and internal failures alike
            ok = False
            error = (type(exc).__name__, _display(exc))
    finally:
        _flush()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        os.close(saved[0])
        os.close(saved[1])
    ended = time.time()
    os.chdir(cwd)
    if ok:
        try:
            stamp = layout.stamp_value(os.path.join(directory, layout.VALUE_FILE))
        except OSError as exc:
            return (job_id, False, started, ended, type(exc).__name__, _display(exc), None, False)
        return (job_id, True, started, ended, None, None, tuple(stamp), True)
    if error is not None:
        return (job_id, False, started, ended, error[0], error[1], None, False)
    try:
        with open(os.path.join(directory, layout.RESULT_FILE), "rb") as stream:
            result = json.loads(stream.read())
        return (job_id, False, started, ended, str(result["error_type"]), str(result["error"]), None, True)
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return (job_id, False, started, ended, type(exc).__name__, _display(exc), None, False)


def _flush() -> None:
    for stream in (sys.stdout, sys.stderr):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass


def main(fd: int, cwd: str, sys_path: list[str]) -> None:
    _die_with_parent()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    connection = Connection(fd)
    while True:
        try:
            message = connection.recv()
        except (EOFError, OSError):
            return
        if message is None:
            return
        connection.send(run_job(message, cwd, sys_path))


if __name__ == "__main__":
    main(int(sys.argv[1]), sys.argv[2], json.loads(sys.argv[3]))
