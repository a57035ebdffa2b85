"""The Dask executor: jobs run as tasks on a ``distributed`` cluster.

A task runs a batch of jobs (one, or several short ones) on a worker, each
into a scratch directory local to that worker, and returns each job's
value file, ``result.json`` and ``log.txt`` as bytes; the client writes
them into the jobs' directories. A task depends on the tasks of the jobs it
reads, so values travel between workers through Dask and client and workers
share no file system. A job that is fresh (not submitted) but read by a
submitted one has its value read from the output directory and scattered to
the cluster. A job past its timeout has its worker process ended.

The executor either starts a ``LocalCluster`` of worker processes for the run
(and closes it afterwards), connects to a running scheduler, or uses a
``Client`` that the caller made (and leaves it open).
"""

from __future__ import annotations

import atexit
import contextlib
import functools
import hashlib
import importlib
import itertools
import json
import logging
import os
import pathlib
import queue
import shutil
import signal
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass, field
from typing import Any, Mapping

import dask.config
import distributed
from distributed.diagnostics.plugin import WorkerPlugin
from distributed.scheduler import KilledWorker

from tamso import _tracking, layout
from tamso._cli import display
from tamso._tamso import materialize_asset
from tamso.executors import ExecutorError, Outcome, Task
from tamso.executors import _code, _worker

_Payload = tuple[bool, "bytes | None", "bytes | None", bytes, float, float, "str | None", "str | None",
                 "tuple[_tracking.TrackedFile, ...]"]
"""What a task returns: ok, value.json, result.json, log.txt, started, ended, error type, error, tracked files."""

# One job at a time per worker process: a job takes over the process's file
# descriptors 1 and 2 (and may change its working directory), so jobs on
# several threads of one worker must not overlap.
_JOB_LOCK = threading.Lock()


@functools.lru_cache(maxsize=1)
def _value_path_member(directory: str) -> bytes:
    """The ``"value_path"`` member of ``result.json`` as the core writes it for a job run into `directory`.

    Cached for the one directory asked for again and again: the worker's scratch directory.
    """
    text = str(pathlib.Path(directory) / layout.VALUE_FILE)
    return b'"value_path":' + json.dumps(text, ensure_ascii=False).encode("utf-8", "surrogateescape")


_CHUNK = 1 << 20


def _read(path: str) -> bytes | None:
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        return None
    try:
        data = os.read(fd, _CHUNK)
        if len(data) < _CHUNK:  # a short read of a regular file is its end: most files take one call
            return data
        parts = [data]
        while chunk := os.read(fd, _CHUNK):
            parts.append(chunk)
        return b"".join(parts)
    finally:
        os.close(fd)


_SCRATCH: list[str] = []


def _scratch() -> str:
    """This worker process's scratch directory for the job it runs (made on first use, removed at exit)."""
    if not _SCRATCH:
        folder = tempfile.mkdtemp(prefix="tamso-worker-")
        atexit.register(shutil.rmtree, folder, True)
        _SCRATCH.append(os.path.join(folder, "job"))
    return _SCRATCH[0]


def _upstream_value(result: Any, index: int | None) -> bytes:
    """An upstream job's value: in the result of the task that ran it (at `index`), or the bytes scattered for a
    fresh one (`index` None)."""
    if index is None:
        assert isinstance(result, bytes)
        return result
    value: bytes = result[index][1]
    return value


class JobTimedOut(Exception):
    """Raised by a task whose job (at `index` in its batch) ran past its timeout: the job goes on running on the
    worker at `worker` until that worker process ends. Carries the job's start and the log it had written by
    then."""

    def __init__(self, worker: str | None, started: float, ended: float, log: bytes, timeout: float,
                 index: int) -> None:
        super().__init__(worker, started, ended, log, timeout, index)
        self.worker = worker
        self.started = started
        self.ended = ended
        self.log = log
        self.timeout = timeout
        self.index = index

    def __str__(self) -> str:
        return f"the job ran longer than its timeout of {self.timeout:g} s; its worker was killed"


