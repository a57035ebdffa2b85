"""``tamso.run``: materialize whole pipelines, upstream first, incrementally.

The runner wires the other parts together: the plan says which jobs exist and
how each one's inputs are assembled; the state store says which of them are
fresh; an executor runs the rest as soon as their upstream jobs are done; the
store records every outcome as it arrives; a listener shows progress.
"""

from __future__ import annotations

import array
import collections
import contextlib
import fcntl
import itertools
import json
import math
import os
import re
import signal
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Iterator, Mapping, Protocol, Sequence, overload

from tamso import _cli, _tracking, layout, state
from tamso.executors import Executor, ExecutorError, Outcome, Task, create
from tamso.imports import CodeCache, CodeEntry
from tamso.plan import Job, Plan, PlanError, build, partition_text, value_text
from tamso.reporting import JobReport, RunReport
from tamso.state import Claim, JobRecord, StateStore, StoreDamaged, StateError, Success

# A result.json written by a job carries the kernel's coarse clock, which may
# lag the runner's fine one by a few milliseconds.
_CLOCK_SLACK_NS = 50_000_000

# Finished jobs are recorded at least this often (in seconds) while others
# run; a runner killed in between loses nothing, as its claims let the next
# run adopt what finished.
_FLUSH_SECONDS = 0.05


class OutputError(Exception):
    """The output directory cannot be used: not a directory, unwritable, or its state store unreadable."""


class OutputLockedError(OutputError):
    """Another run holds the output directory."""


class OutputDamagedError(OutputError):
    """The output directory's state store is damaged: :func:`repair` sets it aside and rebuilds it."""


class RunWarning(_cli.Notice):
    """Something went wrong beside the jobs (the report, the saved graph) without changing the run's outcome."""


def _output_error(exc: StateError, suffix: str = "") -> OutputError:
    kind = OutputDamagedError if isinstance(exc, StoreDamaged) else OutputError
    return kind(f"{exc}{suffix}")


# How long a run tries to take the output directory before it says that another run holds it: a reader that
# looks at the lock (tamso status, tamso report) holds it for an instant.
_LOCK_TRIES = 10
_LOCK_PAUSE = 0.05


class Listener(Protocol):
    """Receives progress while a run goes on.

    ``begin(total)`` comes first, then ``job_done`` once per selected job as
    it ends (with how many jobs run at that moment), and ``end()`` last. A
    listener may also have ``job_submitted(label)``, called with each job's
    label as it is handed to the executor, in order (again for a retry).
    """

    def begin(self, total: int) -> None: ...

    def job_done(self, job: JobReport, running: int) -> None: ...

    def end(self) -> None: ...


def _submitted(listener: Listener) -> Any:
    """The listener's optional ``job_submitted(label)``: told of each job handed to the executor, in order."""
    return getattr(listener, "job_submitted", None)


class _Silent:
    def begin(self, total: int) -> None:
        pass

    def job_done(self, job: JobReport, running: int) -> None:
        pass

    def end(self) -> None:
        pass


def _partition_pairs(partitions: Mapping[str, Any] | Iterable[tuple[str, Any]] | None) -> list[tuple[str, Any]]:
    if partitions is None:
        return []
    if isinstance(partitions, Mapping):
        return list(partitions.items())
    return [(str(dim), value) for dim, value in partitions]


