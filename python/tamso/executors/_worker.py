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
from typing import Any, Callable

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


def kwargs_text(pieces: tuple[str | int, ...], value: Callable[[int], bytes]) -> str:
    """The keyword-argument JSON text: literal pieces, and `value(job_id)` for each upstream piece."""
    return "".join(
        piece if isinstance(piece, str) else value(piece).decode("utf-8", "surrogateescape") for piece in pieces
    )


def _read_file(path: str) -> bytes:
    with open(path, "rb") as stream:
        return stream.read()


def display(exc: BaseException) -> str:
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001 - an unprintable exception still gets its line
        text = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {text}"


def capture(module: str, function: str, directory: str, kwargs: str) -> tuple[bool, tuple[str, str] | None]:
    """``materialize_asset`` into `directory`, its standard output and error going to ``log.txt`` there.

    Returns (ok, error): error is (type, message) when the job failed without
    writing ``result.json`` (preparation or internal failures), None when it
    ran to an ordinary end. Raises OSError when the directory or its log
    cannot be made.
    """
    os.makedirs(directory, exist_ok=True)
    log = os.open(os.path.join(directory, layout.LOG_FILE), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
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
            error = (type(exc).__name__, display(exc))
    finally:
        _flush()
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        os.close(saved[0])
        os.close(saved[1])
    return ok, error


def recorded_error(result: bytes) -> tuple[str, str]:
    """The (type, message) of a failed job from its ``result.json``; raises ValueError, KeyError or TypeError."""
    document = json.loads(result)
    return str(document["error_type"]), str(document["error"])


def run_job(message: tuple[Any, ...], cwd: str, sys_path: list[str]) -> tuple[Any, ...]:
    """Run one job; returns (job_id, ok, started, ended, error_type, error, stamp, result_written)."""
    job_id, module, function, directory, pieces, files = message
    os.chdir(cwd)
    sys.path[:] = sys_path
    started = time.time()
    try:
        ok, error = capture(module, function, directory, kwargs_text(pieces, lambda job: _read_file(files[job])))
    except OSError as exc:
        return (job_id, False, started, time.time(), type(exc).__name__, display(exc), None, False)
    ended = time.time()
    os.chdir(cwd)
    if ok:
        try:
            stamp = layout.stamp_value(os.path.join(directory, layout.VALUE_FILE))
        except OSError as exc:
            return (job_id, False, started, ended, type(exc).__name__, display(exc), None, False)
        return (job_id, True, started, ended, None, None, tuple(stamp), True)
    if error is not None:
        return (job_id, False, started, ended, error[0], error[1], None, False)
    try:
        return (job_id, False, started, ended,
                *recorded_error(_read_file(os.path.join(directory, layout.RESULT_FILE))), None, True)
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return (job_id, False, started, ended, type(exc).__name__, display(exc), None, False)


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
