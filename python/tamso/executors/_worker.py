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

import collections
import ctypes
import json
import os
import signal
import socket
import sys
import time
from typing import Any, Callable

from tamso import _tracking, layout
from tamso._cli import display
from tamso._tamso import materialize_asset
from tamso.executors._channel import Channel

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


def _open_log(directory: str) -> int:
    """Create the job's directory (one call in the common case) and open its log."""
    try:
        os.mkdir(directory)
    except FileExistsError:
        pass
    except FileNotFoundError:
        os.makedirs(directory, exist_ok=True)
    return os.open(f"{directory}/{layout.LOG_FILE}", os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)


def materialize_logged(module: str, function: str, directory: str, kwargs: str, log: int, out: int,
                       err: int, body: Callable[[], None] | None = None) -> tuple[bool, tuple[str, str] | None]:
    """``materialize_asset`` into `directory` (or `body`, a job body with its contract) with file descriptors 1
    and 2 on `log` (closed here), then on `out` and `err`.

    Returns (ok, error): ok is False when the job failed; error is its (type,
    message) when it failed without writing ``result.json`` (a failure to
    prepare the job or an internal one), None when ``result.json`` records it.
    """
    ok = True
    error: tuple[str, str] | None = None
    _flush()
    try:
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        try:
            if body is None:
                materialize_asset(module, function, directory, kwargs)
            else:
                body()
        except SystemExit:  # a failed job: result.json says why
            ok = False
        except BaseException as exc:  # noqa: BLE001 - preparation failures and internal failures alike
            ok = False
            error = (type(exc).__name__, display(exc))
    finally:
        _flush()
        os.dup2(out, 1)
        os.dup2(err, 2)
    return ok, error


def recorded_error(result: bytes) -> tuple[str, str]:
    """The (type, message) of a failed job from its ``result.json``; raises ValueError, KeyError or TypeError."""
    document = json.loads(result)
    return str(document["error_type"]), str(document["error"])


def run_job(message: tuple[Any, ...], cwd: str, sys_path: list[str], quiet: int) -> tuple[Any, ...]:
    """Run one job; returns (job_id, ok, started, ended, error_type, error, stamp, result_written, tracked).

    `quiet` is a descriptor on the null device: standard output and error point
    there between jobs, so nothing a stray thread prints lands in a job's log.
    """
    job_id, module, function, directory, pieces, files = message[:6]
    os.chdir(cwd)
    if sys.path != sys_path:
        sys.path[:] = sys_path
    started = time.time()
    value_name = layout.VALUE_FILE
    body = None
    try:
        if len(message) > 6:  # a value beyond JSON, written or read: (serializer, value file, upstream formats)
            serializer, value_name, formats = message[6:]
            body = serialized_body(module, function, directory, pieces, files, formats, serializer)
            kwargs = ""
        else:
            kwargs = _kwargs_text(pieces, files)
        log = _open_log(directory)
    except OSError as exc:
        return (job_id, False, started, time.time(), type(exc).__name__, display(exc), None, False, ())
    with _tracking.recording() as tracked:
        ok, error = materialize_logged(module, function, directory, kwargs, log, quiet, quiet, body)
    ended = time.time()
    if ok:
        try:
            stamp = layout.stamp_value(os.path.join(cwd, directory, value_name))
        except OSError as exc:
            return (job_id, False, started, ended, type(exc).__name__, display(exc), None, False, ())
        return (job_id, True, started, ended, None, None, tuple(stamp), True, _tracking.distinct(tracked))
    if error is not None:
        return (job_id, False, started, ended, error[0], error[1], None, False, ())
    try:
        with open(os.path.join(cwd, directory, layout.RESULT_FILE), "rb") as stream:
            recorded = recorded_error(stream.read())
        return (job_id, False, started, ended, recorded[0], recorded[1], None, True, ())
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return (job_id, False, started, ended, type(exc).__name__, display(exc), None, False, ())


def serialized_body(module: str, function: str, directory: str, pieces: tuple[str | int, ...],
                    files: dict[int, str], formats: dict[int, tuple[str, str]], serializer: str,
                    reported: str | None = None) -> Callable[[], None]:
    """The job body for an asset with a serializer, or that reads values beyond JSON: `formats` names the
    serializer and module of each upstream job that is not JSON."""
    from tamso.executors import _serialized

    upstream: dict[int, _serialized.Upstream] = {
        job: (path, *formats[job]) if job in formats else (path, "json", None) for job, path in files.items()}
    return lambda: _serialized.materialize(module, function, directory, pieces, upstream,
                                           serializer, reported)


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
    channel = Channel(socket.socket(fileno=fd))
    quiet = os.open(os.devnull, os.O_WRONLY | os.O_CLOEXEC)
    pending: collections.deque[Any] = collections.deque()
    while True:
        while not pending:
            try:
                pending.extend(channel.receive())
            except (EOFError, OSError):
                return
        message = pending.popleft()
        if message is None:
            return
        channel.send(run_job(message, cwd, sys_path, quiet))


if __name__ == "__main__":
    main(int(sys.argv[1]), sys.argv[2], json.loads(sys.argv[3]))