def run(
    modules: Sequence[str],
    *,
    out: str = "tamso-out",
    jobs: int | None = None,
    select: Sequence[str] | None = None,
    partitions: Mapping[str, Any] | Iterable[tuple[str, Any]] | None = None,
    force: bool = False,
    retries: int = 0,
    timeout: float | None = None,
    executor: Any = None,
    scheduler: str | None = None,
    connect_timeout: float = 10.0,
    dashboard: bool = False,
    upload_code: bool = False,
    dry_run: bool = False,
    listener: Listener | None = None,
    command: str | None = None,
    report: bool = False,
) -> RunReport:
    """Materialize the assets of `modules` into `out`.

    Upstream jobs run first; a partitioned asset runs one job per combination
    of its partition values; jobs whose inputs and code have not changed since
    their last success are fresh and do not run. `select` keeps assets by key
    (``+KEY`` adds everything upstream, ``KEY+`` everything downstream);
    `partitions` (dimension -> value, or (dimension, value) pairs) keeps the
    jobs with those values. `jobs` is the number of worker processes (default:
    the machine's cores); a failed job runs again up to `retries` times; a job
    running longer than `timeout` seconds is failed. With `report` (the
    command line's default), the run ends by writing ``OUT/report.html``
    (whether its jobs failed or it was interrupted); a dry run writes nothing.

    `executor` is "local" (the default), "dask" (a local Dask cluster of
    `jobs` workers, or the cluster of the `scheduler` address, reached within
    `connect_timeout` seconds; `dashboard` prints its address), a
    ``distributed.Client`` (left open), or an executor object. With
    `upload_code`, the Dask workers get the pipeline's project modules from
    the run and import them afresh when they changed.

    Raises :class:`tamso.plan.PlanError` when the pipeline cannot be planned,
    :class:`OutputLockedError` when another run holds `out` and
    :class:`OutputError` when `out` cannot be used; in each case nothing ran.
    Returns the :class:`RunReport`.
    """
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    if retries < 0:
        raise ValueError(f"retries must not be negative, not {retries}")
    if timeout is not None and not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout}")
    started = time.time()
    state_dir = os.path.join(out, layout.STATE_DIR)
    code_cache = _code_cache(state_dir)
    plan = build(list(modules), select=list(select or ()), partitions=_partition_pairs(partitions),
                 code_cache=code_cache)
    _check_directories(plan, out, probe=not dry_run)
    if dry_run:
        return _dry_run(plan, out, state_dir, force, started)
    if plan.external() and not os.path.isdir(state_dir):
        _external_digests(plan, out, {})  # names the first job that has no value to read
    # The executor starts before anything is written, so a cluster that cannot be reached leaves `out` alone.
    options: dict[str, Any] = {"scheduler": scheduler, "connect_timeout": connect_timeout, "dashboard": dashboard}
    if upload_code:
        options["upload_code"] = sorted({(f.module, f.path) for a in plan.assets.values() for f in a.code})
    pool = create(executor, jobs=jobs, cwd=os.getcwd(), sys_path=list(sys.path), options=options)
    try:
        if upload_code and not getattr(pool, "uploads_code", False):
            raise ExecutorError("uploading the code is for Dask workers: run with --scheduler or --executor dask")
        with _locked_store(state_dir) as store:
            try:
                store.save_code((path, *entry) for path, entry in code_cache.updates())
                external = _external_digests(plan, out, store.successes()) if plan.external() else {}
                run_id = store.begin_run(command if command is not None else _command(modules))
            except StateError as exc:
                raise _output_error(exc) from exc
            from tamso.reporting import graph

            try:
                graph.save(graph.from_plan(plan), state_dir)
            except OSError as exc:
                _warn(f"cannot save the graph for the report: {_cli.display(exc)}")
            session = _Session(plan, out, store, pool, run_id, listener or _Silent(), force, retries, timeout,
                               external)
            with _terminate_as_interrupt():
                try:
                    result = session.run(started)
                except StateError as exc:
                    raise _output_error(exc, "; the jobs that finished are kept for the next run") from exc
                if report:
                    _write_report(out, store)
                return result
    except BaseException:
        pool.close(cancel=True)
        raise


def _warn(message: str) -> None:
    warnings.warn(RunWarning(message), stacklevel=3)


def _write_report(out: str, store: StateStore) -> None:
    """Write ``OUT/report.html``; whatever goes wrong there is a warning, never the run's outcome."""
    try:
        from tamso.reporting import html

        html.write_report(out, store)
    except Exception as exc:  # noqa: BLE001 - the report is a view of the run, not part of it
        _warn(f"cannot write the report {os.path.join(out, layout.REPORT_FILE)}: {_cli.display(exc)}")


def _check_directories(plan: Plan, out: str, *, probe: bool) -> None:
    """Two jobs that would share one directory are a plan error: on a file system that folds case or
    normalizes names (found by trying, when `probe`), names that differ only so would share one."""
    fold = layout.name_folding(out) if probe else None
    if _parts_apart(plan, fold):
        return
    seen: dict[str, int] = {}  # some parts meet: the jobs themselves tell which two share a directory
    for job in plan.jobs:
        name = job.directory if fold is None else fold(job.directory)
        other = seen.setdefault(name, job.id)
        if other != job.id:
            raise PlanError(f"jobs {plan.jobs[other].label()} and {job.label()} would share the directory"
                            f" {os.path.join(out, job.directory)!r}"
                            + ("" if fold is None else " on this file system, which does not tell their names"
                               " apart"))


def _parts_apart(plan: Plan, fold: Callable[[str], str] | None) -> bool:
    """Whether no two jobs can share a directory, told from the parts directories are made of (a few per
    dimension value, not one per job): the assets' first parts differ, and so do the parts of one dimension's
    values, as the file system compares names."""
    roots: set[str] = set()
    for root, dimensions in plan.directory_parts():
        name = root if fold is None else fold(root)
        if name in roots:
            return False
        roots.add(name)
        for parts in dimensions:
            if len(set(parts if fold is None else map(fold, parts))) != len(parts):
                return False
    return True


def read(key: str, partition: Mapping[str, Any] | None = None, out: str = "tamso-out") -> Any:
    """The value of the last successful materialization of one job, loaded by the serializer that wrote it
    (``value.json`` parsed, a Parquet or Arrow file as the table type it was written from, and so on).

    Raises KeyError naming the key or the partition when there is none, :class:`OutputError` when the state
    store cannot be read, and :class:`tamso.serializers.SerializerError` when the value file's serializer
    is not known in this process (import the module that registers it). Nothing is written: `out` may be
    read-only.
    """
    state_dir = os.path.join(out, layout.STATE_DIR)
    try:
        store = StateStore.open(state_dir, create=False, check=False)
    except FileNotFoundError:
        raise KeyError(f"no asset {key!r} has been materialized in {out!r}") from None
    except StateError as exc:
        raise _output_error(exc) from exc
    try:
        try:
            pairs = tuple(sorted((str(dim), value_text(value)) for dim, value in (partition or {}).items()))
        except PlanError as exc:
            raise KeyError(f"asset {key!r} has no partition {partition!r}: {exc}") from None
        success = store.success(key, partition_text(pairs))
        if success is None:
            if not store.has_key(key):
                raise KeyError(f"no asset {key!r} has been materialized in {out!r}")
            raise KeyError(f"asset {key!r} has no materialized partition {dict(partition or {})!r}")
    except StateError as exc:
        raise _output_error(exc) from exc
    finally:
        store.close()
    return _load_value(os.path.join(out, layout.job_directory(key, pairs)), success.stamp)