def _run(order: tuple[Any, ...], upstream: list[Any], began: list[float]) -> _Payload:
    """One job into this worker's scratch directory, its files back as bytes; its start goes into `began`.

    An order of eleven members runs the serialized job body: its ninth is (the
    serializer, the value file's name, the upstream serializers and modules by
    job, the upstream value files' names by job), and the upstream values'
    bytes are written into scratch files for their serializers to load. The
    member before the timeout is the (module, digest) of the code the job's
    fingerprint covers.
    """
    module, function, directory, pieces, ids, indices, cwd, sys_path = order[:8]
    serialized = order[8] if len(order) > 10 else None
    code = order[-2]
    value_name = layout.VALUE_FILE if serialized is None else serialized[1]
    values = {job: _upstream_value(result, index) for job, result, index in zip(ids, upstream, indices)}
    with _JOB_LOCK:
        home = os.getcwd()
        if cwd is not None:
            if home != cwd:
                os.chdir(cwd)
            if sys.path != sys_path:
                sys.path[:] = sys_path
        _code.prepare()
        target = _scratch()
        started = time.time()
        began.append(started)
        stale = _code.mismatch(code)
        if stale is not None:
            return (False, None, None, b"", started, time.time(), _code.ERROR_TYPE, stale, ())
        saved = os.dup(1), os.dup(2)
        body = None
        try:
            try:
                if serialized is None:
                    kwargs = "".join(p if isinstance(p, str) else values[p].decode("utf-8", "surrogateescape")
                                     for p in pieces)
                else:
                    kwargs = ""
                    files = _upstream_files(target, values, serialized[3])
                    body = _worker.serialized_body(module, function, target, pieces, files, serialized[2],
                                                   serialized[0], directory)
                log_fd = _worker._open_log(target)
            except OSError as exc:
                return (False, None, None, b"", started, time.time(), type(exc).__name__, display(exc), ())
            # The worker process goes on running its own threads: its standard output and error come back.
            with _tracking.recording() as tracked:
                ok, error = _worker.materialize_logged(module, function, target, kwargs, log_fd, *saved, body)
            ended = time.time()
            # The job may have imported the code just now: what it ran must be what the run fingerprinted.
            stale = _code.mismatch(code)
            value = _read(os.path.join(target, value_name)) if ok else None
            result = None if error else _read(os.path.join(target, layout.RESULT_FILE))
            log = _read(os.path.join(target, layout.LOG_FILE)) or b""
        finally:
            os.close(saved[0])
            os.close(saved[1])
            if os.getcwd() != (cwd if cwd is not None else home):
                os.chdir(cwd if cwd is not None else home)
            # The next job's files must not be mistaken for leftovers of this one (its log is truncated anew).
            for name in (value_name, layout.RESULT_FILE):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(target, name))
            if serialized is not None:
                shutil.rmtree(_upstream_folder(target), ignore_errors=True)
    if stale is not None:  # no value computed by other code is returned
        return (False, None, None, log, started, ended, _code.ERROR_TYPE, stale, ())
    if result is not None:
        # The core names the directory it wrote into; the job's is the one the local pool would name.
        result = result.replace(_value_path_member(target), _value_path_member.__wrapped__(directory), 1)
    if ok and value is None:
        return (False, None, None, log, started, ended, "FileNotFoundError", f"the job wrote no {value_name}", ())
    if error is not None:
        return (False, None, None, log, started, ended, error[0], error[1], ())
    if not ok:
        if result is None:
            return (False, None, None, log, started, ended, "FileNotFoundError", "the job wrote no result.json",
                    ())
        try:
            error_type, message = _worker.recorded_error(result)
        except (ValueError, KeyError, TypeError) as exc:
            return (False, None, result, log, started, ended, type(exc).__name__, display(exc), ())
        return (False, None, result, log, started, ended, error_type, message, ())
    return (True, value, result, log, started, ended, None, None, _tracking.distinct(tracked))


def _upstream_folder(target: str) -> str:
    return os.path.join(os.path.dirname(target), "upstream")


def _upstream_files(target: str, values: Mapping[int, bytes], names: Mapping[int, str]) -> dict[int, str]:
    """The upstream values' bytes as files for their serializers to load, one folder per job."""
    files = {}
    for job, data in values.items():
        folder = os.path.join(_upstream_folder(target), str(job))
        os.makedirs(folder, exist_ok=True)
        files[job] = os.path.join(folder, names.get(job, layout.VALUE_FILE))
        with open(files[job], "wb") as stream:
            stream.write(data)
    return files


