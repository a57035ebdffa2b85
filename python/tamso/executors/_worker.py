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
import importlib
import json
import os
import signal
import socket
import sys
import threading
import time
import types
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
                       err: int, body: Callable[[list[str]], None] | None = None
                       ) -> tuple[bool, tuple[str, str] | None]:
    """``materialize_asset`` into `directory` (or `body`, a job body with its contract) with file descriptors 1
    and 2 on `log` (closed here), then on `out` and `err`. A job body is given a list to which it appends the
    formatted traceback of the exception that fails the job; it ends up at the end of the log.

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
        failure: list[str] = []
        try:
            if body is None:
                materialize_traced(module, function, directory, kwargs, failure)
            else:
                body(failure)
        except SystemExit:  # a failed job: result.json says why
            ok = False
        except BaseException as exc:  # noqa: BLE001 - preparation failures and internal failures alike
            ok = False
            error = (type(exc).__name__, display(exc))
        if not ok and failure:
            _append_to_log(directory, failure[-1])
    finally:
        _flush()
        os.dup2(out, 1)
        os.dup2(err, 2)
    return ok, error


# Held from installing a job's traced callable until the core has taken it, so that threads running jobs of
# one module never see each other's.
_SWAP_LOCK = threading.Lock()


def materialize_traced(module: str, function: str, directory: str, kwargs: str | None,
                       failure: list[str]) -> None:
    """``materialize_asset``, with the formatted traceback of the exception that fails the asset's import or
    call appended to `failure`.

    ``materialize_asset`` keeps no traceback, so the job body imports the
    module first and, for the length of the core's lookup, puts in the
    module's place of the function a stand-in that calls it and notes the
    traceback of what it raises before raising it on. The stand-in wraps the
    very function the core would call (``inspect.signature`` sees through it,
    so ``result.json`` is written exactly as without it) and puts the module
    back as soon as it is called, before any pipeline code runs. A module that
    does not import gets its error ``result.json`` here, as the core writes
    it, so its body does not run twice.
    """
    try:
        loaded = importlib.import_module(module)
    except BaseException as exc:  # noqa: BLE001 - a module body may raise anything
        failure.append(_format_exception(exc))
        os.makedirs(directory, exist_ok=True)
        layout.write_atomic(os.path.join(directory, layout.RESULT_FILE),
                            layout.error_result(type(exc).__name__, display(exc)))
        raise SystemExit(1) from None
    namespace = getattr(loaded, "__dict__", None)
    found: Any = namespace.get(function) if isinstance(namespace, dict) else None
    try:
        target = found.__tamso_original__
    except BaseException:  # noqa: BLE001 - the core discards whatever this lookup raises, and so do we
        target = found
    if found is None or not isinstance(target, types.FunctionType):
        materialize_asset(module, function, directory, kwargs)
        return
    assert isinstance(namespace, dict)
    restored = threading.Event()

    def restore() -> None:
        if not restored.is_set():
            restored.set()
            if namespace.get(function) is stand_in:
                namespace[function] = found
            _SWAP_LOCK.release()

    stand_in = _stand_in(target, restore, failure)
    _SWAP_LOCK.acquire()
    namespace[function] = stand_in
    try:
        materialize_asset(module, function, directory, kwargs)
    finally:
        restore()


def _format_exception(exc: BaseException) -> str:
    """The traceback of a failed asset call or import; its module loads when a job first fails."""
    from tamso import _tracebacks

    return _tracebacks.format_exception(exc)


def _stand_in(target: Callable[..., Any], restore: Callable[[], None], failure: list[str]) -> Callable[..., Any]:
    def traced(*args: Any, **kwargs: Any) -> Any:
        restore()
        try:
            return target(*args, **kwargs)
        except BaseException as exc:
            failure.append(_format_exception(exc))
            raise

    for name in ("__module__", "__name__", "__qualname__", "__doc__"):
        setattr(traced, name, getattr(target, name))
    traced.__wrapped__ = target  # type: ignore[attr-defined]
    return traced


def _append_to_log(directory: str, text: str) -> None:
    """Write `text` at the end of the job's log (standard error points there), on a line of its own."""
    path = os.path.join(directory, layout.LOG_FILE)
    try:
        with open(path, "rb") as stream:
            stream.seek(0, os.SEEK_END)
            if stream.tell():
                stream.seek(-1, os.SEEK_END)
                if stream.read(1) != b"\n":
                    text = "\n" + text
    except OSError:
        pass
    data = text.encode("utf-8", "backslashreplace")
    while data:
        try:
            written = os.write(2, data)
        except OSError:
            return
        data = data[written:]


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
                    reported: str | None = None) -> Callable[[list[str]], None]:
    """The job body for an asset with a serializer, or that reads values beyond JSON: `formats` names the
    serializer and module of each upstream job that is not JSON."""
    from tamso.executors import _serialized

    upstream: dict[int, _serialized.Upstream] = {
        job: (path, *formats[job]) if job in formats else (path, "json", None) for job, path in files.items()}
    return lambda failure: _serialized.materialize(module, function, directory, pieces, upstream,
                                                   serializer, reported, failure)


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
                for received in channel.receive():
                    # A batch of jobs comes as a list; the end as None.
                    pending.extend(received if isinstance(received, list) else [received])
            except (EOFError, OSError):
                return
        message = pending.popleft()
        if message is None:
            return
        channel.send(run_job(message, cwd, sys_path, quiet))


if __name__ == "__main__":
    main(int(sys.argv[1]), sys.argv[2], json.loads(sys.argv[3]))