def _load_value(directory: str, stamp: layout.ValueStamp) -> Any:
    """The value in `directory` that `stamp` describes, loaded by its serializer."""
    from tamso import serializers

    names = serializers.value_files(directory)
    name = next((n for n in names if layout.value_unchanged(os.path.join(directory, n), stamp)), None)
    recorded = None
    with contextlib.suppress(OSError, ValueError, AttributeError, serializers.SerializerError):
        with open(os.path.join(directory, layout.RESULT_FILE), "rb") as stream:
            document = json.loads(stream.read())
        if document.get("ok") is True:
            recorded = serializers.get(document.get("artifact_format"))
    if name is None:  # changed since: the file that result.json names, else value.json as ever
        name = recorded.file_name if recorded is not None else layout.VALUE_FILE
    chosen = recorded if recorded is not None and recorded.file_name == name else serializers.by_file(name)
    if chosen is None:
        raise serializers.SerializerError(
            f"{os.path.join(directory, name)} was written by a serializer not known here:"
            " import the module that registers it")
    if chosen is serializers.JSON:
        return layout.read_value(os.path.join(directory, name))
    return chosen.load(os.path.join(directory, name))


def _code_cache(state_dir: str) -> CodeCache:
    """The import graph the store keeps (empty when there is no readable store yet)."""
    return CodeCache((path, CodeEntry(size, mtime_ns, sha256, names))
                     for path, size, mtime_ns, sha256, names in state.kept_code(state_dir))


def _command(modules: Sequence[str]) -> str:
    return " ".join(["tamso.run(", *modules, ")"])