def _watched(orders: list[tuple[Any, ...]], upstream: list[list[Any]]) -> list[_Payload]:
    """`_run` for each job in turn on a thread of its own, given up on when a job runs past its timeout.

    A running job cannot be stopped inside its process, so a job past its
    timeout is left running and the task raises JobTimedOut naming this
    worker: the client then ends the worker process. Raising rather than
    returning keeps the outcome on the scheduler, which does not run an
    erred task again when its worker is gone.
    """
    try:
        worker: str | None = distributed.get_worker().address
    except ValueError:  # not on a worker (called directly)
        worker = None
    began: list[float] = []
    done: list[_Payload] = []
    failure: list[BaseException] = []
    changed = threading.Condition()

    def jobs() -> None:
        try:
            for order, values in zip(orders, upstream):
                payload = _run(order, values, began)
                with changed:
                    done.append(payload)
                    changed.notify()
        except BaseException as exc:  # noqa: BLE001 - handed to the task's thread
            with changed:
                failure.append(exc)
                changed.notify()

    threading.Thread(target=jobs, name="tamso-jobs", daemon=True).start()
    with changed:
        while len(done) < len(orders) and not failure:
            index = len(done)
            if len(began) <= index:
                # The clock starts when the job does, not while it waits for an earlier job of this process.
                changed.wait(0.01)
                continue
            timeout = orders[index][-1]
            left = began[index] + timeout - time.time()
            if left <= 0:
                log = _read(os.path.join(_scratch(), layout.LOG_FILE)) or b""
                raise JobTimedOut(worker, began[index], time.time(), log, timeout, index)
            changed.wait(left)
    if failure:
        raise failure[0]
    return done


def run_batch(orders: list[tuple[Any, ...]], upstream: list[list[Any]]) -> list[_Payload]:
    """The task function (it runs on a worker): jobs one after the other, each into a scratch directory, their
    files back as bytes.

    Each order is (module, function, directory, kwargs pieces, upstream job
    ids, their indices, cwd, sys_path, code, timeout), or with the serialized
    job body's details before the code (see `_run`); the matching entry of
    `upstream` holds, per upstream job, the result of the task that ran it
    (its value at that index) or the scattered bytes (index None). With
    `cwd`, a job runs there with `sys_path`, as in the local pool; the
    workers of a remote cluster keep their own.
    """
    if all(order[-1] is None for order in orders):
        return [_run(order, values, []) for order, values in zip(orders, upstream)]
    return _watched(orders, upstream)


def _end_worker_process() -> None:
    """Run on a worker whose job timed out: end its process (its nanny, if any, starts a new one).

    The process ends a moment after this returns, so that the call is
    answered rather than cut off.
    """
    if _SCRATCH:
        shutil.rmtree(os.path.dirname(_SCRATCH[0]), ignore_errors=True)
    threading.Timer(0.05, os._exit, (1,)).start()


def _forgiving_removal(address: str) -> Any:
    """A function for the scheduler that removes the worker at `address` as if it had left on purpose.

    Tasks merely queued on a worker that dies are counted as suspects of its
    death; removed this way first, they go to other workers uncounted. Made
    here so that it travels by value: the scheduler need not import tamso.
    """

    async def remove(dask_scheduler: Any) -> None:
        await dask_scheduler.remove_worker(address, expected=True, close=False, stimulus_id="tamso-job-timeout")

    return remove


class _QuietWorkers(WorkerPlugin):
    """A worker plugin for the cluster the runner starts: Ctrl-C is the runner's to handle, not its workers'."""

    name = "tamso-quiet"

    def setup(self, worker: Any) -> None:
        try:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
        except ValueError:  # not the worker process's main thread
            pass


# Jobs shorter than this (by the mean so far) share a task, enough of them to fill about this many seconds:
# a Dask task costs about a millisecond of the cluster's time, several times what a trivial job takes.
_AHEAD = 0.02
_LARGEST_BATCH = 64


@dataclass
class _Batch:
    """Jobs that run as one task, in order; `upstream` holds the job ids each one reads."""

    tasks: list[Task]
    future: distributed.Future[Any]
    upstream: list[tuple[int, ...]]
    submitted: float = field(default_factory=time.time)


