"""What a run reports: the typed run report, progress while it runs, the summary after."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Sequence

STATUSES = ("ok", "fresh", "failed", "blocked")
"""The outcomes of a job in a run."""

DRY_RUN_STATUSES = ("fresh", "runs", "waits")
"""What a dry run says of a job: fresh, runs (for sure), or waits (runs only if a value it reads changes)."""


@dataclass(frozen=True, slots=True)
class JobReport:
    """One job of a run."""

    key: str
    """The asset key."""
    partition: dict[str, Any]
    """Dimension -> value; empty for an unpartitioned asset."""
    status: str
    """"ok", "fresh", "failed" or "blocked"; in a dry run "fresh", "runs" or "waits"."""
    attempts: int
    """How many times the job ran in this run (0 for fresh and blocked jobs)."""
    duration: float | None
    """Seconds of its last attempt, when it ran."""
    error_type: str | None
    """The error's type name from ``result.json``, when it failed."""
    error: str | None
    """The error's display text, when it failed (or, when blocked, which upstream job failed)."""
    directory: str
    """The job's directory: the output directory joined with the job's path."""

    def label(self) -> str:
        if not self.partition:
            return self.key
        inner = ", ".join(f"{d}={v if isinstance(v, str) else v if type(v) is int else json.dumps(v)}"
                          for d, v in self.partition.items())
        return f"{self.key}[{inner}]"

    def to_json(self) -> dict[str, Any]:
        return {
            "key": self.key,
            "partition": self.partition,
            "status": self.status,
            "attempts": self.attempts,
            "duration": self.duration,
            "error_type": self.error_type,
            "error": self.error,
            "directory": self.directory,
        }


@dataclass(frozen=True, slots=True)
class RunReport:
    """The outcome of one run of :func:`tamso.run`."""

    out: str
    """The output directory."""
    status: str
    """"ok" (every job ok or fresh), "failed" (some job failed or was blocked), "interrupted", or "dry-run"."""
    started: float
    """Seconds since the epoch."""
    ended: float
    jobs: Sequence[JobReport] = field(default=())
    """Every selected job, upstream before downstream."""
    run_id: int | None = None
    """The run's number in the state store (None for a dry run)."""

    @property
    def exit_code(self) -> int:
        """0 ok or dry run, 1 failed, 130 interrupted: the command line's exit status."""
        return {"ok": 0, "dry-run": 0, "interrupted": 130}.get(self.status, 1)

    @property
    def duration(self) -> float:
        return self.ended - self.started

    def counts(self) -> dict[str, int]:
        """How many jobs ended in each status."""
        counts = dict.fromkeys(DRY_RUN_STATUSES if self.status == "dry-run" else STATUSES, 0)
        for job in self.jobs:
            counts[job.status] = counts.get(job.status, 0) + 1
        return counts

    def failed(self) -> list[JobReport]:
        return [job for job in self.jobs if job.status == "failed"]

    def to_json(self) -> dict[str, Any]:
        return {
            "run_id": self.run_id,
            "out": self.out,
            "status": self.status,
            "started": self.started,
            "ended": self.ended,
            "duration": self.duration,
            "counts": self.counts(),
            "jobs": [job.to_json() for job in self.jobs],
        }