@contextlib.contextmanager
def _locked_store(state_dir: str) -> Iterator[StateStore]:
    """The output directory's store, held against other runs while the block runs."""
    out = os.path.dirname(state_dir) or "."
    try:
        os.makedirs(state_dir, exist_ok=True)
        lock = os.open(os.path.join(state_dir, layout.LOCK_FILE), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        where = f" ({exc.filename})" if exc.filename else ""
        raise OutputError(f"cannot use {out!r} as the output directory: {exc.strerror or exc}{where}") from None
    try:
        for attempt in range(_LOCK_TRIES):
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if attempt == _LOCK_TRIES - 1:
                    raise OutputLockedError(f"another run holds {out!r}; wait for it to end") from None
                time.sleep(_LOCK_PAUSE)
        try:
            store = StateStore.open(state_dir, create=True)
        except StateError as exc:
            raise _output_error(exc) from exc
        try:
            yield store
        finally:
            store.close()
    finally:
        os.close(lock)


def _external_digests(plan: Plan, out: str, successes: Mapping[tuple[str, str], Success]) -> dict[int, str]:
    """Value digests of the jobs that selected jobs read but that do not run."""
    digests: dict[int, str] = {}
    for job_id in plan.external():
        job = plan.jobs[job_id]
        success = successes.get((job.key, job.partition_text))
        path = os.path.join(out, job.directory, plan.assets[job.key].value_file)
        if success is None or not layout.value_unchanged(path, success.stamp):
            raise PlanError(f"job {job.label()} is not selected and has no successful materialization in"
                            f" {out!r}: select it too")
        digests[job_id] = success.stamp.sha256
    return digests


@contextlib.contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    """Treat SIGTERM like Ctrl-C while the run goes on (only the main thread can take signals)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(signum: int, frame: object) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


class _Ready:
    """Which selected jobs may start: those whose selected upstream jobs are all done.

    The plan is acyclic by construction, so a count of unfinished upstream jobs
    per job is all the bookkeeping needed.
    """

    def __init__(self, plan: Plan, selected: set[int]) -> None:
        self._waiting: dict[int, int] = {}
        self._dependents: dict[int, list[int]] = {}
        ready = []
        for job_id in plan.selected:
            upstream = [u for u in plan.jobs[job_id].upstream if u in selected]
            if upstream:
                self._waiting[job_id] = len(upstream)
                for u in upstream:
                    self._dependents.setdefault(u, []).append(job_id)
            else:
                ready.append(job_id)
        self._ready = ready

    def readers(self, job_id: int) -> int:
        """How many selected jobs read the value of a selected job that is not done."""
        return len(self._dependents.get(job_id, ()))

    def get_ready(self) -> list[int]:
        ready, self._ready = self._ready, []
        return ready

    def done(self, job_id: int) -> None:
        for dependent in self._dependents.pop(job_id, ()):
            left = self._waiting[dependent] - 1
            if left:
                self._waiting[dependent] = left
            else:
                del self._waiting[dependent]
                self._ready.append(dependent)


# How many jobs may be handed to the executor at once; the others wait as ids, so that a job that is not
# running costs a few bytes, however many are ready.
_WINDOW = 1024
# Finished jobs are recorded at least every this many, so that a run of many fresh jobs holds few records.
_RECORD_BATCH = 2000
# Ready jobs have their last successes looked up this many at a time.
_LOOKUP_BATCH = 1000

_STATUSES = ("ok", "fresh", "failed", "blocked")


class _Reports(Sequence[JobReport]):
    """The run report's jobs, each made when read from what the session kept of it (a few bytes per job: a
    status byte, attempts, a duration, an error); a copy or a pickle is a tuple of them."""

    def __init__(self, plan: Plan, prefix: str, status: bytearray, tries: array.array[int],
                 durations: array.array[float], errors: Mapping[int, tuple[str | None, str | None]],
                 ids: list[int]) -> None:
        self._plan = plan
        self._prefix = prefix
        self._status = status
        self._tries = tries
        self._durations = durations
        self._errors = errors
        self._ids = ids

    def report(self, job_id: int) -> JobReport:
        """The report of the finished job `job_id`."""
        job = self._plan.jobs[job_id]
        duration = self._durations[job_id]
        error_type, error = self._errors.get(job_id, (None, None))
        return JobReport(job.key, job.partition_values(), _STATUSES[self._status[job_id] - 1], self._tries[job_id],
                         None if duration != duration else duration, error_type, error,
                         self._prefix + job.directory)

    def __len__(self) -> int:
        return len(self._ids)

    @overload
    def __getitem__(self, index: int) -> JobReport: ...

    @overload
    def __getitem__(self, index: slice) -> Sequence[JobReport]: ...

    def __getitem__(self, index: int | slice) -> JobReport | Sequence[JobReport]:
        if isinstance(index, slice):
            return [self.report(j) for j in self._ids[index]]
        return self.report(self._ids[index])

    def __iter__(self) -> Iterator[JobReport]:
        return map(self.report, self._ids)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Sequence) and list(self) == list(other)

    def __repr__(self) -> str:
        return f"<{len(self)} job reports>"

    def __reduce__(self) -> tuple[type[tuple[JobReport, ...]], tuple[tuple[JobReport, ...]]]:
        return tuple, (tuple(self),)

    def tally(self) -> tuple[dict[str, dict[str, float]], list[JobReport]]:
        """What the summary shows, without making every job's report: per asset the jobs of each status and
        their time, and the reports of the failed jobs."""
        jobs, status, durations = self._plan.jobs, self._status, self._durations
        per_asset: dict[str, dict[str, float]] = {}
        failed = []
        for job_id in self._ids:
            key = jobs[job_id].key
            row = per_asset.get(key)
            if row is None:
                row = per_asset[key] = {**dict.fromkeys(_STATUSES, 0), "time": 0.0}
            code = status[job_id]
            row[_STATUSES[code - 1]] += 1
            duration = durations[job_id]
            if duration == duration:  # not NaN: the job ran
                row["time"] += duration
            if code == 3:
                failed.append(self.report(job_id))
        return per_asset, failed


@dataclass
class _Session:
    plan: Plan
    out: str
    store: StateStore
    executor: Executor
    run_id: int
    listener: Listener
    force: bool
    retries: int
    timeout: float | None
    digests: dict[int, str]
    attempts: dict[int, int] = field(default_factory=dict)
    fingerprints: dict[int, str] = field(default_factory=dict)
    """Of the jobs that wait to be handed out or run."""
    status: bytearray = field(default_factory=bytearray)
    """Per job: 0 while unfinished, else 1 + its index in _STATUSES."""
    tries: array.array[int] = field(default_factory=lambda: array.array("l"))
    durations: array.array[float] = field(default_factory=lambda: array.array("d"))
    errors: dict[int, tuple[str | None, str | None]] = field(default_factory=dict)
    waiting: collections.deque[int] = field(default_factory=collections.deque)
    """Jobs that run, not yet handed out."""
    sorter: _Ready | None = None
    view: _Reports | None = None
    """Makes the report of each finished job for the listener (a silent one needs none)."""
    typed: bool | None = None
    """Whether any asset stores its values with a serializer other than json (found out once)."""
    in_flight: int = 0
    prefix: str = ""
    changed: set[tuple[str, str]] = field(default_factory=set)
    """The jobs whose last success tracked a file that changed since."""
    tracking: bool = False
    """Whether any job's last success tracked files."""
    checker: _tracking.Checker = field(default_factory=_tracking.Checker)
    refreshed: list[tuple[str, str, layout.ValueStamp]] = field(default_factory=list)
    """Value files of fresh jobs whose time changed but whose bytes did not: their new stamps."""
    code: dict[str, tuple[tuple[str, str], ...]] = field(default_factory=dict)
    """Asset key -> (module, digest) of the code its tasks carry."""

    def __post_init__(self) -> None:
        self.prefix = os.path.join(self.out, "")
        count = len(self.plan.jobs)
        self.status = bytearray(count)
        self.tries = array.array("l", bytes(8 * count))
        self.durations = array.array("d", [math.nan]) * count

    def run(self, started: float) -> RunReport:
        plan = self.plan
        selected = set(plan.selected)
        sorter = self.sorter = _Ready(plan, selected)
        del selected
        claims = self.store.claims()
        self.tracking, self.changed = _changed_files(self.store, self.checker)
        self.listener.begin(len(plan.selected))
        # A listener may gather its lines; one with a `flush` method is told when the run is about to wait.
        flush_progress = getattr(self.listener, "flush", None)
        status = "failed"
        records: list[JobRecord] = []
        claims_out: list[tuple[str, str, str, int, int]] = []
        tasks: list[Task] = []
        try:
            flushed = time.monotonic()
            while True:
                ready = sorter.get_ready()
                if ready:
                    for start in range(0, len(ready), _LOOKUP_BATCH):
                        batch = [plan.jobs[job_id] for job_id in ready[start:start + _LOOKUP_BATCH]]
                        for job, partition, success in self._successes(batch):
                            self._start(job, partition, success, claims, sorter, records)
                        if len(records) >= _RECORD_BATCH:
                            self._flush(records, claims_out)
                    continue  # fresh jobs may have made more jobs ready
                while self.waiting and self.in_flight + len(tasks) < _WINDOW:
                    self._hand_out(plan.jobs[self.waiting.popleft()], claims_out, tasks)
                if tasks:
                    # Claims are durable before the jobs they cover can start.
                    self._flush(records, claims_out)
                    submitted = _submitted(self.listener)
                    for task in tasks:
                        self.executor.submit(task)
                        if submitted is not None:
                            submitted(plan.jobs[task.job_id].label())
                    self.in_flight += len(tasks)
                    tasks.clear()
                    flushed = time.monotonic()
                elif records and (not self.in_flight or time.monotonic() - flushed >= _FLUSH_SECONDS):
                    self._flush(records, claims_out)
                    flushed = time.monotonic()
                if not self.in_flight:
                    break
                if flush_progress is not None:  # what finished is shown before the run waits for more
                    flush_progress()
                for outcome in self.executor.wait(_FLUSH_SECONDS if records else None):
                    self._finish(outcome, sorter, records, claims_out, tasks)
            self._block(records)
            self._flush(records, claims_out)
            status = "ok" if all(code in (1, 2) for code in self.status if code) else "failed"
            self.executor.close()
        except KeyboardInterrupt:
            status = "interrupted"
            self.executor.close(cancel=True)
            with contextlib.suppress(Exception):
                self._flush(records, [])
        except BaseException:
            self.executor.close(cancel=True)
            # Recording the crash may fail for the same cause (a full disk): the first error is the one to tell.
            with contextlib.suppress(Exception):
                self.store.end_run(self.run_id, "crashed")
            raise
        finally:
            self.listener.end()
        if status == "interrupted":  # the interruption is the news; a run left unrecorded shows as ended abruptly
            with contextlib.suppress(StateError):
                self.store.end_run(self.run_id, status)
        else:
            self.store.end_run(self.run_id, status)
        return RunReport(self.out, status, started, time.time(), self._reports(plan.selected), self.run_id)

    def _reports(self, ids: Iterable[int]) -> _Reports:
        """The reports of the finished jobs among `ids`; they hold the per-job arrays, not the session, so its
        digests and its executor can go."""
        return _Reports(self.plan, self.prefix, self.status, self.tries, self.durations, self.errors,
                        [j for j in ids if self.status[j]])

    def _flush(self, records: list[JobRecord], claims: list[tuple[str, str, str, int, int]]) -> None:
        self.store.record(self.run_id, records, claims)
        records.clear()
        claims.clear()
        if self.refreshed or self.checker.refreshed:
            self.store.refresh(self.refreshed, self.checker.refreshed.values())
            self.refreshed.clear()
            self.checker.refreshed.clear()

    def _successes(self, jobs: list[Job]) -> Iterator[tuple[Job, str, Success | None]]:
        """Each of `jobs` with its partition text and its last success: looked up a batch at a time rather than
        loaded at once, so that a run of many jobs holds few of them."""
        partitions = [job.partition_text for job in jobs]
        if self.force:
            return zip(jobs, partitions, itertools.repeat(None))
        by_key: dict[str, list[str]] = {}
        for job, partition in zip(jobs, partitions):
            by_key.setdefault(job.key, []).append(partition)
        found = {key: self.store.successes_of(key, texts) for key, texts in by_key.items()}
        return ((job, partition, found[job.key].get(partition)) for job, partition in zip(jobs, partitions))

    def _start(
        self,
        job: Job,
        partition: str,
        success: Success | None,
        claims: Mapping[tuple[str, str], Claim],
        sorter: _Ready,
        records: list[JobRecord],
    ) -> None:
        """A job whose upstream jobs are done: fresh, adopted from a killed run, or waiting to be handed out."""
        digests = self.digests
        fingerprint = job.fingerprint([digests[u] for u in job.upstream], partition)
        where = (job.key, partition)
        directory = self.prefix + job.directory
        value_path = f"{directory}/{self.plan.assets[job.key].value_file}"
        if not self.force and success is not None and success.fingerprint == fingerprint:
            now = layout.unchanged_stamp(value_path, success.stamp)
            if now is not None and where not in self.changed:
                if now is not success.stamp:
                    self.refreshed.append((job.key, partition, now))
                digests[job.id] = success.stamp.sha256
                self._report(job, JobRecord(job.key, partition, "fresh", 0, fingerprint), records)
                sorter.done(job.id)
                return
        claim = claims.get(where)
        adopted = None if claim is None or claim.fingerprint != fingerprint else _adopt(directory, claim, value_path)
        if adopted is not None:
            digests[job.id] = adopted[0].sha256
            # What the job tracked died with its runner: the next run runs it again to find out.
            unknown = (_tracking.TrackedFile("", "", _tracking.UNKNOWN, -1, 0, ""),)
            self._report(job, JobRecord(job.key, partition, "ok", claim.attempts if claim else 1,
                                        fingerprint, ended=adopted[1], stamp=adopted[0], tracked=unknown,
                                        inputs=self._inputs(job) if job.upstream else None), records)
            sorter.done(job.id)
            return
        self.fingerprints[job.id] = fingerprint
        self.waiting.append(job.id)

    def _hand_out(self, job: Job, new_claims: list[tuple[str, str, str, int, int]], tasks: list[Task]) -> None:
        attempts = self.attempts.get(job.id, 0) + 1
        self.attempts[job.id] = attempts
        new_claims.append((job.key, job.partition_text, self.fingerprints[job.id], time.time_ns(), attempts))
        kwargs = job.kwargs
        upstream = [u for u in dict.fromkeys(kwargs) if isinstance(u, int)]
        assets = self.plan.assets
        jobs = self.plan.jobs
        asset = assets[job.key]
        readers = self.sorter.readers(job.id) if self.sorter is not None else 0
        code = self.code.get(job.key)
        if code is None:
            code = self.code[job.key] = tuple((f.module, f.sha256) for f in asset.code)
        if self.typed is None:
            self.typed = any(a.serializer != "json" for a in assets.values())
        if not self.typed:
            files = {u: f"{self.prefix}{jobs[u].directory}/{layout.VALUE_FILE}" for u in upstream}
            tasks.append(Task(job.id, asset.module, asset.function, self.prefix + job.directory,
                              kwargs, files, self.timeout, readers, code=code))
            return
        files = {u: f"{self.prefix}{jobs[u].directory}/{assets[jobs[u].key].value_file}" for u in upstream}
        formats = {u: (up.serializer, up.module) for u in upstream
                   if (up := assets[jobs[u].key]).serializer != "json"}
        tasks.append(Task(job.id, asset.module, asset.function, self.prefix + job.directory,
                          kwargs, files, self.timeout, readers, asset.serializer, asset.value_file, formats,
                          code=code))

    def _inputs(self, job: Job) -> str:
        """The digests of the values `job` reads, as the store keeps them."""
        return "".join(self.digests[u] for u in job.upstream)

    def _finish(
        self,
        outcome: Outcome,
        sorter: _Ready,
        records: list[JobRecord],
        new_claims: list[tuple[str, str, str, int, int]],
        tasks: list[Task],
    ) -> None:
        self.in_flight -= 1
        job = self.plan.jobs[outcome.job_id]
        attempts = self.attempts[job.id]
        if not outcome.ok and not outcome.result_written:
            with contextlib.suppress(OSError):
                directory = os.path.join(self.out, job.directory)
                os.makedirs(directory, exist_ok=True)
                layout.write_atomic(os.path.join(directory, layout.RESULT_FILE),
                                    layout.error_result(outcome.error_type or "Error", outcome.error or ""))
        if not outcome.ok and attempts <= self.retries:
            self._hand_out(job, new_claims, tasks)
            return
        del self.attempts[job.id]
        error = outcome.error
        if error is not None and outcome.error_type == "TypeError":
            error = _declare_hint(self.plan.assets[job.key].serializer, error)
        record = JobRecord(
            job.key, job.partition_text, "ok" if outcome.ok else "failed", attempts,
            self.fingerprints.pop(job.id), outcome.started, outcome.ended, outcome.ended - outcome.started,
            outcome.error_type, error, outcome.stamp,
        )
        if outcome.ok:
            # The store replaces a job's tracked files and inputs only where there is something to replace.
            if outcome.tracked or self.tracking:
                record.tracked = tuple(outcome.tracked)
            if job.upstream:
                record.inputs = self._inputs(job)
            assert outcome.stamp is not None
            self.digests[job.id] = outcome.stamp.sha256
            sorter.done(job.id)
        self._report(job, record, records)

    def _report(self, job: Job, record: JobRecord, records: list[JobRecord]) -> None:
        records.append(record)
        job_id = job.id
        self.status[job_id] = _STATUSES.index(record.status) + 1
        self.tries[job_id] = record.attempts
        if record.duration is not None:
            self.durations[job_id] = record.duration
        if record.error_type is not None or record.error is not None:
            self.errors[job_id] = (record.error_type, record.error)
        if self.view is None:
            if isinstance(self.listener, _Silent):
                return
            self.view = self._reports(())
        self.listener.job_done(self.view.report(job_id), self.executor.running() if self.in_flight else 0)

    def _block(self, records: list[JobRecord]) -> None:
        """Every selected job that never became ready has a failed job upstream."""
        status = self.status
        for job_id in self.plan.selected:
            if status[job_id]:
                continue
            job = self.plan.jobs[job_id]
            cause = next((self.plan.jobs[u] for u in job.upstream if status[u] in (3, 4)), None)
            message = f"upstream job {cause.label()} {_STATUSES[status[cause.id] - 1]}" if cause else None
            self._report(job, JobRecord(job.key, job.partition_text, "blocked", 0, error=message), records)