class DaskExecutor:
    """Runs tasks on the cluster behind `client`; closes `client` and `cluster` at the end when it owns them."""

    uploads_code = True
    """It sends the project modules to its workers when asked to (the "upload_code" option)."""

    def __init__(
        self,
        client: distributed.Client,
        *,
        cluster: distributed.LocalCluster | None = None,
        own_client: bool = True,
        place: tuple[str, list[str]] | None = None,
    ) -> None:
        self._client = client
        self._cluster = cluster
        self._own_client = own_client
        self._place = place
        self._run = uuid.uuid4().hex[:8]
        self._counter = itertools.count()
        self._queued: list[Task] = []
        self._done: queue.SimpleQueue[distributed.Future[Any]] = queue.SimpleQueue()
        self._pending: dict[str, _Batch] = {}
        self._jobs_pending = 0
        self._values: dict[int, tuple[distributed.Future[Any], int | None]] = {}
        """Job id -> the future that holds its value on the cluster, and where in it: the result of the task that
        ran the job and the job's index there, or scattered bytes and None."""
        self._readers_left: dict[int, int] = {}
        self._references: dict[int, int] = {}
        """Job id -> how many pending jobs read its value."""
        self._closed = False
        self._slots: int | None = None
        self._mean: float | None = None
        self._alone: set[int] = set()
        """Jobs that run as tasks of their own: their batch failed as a whole (its workers died, say)."""
        self._alone_running: int | None = None
        """The mean duration of the jobs so far (None before the first ends): it sizes the batches."""

    @property
    def dashboard_link(self) -> str | None:
        link = getattr(self._client, "dashboard_link", None)
        return link if isinstance(link, str) else None

    def submit(self, task: Task) -> None:
        # Tasks go to the scheduler together when the runner next waits: one graph update for many jobs.
        self._queued.append(task)

    def _threads(self) -> int:
        if self._slots is None:
            try:
                self._slots = max(1, sum(self._client.nthreads().values()))  # type: ignore[no-untyped-call]
            except Exception:  # noqa: BLE001 - a cluster that cannot say counts as one thread
                self._slots = 1
        return self._slots

    def _batches(self, tasks: list[Task]) -> list[list[Task]]:
        """`tasks` cut into batches: as many jobs as fill about `_AHEAD` seconds at the mean duration, and no
        more than keep every thread of the cluster busy to the end."""
        if self._mean is None:
            return [[t] for t in tasks]
        alone = [[t] for t in tasks if t.job_id in self._alone]
        if alone:
            tasks = [t for t in tasks if t.job_id not in self._alone]
        if not tasks:
            return alone
        size = int(_AHEAD / max(self._mean, 1e-6))
        size = max(1, min(size, _LARGEST_BATCH, -(-len(tasks) // (2 * self._threads()))))
        return alone + [tasks[i:i + size] for i in range(0, len(tasks), size)]

    def _send(self) -> None:
        """Hand the queued tasks to the cluster, scattering the values of fresh jobs they read.

        Until a job has ended the jobs' duration is unknown: one job per
        thread goes out alone and the rest wait for the first to end.
        """
        if self._mean is None:
            if self._pending:
                return
            queued, self._queued = self._queued[:self._threads()], self._queued[self._threads():]
        elif self._alone_running is not None:
            return  # a job runs alone: nothing else goes out until it ends
        else:
            # A job that goes alone waits until nothing else runs, and nothing goes out beside it, so a
            # worker that dies under it died of it and not of another job still being retried.
            alone = [t for t in self._queued if t.job_id in self._alone]
            if alone and not self._pending:
                self._alone_running = alone[0].job_id
                queued = [alone[0]]
                self._queued = [t for t in self._queued if t is not alone[0]]
            else:
                queued = [t for t in self._queued if t.job_id not in self._alone]
                self._queued = alone
        if not queued:
            return
        reads = [tuple(dict.fromkeys(piece for piece in task.kwargs if isinstance(piece, int))) for task in queued]
        missing: dict[int, str] = {}
        for task, ids in zip(queued, reads):
            missing.update((job, task.value_files[job]) for job in ids if job not in self._values)
        if missing:
            data = []
            for path in missing.values():
                with open(path, "rb") as stream:
                    data.append(stream.read())
            scattered = self._client.scatter(data, hash=False)  # type: ignore[no-untyped-call]
            self._values.update((job, (future, None)) for job, future in zip(missing, scattered))
        cwd, sys_path = self._place if self._place is not None else (None, None)
        read_by = dict(zip((t.job_id for t in queued), reads))
        batches = self._batches(queued)
        orders, upstream, keys = [], [], []
        for batch in batches:
            batch_reads = [read_by[t.job_id] for t in batch]
            orders.append([(t.module, t.function, t.directory, t.kwargs, up,
                            tuple(self._values[job][1] for job in up), cwd, sys_path, t.code, t.timeout)
                           if not t.serialized else
                           (t.module, t.function, t.directory, t.kwargs, up,
                            tuple(self._values[job][1] for job in up), cwd, sys_path,
                            (t.serializer, t.value_name, dict(t.formats or {}),
                             {job: os.path.basename(t.value_files[job]) for job in up}), t.code, t.timeout)
                           for t, up in zip(batch, batch_reads)])
            upstream.append([[self._values[job][0] for job in up] for up in batch_reads])
            first = batch[0]
            more = f"+{len(batch) - 1}" if len(batch) > 1 else ""
            keys.append(f"tamso-{first.function}-{first.job_id}{more}-{self._run}-{next(self._counter)}")
        futures = self._client.map(run_batch, orders, upstream, key=keys, pure=False, retries=0)
        for batch, key, future in zip(batches, keys, futures):
            batch_reads = [read_by[t.job_id] for t in batch]
            self._pending[key] = _Batch(batch, future, batch_reads)
            self._jobs_pending += len(batch)
            for up in batch_reads:
                for job in up:
                    self._references[job] = self._references.get(job, 0) + 1
            future.add_done_callback(self._done.put)  # type: ignore[no-untyped-call]

    def wait(self, timeout: float | None) -> list[Outcome]:
        self._send()
        if not self._pending:
            return []
        deadline = None if timeout is None else time.monotonic() + timeout
        finished: list[distributed.Future[Any]] = []
        while not finished:
            # Short slices keep Ctrl-C responsive while nothing finishes.
            limit = 0.5 if deadline is None else min(0.5, max(0.0, deadline - time.monotonic()))
            try:
                finished.append(self._done.get(timeout=limit))
            except queue.Empty:
                if deadline is not None and time.monotonic() >= deadline:
                    return []
        while True:
            try:
                finished.append(self._done.get_nowait())
            except queue.Empty:
                break
        finished = [f for f in finished if _key(f) in self._pending]
        results: dict[str, Any] = {}
        done = [f for f in finished if f.status == "finished"]
        if done:
            try:
                results = dict(zip(map(_key, done), self._client.gather(done)))  # type: ignore[no-untyped-call]
            except Exception:  # noqa: BLE001 - some result was lost meanwhile: take them one at a time below
                results = {}
        outcomes = [outcome for f in finished for outcome in self._outcomes(f, results)]
        self._send()  # jobs held back until the first ended, or to go alone, go now while the runner records these
        if not outcomes and (deadline is None or time.monotonic() < deadline):
            return self.wait(None if deadline is None else deadline - time.monotonic())
        return outcomes

    def _outcomes(self, future: distributed.Future[Any], results: Mapping[str, Any]) -> list[Outcome]:
        key = _key(future)
        batch = self._pending.pop(key)
        self._jobs_pending -= len(batch.tasks)
        alone = batch.tasks[0].job_id == self._alone_running
        if alone:
            self._alone.discard(batch.tasks[0].job_id)
            self._alone_running = None
        now = time.time()
        outcomes: list[Outcome] = []
        try:
            payloads: list[_Payload] = results[key] if key in results else future.result()
        except JobTimedOut as exc:
            return self._timed_out(batch, exc)
        except Exception as exc:  # noqa: BLE001 - whatever kept the task from returning fails its jobs
            if not alone and not self._closed and (len(batch.tasks) > 1 or isinstance(exc, KilledWorker)):
                # Dask counts every task waiting on a worker that dies as a suspect, so the job that killed it
                # may be another one, in this batch or not: each goes again alone, one at a time, and only a
                # job that kills its workers then fails.
                self._alone.update(t.job_id for t in batch.tasks)
                self._queued[:0] = batch.tasks
                for upstream in batch.upstream:
                    for job in upstream:
                        self._references[job] -= 1
                return []
            failure = _failure(exc)
            outcomes = [Outcome(t.job_id, False, batch.submitted, now, *failure, None, False) for t in batch.tasks]
        else:
            for task, payload in zip(batch.tasks, payloads):
                outcomes.append(self._write(task, payload))
                duration = payload[5] - payload[4]
                self._mean = duration if self._mean is None else self._mean + (duration - self._mean) * 0.05
        for index, (task, upstream, outcome) in enumerate(zip(batch.tasks, batch.upstream, outcomes)):
            self._settle(task.job_id, upstream, (future, index), outcome.ok, task.readers)
        return outcomes

    def _write(self, task: Task, payload: _Payload) -> Outcome:
        """The job's files into its directory, as the local pool's jobs write them."""
        ok, value, result, log, started, ended, error_type, error, tracked = payload
        try:
            stamp = _write_files(task.directory, log, value, result, task.value_name)
        except OSError as exc:
            return Outcome(task.job_id, False, started, ended, type(exc).__name__, display(exc), None, False)
        return Outcome(task.job_id, ok, started, ended, error_type, error, stamp, result is not None, tracked)

    def _timed_out(self, batch: _Batch, exc: JobTimedOut) -> list[Outcome]:
        """Fail the job of `batch` that ran past its timeout, with the log it wrote, and end the worker still
        running it. The batch's other jobs go again: those before it took a batch's worth of time at most, and
        their values are lost with the batch's result."""
        if exc.worker is not None:
            self._end_worker(exc.worker)
        stuck = batch.tasks[exc.index]
        with contextlib.suppress(OSError):
            _write_files(stuck.directory, exc.log, None, None)
        self._queued[:0] = [task for task in batch.tasks if task is not stuck]
        for task, upstream in zip(batch.tasks, batch.upstream):
            if task is not stuck:
                for job in upstream:
                    self._references[job] -= 1
        self._settle(stuck.job_id, batch.upstream[exc.index], None, False, stuck.readers)
        return [Outcome(stuck.job_id, False, exc.started, exc.ended, "Timeout", str(exc), None, False)]

    def _end_worker(self, address: str) -> None:
        """End the worker process at `address`, losing as little as can be.

        Retired first, the worker hands the values it alone holds to other
        workers (scattered ones could not be made again) and leaves the
        scheduler as if on purpose, so the tasks queued on it go elsewhere
        without counting its death against them. A worker that cannot be
        retired (no other to take its values) is removed the same way.
        """
        with contextlib.suppress(Exception):
            self._client.retire_workers([address], close_workers=False, remove=True)
        with contextlib.suppress(Exception):
            self._client.run_on_scheduler(_forgiving_removal(address))  # type: ignore[no-untyped-call]
        with contextlib.suppress(Exception):
            self._client.run(_end_worker_process, workers=[address], on_error="ignore")

    def _settle(self, job: int, upstream: tuple[int, ...], value: tuple[distributed.Future[Any], int | None] | None,
                ok: bool, readers: int) -> None:
        """Keep a job's value on the cluster while jobs still to run may read it, and no longer."""
        if ok and value is not None:
            self._values[job] = value
            self._readers_left[job] = readers
            self._release(job)
        for up in upstream:
            self._references[up] -= 1
            if ok and up in self._readers_left:
                self._readers_left[up] -= 1
            self._release(up)

    def _release(self, job: int) -> None:
        if self._references.get(job, 0) <= 0 and self._readers_left.get(job, 0) <= 0:
            self._values.pop(job, None)
            self._references.pop(job, None)
            self._readers_left.pop(job, None)

    def running(self) -> int:
        """Jobs handed to the cluster, at most as many as it has threads to run them."""
        return min(self._jobs_pending, self._threads())

    def close(self, *, cancel: bool = False) -> None:
        if self._closed:
            return
        self._closed = True
        if cancel and self._pending:
            try:
                self._client.cancel(  # type: ignore[no-untyped-call]
                    [p.future for p in self._pending.values()], force=True)
            except Exception:  # noqa: BLE001 - a cluster that is gone has nothing left to cancel
                pass
        self._pending.clear()
        self._queued.clear()
        self._values.clear()
        if self._own_client:
            _quietly(self._client.close)
        if self._cluster is not None:
            _quietly(self._cluster.close)


_TEMPORARY = itertools.count()


def _write_whole(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _write_files(directory: str, log: bytes, value: bytes | None, result: bytes | None,
                 value_name: str = layout.VALUE_FILE) -> layout.ValueStamp | None:
    """A job's files into `directory` (made if need be), as the job itself would have written them.

    The log is written in place, as a job writes it; the value and result go
    to a temporary file renamed over the target, as the core writes them, so
    a reader never sees part of one. Temporary names need only be unique in
    this process: the runner has one job at a time write to a directory.
    Returns the stamp of the value written, if any.
    """
    stamp = None
    fd = _worker._open_log(directory)
    try:
        _write_whole(fd, log)
    finally:
        os.close(fd)
    for name, data in ((value_name, value), (layout.RESULT_FILE, result)):
        if data is None:
            continue
        temporary = f"{directory}/.{name}.{os.getpid()}-{next(_TEMPORARY)}.tmp"
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
        try:
            try:
                _write_whole(fd, data)
                if data is value:
                    stamp = layout.ValueStamp(hashlib.sha256(data).hexdigest(), len(data), os.fstat(fd).st_mtime_ns)
            finally:
                os.close(fd)
            os.rename(temporary, f"{directory}/{name}")
        except BaseException:
            layout.discard(temporary)
            raise
    return stamp


def _key(future: distributed.Future[Any]) -> str:
    """A task's key (always a text: the executor names its tasks)."""
    return str(future.key)


def _quietly(close: Any) -> None:
    try:
        close()
    except Exception:  # noqa: BLE001 - closing a broken connection fails only its own way
        pass


def _failure(exc: BaseException) -> tuple[str, str]:
    """The error type and message of a task that did not return."""
    if isinstance(exc, KilledWorker):
        return "WorkerDied", (
            "the worker process running the job died each time the job was started on one"
            f" (killed, out of memory or crashed): {exc}"
        )
    return type(exc).__name__, display(exc)


def create(chosen: Any, *, jobs: int | None, cwd: str, sys_path: list[str], options: Mapping[str, Any]) -> DaskExecutor:
    """A Dask executor: on `chosen` if it is a ``distributed.Client``, else on the scheduler in `options`, else on a
    new local cluster."""
    if isinstance(chosen, distributed.Client):
        return _with_code(DaskExecutor(chosen, own_client=False), options)
    address = options.get("scheduler")
    connect_timeout = float(options.get("connect_timeout") or 10.0)
    if address:
        try:
            client = distributed.Client(  # type: ignore[no-untyped-call]
                address, timeout=connect_timeout, set_as_default=False)
        except (OSError, TimeoutError) as exc:
            raise ExecutorError(
                f"cannot reach the scheduler at {address} within {connect_timeout:g} s: {exc}"
            ) from None
        except ValueError as exc:
            raise ExecutorError(f"bad scheduler address {address!r}: {exc}") from None
        executor = DaskExecutor(client)
    else:
        # The scheduler hands each worker every task it may run rather than one at a time (its default
        # for root tasks): jobs are one per worker thread anyway, and a worker then never idles while
        # its next task comes.
        with dask.config.set({"distributed.scheduler.worker-saturation": float("inf")}):
            cluster = distributed.LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=jobs or os.cpu_count() or 1,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=":0",  # a free port: several runs may share the machine
                silence_logs=logging.ERROR,
            )
        try:
            client = distributed.Client(cluster, set_as_default=False)  # type: ignore[no-untyped-call]
            client.register_plugin(_QuietWorkers())
        except BaseException:
            cluster.close()
            raise
        executor = DaskExecutor(client, cluster=cluster, place=(cwd, list(sys_path)))
    _with_code(executor, options)
    if options.get("dashboard"):
        _show_dashboard(executor)
    return executor


def _with_code(executor: DaskExecutor, options: Mapping[str, Any]) -> DaskExecutor:
    """With an "upload_code" list of (module name, path) in `options`: send those files to every worker of the
    cluster, present and to come, which then import them rather than their own copies."""
    modules = options.get("upload_code")
    if not modules:
        if executor._cluster is None:
            # A cluster that an earlier run sent code to goes back to the workers' own copies.
            with contextlib.suppress(Exception):
                executor._client.unregister_worker_plugin(_code.PLUGIN_NAME)  # type: ignore[no-untyped-call]
        return executor
    try:
        plugin = _code.CodeUpload(_code.upload_files(modules))
        executor._client.register_plugin(plugin, name=_code.PLUGIN_NAME)
    except OSError as exc:
        executor.close(cancel=True)
        raise ExecutorError(f"cannot send the pipeline's code to the workers: {display(exc)}") from None
    except BaseException:
        executor.close(cancel=True)
        raise
    return executor


def _show_dashboard(executor: DaskExecutor) -> None:
    try:
        importlib.import_module("bokeh")
    except ImportError:
        print("tamso: the dashboard needs bokeh: pip install bokeh", file=sys.stderr)
        return
    print(f"tamso: dashboard at {executor.dashboard_link}", file=sys.stderr)
