"""Executors: what runs the jobs that the runner hands out.

An executor receives :class:`Task` records, runs each (anywhere it likes), sees
to it that the job's ``value.json``, ``result.json`` and ``log.txt`` end up in
the task's directory, and reports an :class:`Outcome` per task. It knows
nothing of plans, fingerprints, the state store or the command line.
:func:`create` is the one place that picks an executor.
"""

from __future__ import annotations

import os
from typing import Any, Mapping, NamedTuple, Protocol, runtime_checkable

from tamso._tracking import TrackedFile
from tamso.layout import ValueStamp


class ExecutorError(Exception):
    """The executor cannot be started (a missing extra, an unreachable cluster)."""


# Task and Outcome are named tuples rather than dataclasses: a worker process imports this package on its way to
# its own module, and a run makes one of each per job.
class Task(NamedTuple):
    """One job to run: ``materialize_asset(module, function, directory, <kwargs text>)``."""

    job_id: int
    module: str
    function: str
    directory: str
    """The job's directory as the runner names it (the output directory as given, joined with the job's path)."""
    kwargs: tuple[str | int, ...]
    """The keyword-argument JSON text: literal pieces, and for an int the value of that upstream job."""
    value_files: Mapping[int, str]
    """Where the value of each upstream job in `kwargs` can be read from."""
    timeout: float | None = None
    readers: int = 0
    """How many selected jobs read this job's value: an executor that holds values may drop it after that many."""
    serializer: str = "json"
    """How the job stores its value; anything but json (or non-empty `formats`) runs the serialized job body."""
    value_name: str = "value.json"
    """The name of the value file the job writes."""
    formats: Mapping[int, tuple[str, str]] | None = None
    """The serializer name and asset module of each upstream job in `kwargs` whose value is not JSON."""
    code: tuple[tuple[str, str], ...] = ()
    """(module name, SHA-256 of its source) of the project code the job's fingerprint covers: an executor whose
    workers may hold other code fails the job rather than run it with that."""

    @property
    def serialized(self) -> bool:
        """Whether the job runs the serialized job body rather than ``materialize_asset``."""
        return self.serializer != "json" or bool(self.formats)


class Outcome(NamedTuple):
    """What happened to one task."""

    job_id: int
    ok: bool
    started: float
    ended: float
    error_type: str | None = None
    error: str | None = None
    stamp: ValueStamp | None = None
    """The stamp of the value file written, when `ok`."""
    result_written: bool = True
    """False when the job never got to write ``result.json`` (its worker died): the runner writes the error form."""
    tracked: tuple[TrackedFile, ...] = ()
    """The files the job tracked while it ran (``tamso.track``), as its worker saw them."""


@runtime_checkable
class Executor(Protocol):
    """Runs tasks and reports their outcomes; ``submit`` never blocks."""

    def submit(self, task: Task) -> None: ...

    def wait(self, timeout: float | None) -> list[Outcome]:
        """Outcomes of finished tasks; blocks until there is at least one or `timeout` seconds pass."""
        ...

    def close(self, *, cancel: bool = False) -> None:
        """Release workers; with `cancel`, abandon whatever is queued or running."""
        ...

    def running(self) -> int:
        """How many tasks are running now (not waiting in a queue)."""
        ...


DASK_INSTALL = 'the dask executor needs the "distributed" package: pip install "tamso[dask]"'


def create(spec: Any, *, jobs: int | None, cwd: str, sys_path: list[str], options: Mapping[str, Any]) -> Executor:
    """The executor named by `spec`: "local", "dask", a ``distributed.Client``, or an object that already is an
    executor. A "scheduler" in `options` implies "dask"."""
    if spec == "dask" or (spec is None and options.get("scheduler")) or _is_dask_client(spec):
        try:
            from tamso.executors import dask
        except ImportError as exc:
            if exc.name is not None and exc.name.split(".")[0] in ("distributed", "dask"):
                raise ExecutorError(DASK_INSTALL) from None
            raise
        return dask.create(spec, jobs=jobs, cwd=cwd, sys_path=sys_path, options=options)
    if options.get("scheduler"):
        raise ExecutorError(f"a scheduler address needs the dask executor, not {spec!r}")
    if spec is None or spec == "local":
        from tamso.executors.local import LocalPool

        return LocalPool(jobs or os.cpu_count() or 1, cwd=cwd, sys_path=sys_path)
    if isinstance(spec, Executor):
        return spec
    raise ExecutorError(f"unknown executor {spec!r} (choose 'local' or 'dask')")


def _is_dask_client(spec: Any) -> bool:
    """Whether `spec` is a ``distributed.Client``, without importing ``distributed`` for other executors."""
    return any(t.__module__.split(".")[0] == "distributed" and t.__name__ == "Client" for t in type(spec).__mro__)