# What a JSON asset returning one of these types should declare instead.
_SERIALIZER_FOR = {"DataFrame": "parquet", "Table": "parquet", "RecordBatch": "parquet", "ndarray": "numpy"}
_NOT_JSON = re.compile(r"Object of type (\w+) is not JSON serializable")


def _declare_hint(serializer: str, error: str) -> str:
    """`error`, and for a JSON asset whose value json cannot store, the serializer to declare."""
    found = _NOT_JSON.search(error) if serializer == "json" else None
    suggested = _SERIALIZER_FOR.get(found.group(1)) if found else None
    if suggested is None:
        return error
    return f'{error}; to store such values, declare @asset(..., serializer="{suggested}")'


def _changed_files(store: StateStore, checker: _tracking.Checker) -> tuple[bool, set[tuple[str, str]]]:
    """Whether any job tracked files, and which jobs tracked one that changed since: each distinct stamp is
    checked once, however many jobs share it."""
    stamps = store.tracked_stamps()
    changed = [f for f in stamps if not checker.unchanged((f,))]
    return bool(stamps), store.tracking(changed) if changed else set()


def _adopt(directory: str, claim: Claim, value_path: str) -> tuple[layout.ValueStamp, float] | None:
    """The value of a job that finished under `claim` while its run was killed before recording it."""
    result_path = os.path.join(directory, layout.RESULT_FILE)
    try:
        stat = os.stat(result_path)
        if stat.st_mtime_ns < claim.claimed_ns - _CLOCK_SLACK_NS:
            return None
        with open(result_path, "rb") as stream:
            if json.loads(stream.read()).get("ok") is not True:
                return None
        return layout.stamp_value(value_path), stat.st_mtime_ns / 1e9
    except (OSError, ValueError, AttributeError):
        return None


