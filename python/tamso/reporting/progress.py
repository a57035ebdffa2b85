"""Progress while a run goes on: a live display on a terminal, one line per finished job elsewhere."""

from __future__ import annotations

import sys
import time
from typing import TextIO

from tamso._cli import printable
from tamso.reporting import JobReport


class LineProgress:
    """One line per finished job, for logs and pipes."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._total = 0
        self._done = 0

    def begin(self, total: int) -> None:
        self._total = total

    def job_done(self, job: JobReport, running: int) -> None:
        self._done += 1
        duration = "" if job.duration is None else f" ({job.duration:.2f} s)"
        error = f": {job.error}" if job.status in ("failed", "blocked") and job.error else ""
        width = len(str(self._total))
        line = printable(f"{job.label()}{duration}{error}")  # names and messages may hold escape sequences
        self._stream.write(f"[{self._done:>{width}}/{self._total}] {job.status:<7} {line}\n")
        self._stream.flush()

    def end(self) -> None:
        pass


class LiveProgress:
    """A live bar: done of total, running, failed, elapsed and an estimate of what is left."""

    def __init__(self, stream: TextIO) -> None:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn, \
            TimeRemainingColumn

        self._progress = Progress(
            TextColumn("[bold]tamso run"),
            BarColumn(),
            MofNCompleteColumn(),
            TextColumn("running {task.fields[running]}"),
            TextColumn("[red]failed {task.fields[failed]}"),
            TimeElapsedColumn(),
            TimeRemainingColumn(),
            console=Console(file=stream),
            transient=False,
        )
        self._task = self._progress.add_task("run", total=0, running=0, failed=0)
        self._failed = 0
        self._last = 0.0

    def begin(self, total: int) -> None:
        self._progress.update(self._task, total=total)
        self._progress.start()

    def job_done(self, job: JobReport, running: int) -> None:
        if job.status in ("failed", "blocked"):
            self._failed += 1
        self._progress.update(self._task, advance=1, running=running, failed=self._failed)

    def end(self) -> None:
        self._progress.stop()


def for_stream(stream: TextIO | None = None) -> LineProgress | LiveProgress:
    """The live display when `stream` (standard error by default) is a terminal, else plain lines."""
    stream = stream if stream is not None else sys.stderr
    isatty = getattr(stream, "isatty", None)
    if isatty is not None and isatty():
        return LiveProgress(stream)
    return LineProgress(stream)