_DIGEST_CHARS = 64


def _dry_run(plan: Plan, out: str, state_dir: str, force: bool, started: float) -> RunReport:
    """What a run would do with each selected job: ``fresh``; ``runs`` (its code, partition or tracked files
    changed, its value file is not the recorded one, or it has no success); or ``waits`` (it runs only if a
    value it reads changes, which only running its upstream jobs tells)."""
    try:
        store = StateStore.open(state_dir, create=False)
        try:
            successes = store.successes()
            changed = _changed_files(store, _tracking.Checker())[1]
            inputs = store.inputs()
        finally:
            store.close()
    except FileNotFoundError:
        successes, changed, inputs = {}, set(), {}
    except StateError as exc:
        raise _output_error(exc) from exc
    except OSError as exc:
        raise OutputError(f"the state store of {out!r} cannot be read: {exc}") from None
    digests: dict[int, str | None] = dict(_external_digests(plan, out, successes))
    reports: list[JobReport] = []
    for job_id in plan.selected:
        job = plan.jobs[job_id]
        where = (job.key, job.partition_text)
        success = successes.get(where)
        path = os.path.join(out, job.directory, plan.assets[job.key].value_file)
        upstream = [digests.get(u) for u in job.upstream]
        status = "runs"
        if not force and success is not None and layout.value_unchanged(path, success.stamp) \
                and where not in changed:
            if all(d is not None for d in upstream):
                if success.fingerprint == job.fingerprint(d for d in upstream if d is not None):
                    status = "fresh"
            else:
                text = inputs.get(where, "")
                read = [text[i:i + _DIGEST_CHARS] for i in range(0, len(text), _DIGEST_CHARS)]
                # The job's own part is unchanged when the values it last read give its recorded fingerprint;
                # then it runs only if an upstream job that runs brings another value than it read.
                if len(read) == len(upstream) and success.fingerprint == job.fingerprint(read) \
                        and all(d is None or d == r for d, r in zip(upstream, read)):
                    status = "waits"
        digests[job_id] = success.stamp.sha256 if status == "fresh" and success is not None else None
        reports.append(JobReport(job.key, job.partition_values(), status, 0, None, None,
                                 None, os.path.join(out, job.directory)))
    return RunReport(out, "dry-run", started, time.time(), tuple(reports))


@dataclass(frozen=True, slots=True)
class Repair:
    """What :func:`repair` did."""

    damaged: bool
    """Whether the store was damaged (or missing); when not, nothing was touched."""
    moved: tuple[str, ...]
    """Where the damaged files went (the database and its ``-wal`` and ``-shm`` files)."""
    adopted: int
    """Job directories adopted as their jobs' last success."""
    fingerprints: int
    """How many of them kept the fingerprint that the damaged store still held for their value."""


def repair(out: str = "tamso-out", *, command: str | None = None) -> Repair:
    """Set a damaged (or missing) state store of `out` aside and rebuild it from the job directories.

    Nothing is deleted: the damaged files are renamed ``state.db.damaged-<UTC time>`` (with their ``-wal`` and
    ``-shm``). Every job directory with an ok ``result.json`` and its value file becomes that job's last
    success. Its fingerprint is taken from what can still be read of the damaged store when that recorded
    the same value bytes; otherwise it is unknown and the job runs once more, after which a job that reads
    the same bytes as before stays fresh. Raises :class:`OutputLockedError` while a run holds `out`,
    :class:`OutputError` when `out` cannot be used.
    """
    state_dir = os.path.join(out, layout.STATE_DIR)
    path = os.path.join(state_dir, "state.db")
    if not os.path.isdir(out):
        raise OutputError(f"{out!r} is not an output directory")
    with _locked(state_dir, out):
        if os.path.exists(path):
            try:
                StateStore.open(state_dir, create=True).close()  # as a run opens it: nothing left beside it
                return Repair(False, (), 0, 0)
            except StoreDamaged:
                pass
            except StateError as exc:
                raise _output_error(exc) from exc
        moved = _set_aside(path)
        salvaged = state.salvage_fingerprints(moved[0]) if moved and not moved[0].endswith(("-wal", "-shm")) \
            else {}
        tracked = state.salvage_tracked(moved[0]) if salvaged else {}
        records = list(_job_directories(out, salvaged, tracked))
        try:
            store = StateStore.open(state_dir, create=True)
        except StateError as exc:
            raise _output_error(exc) from exc
        try:
            run_id = store.begin_run(command if command is not None else f"tamso.repair({out!r})")
            store.record(run_id, records)
            store.end_run(run_id, "repaired")
        except StateError as exc:
            raise _output_error(exc) from exc
        finally:
            store.close()
    kept = sum(r.fingerprint != state.REPAIRED_FINGERPRINT for r in records)
    return Repair(True, tuple(moved), len(records), kept)


@contextlib.contextmanager
def _locked(state_dir: str, out: str) -> Iterator[None]:
    """Hold the output directory against runs (as a run does) while the block runs."""
    try:
        os.makedirs(state_dir, exist_ok=True)
        lock = os.open(os.path.join(state_dir, layout.LOCK_FILE), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
    except OSError as exc:
        raise OutputError(f"cannot use {out!r} as the output directory: {exc.strerror or exc}") from None
    try:
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise OutputLockedError(f"another run holds {out!r}; wait for it to end") from None
        yield
    finally:
        os.close(lock)


def _set_aside(path: str) -> list[str]:
    """Rename the database at `path` and its ``-wal`` and ``-shm`` files to one timestamped name; returns the
    new names, the database's first (empty when there was none)."""
    stamp = time.strftime("%Y%m%dT%H%M%SZ", time.gmtime())
    target = f"{path}.damaged-{stamp}"
    serial = 1
    while any(os.path.lexists(target + side) for side in ("", "-wal", "-shm")):
        serial += 1
        target = f"{path}.damaged-{stamp}-{serial}"
    moved = []
    for side in ("", "-wal", "-shm"):
        if os.path.lexists(path + side):
            try:
                os.rename(path + side, target + side)
            except OSError as exc:
                raise OutputError(f"cannot set {path + side} aside: {exc.strerror or exc}") from None
            moved.append(target + side)
    return moved


def _job_directories(out: str, salvaged: Mapping[tuple[str, str], tuple[str, str]],
                     tracked: Mapping[tuple[str, str], Sequence[_tracking.TrackedFile]] | None = None
                     ) -> Iterator[JobRecord]:
    """A success record for every job directory under `out` with an ok ``result.json`` and its value file."""
    texts: dict[str, str] = {}  # a value's JSON text, by its repr: each value is rendered once

    def text_of(value: Any) -> str:
        found = texts.get(shown := f"{type(value).__name__}:{value!r}")
        if found is None:
            found = texts[shown] = value_text(value)
        return found

    for directory, subdirectories, names in os.walk(out):
        subdirectories[:] = sorted(d for d in subdirectories if not d.startswith("."))
        if layout.RESULT_FILE not in names or directory == out:
            continue
        parsed = layout.parse_job_directory(os.path.relpath(directory, out))
        if parsed is None:
            continue
        key, pairs = parsed
        try:
            with open(os.path.join(directory, layout.RESULT_FILE), "rb") as stream:
                result = json.loads(stream.read())
            if not isinstance(result, dict) or result.get("ok") is not True:
                continue
            value_path = result.get("value_path")
            value_name = os.path.basename(value_path) if isinstance(value_path, str) and value_path \
                else layout.VALUE_FILE
            stamp = layout.stamp_value(os.path.join(directory, value_name))
            ended = os.stat(os.path.join(directory, layout.RESULT_FILE)).st_mtime
            partition = partition_text(tuple((dim, text_of(value)) for dim, value in pairs))
        except (OSError, ValueError, PlanError):
            continue
        old = salvaged.get((key, partition))
        fingerprint = old[0] if old is not None and old[1] == stamp.sha256 else state.REPAIRED_FINGERPRINT
        # A kept fingerprint keeps the files the job tracked; when they cannot be read, the job runs once more.
        files = tuple(tracked.get((key, partition), ())) if tracked is not None else (
            _tracking.TrackedFile("", "", _tracking.UNKNOWN, -1, 0, ""),)
        yield JobRecord(key, partition, "ok", 1, fingerprint, None, ended, None, stamp=stamp,
                        tracked=files or None)
