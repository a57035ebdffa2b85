"""Progress while a run goes on: a live display on a terminal, one line per finished job elsewhere."""

from __future__ import annotations

import itertools
import sys
import time
from typing import Any, TextIO

from tamso._cli import printable
from tamso.reporting import STATUSES, JobReport


class LineProgress:
    """One line per finished job, for logs and pipes.

    Lines are gathered as jobs finish and written when the runner is about to
    wait for running jobs (it calls `flush`), at least every `FLUSH_SECONDS`,
    at once for a failed or blocked job, and at the end; so every line is out
    by the time the run waits, yet thousands of short or fresh jobs do not cost
    a system call each (standard error writes through at every line).
    """

    FLUSH_SECONDS = 0.1

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._total = 0
        self._done = 0
        self._flushed = time.monotonic()
        self._lines: list[str] = []
        self._counts = dict.fromkeys(STATUSES, 0)
        self._began = time.monotonic()

    def begin(self, total: int) -> None:
        self._total = total
        self._began = time.monotonic()

    def job_done(self, job: JobReport, running: int) -> None:
        self._done += 1
        self._counts[job.status] = self._counts.get(job.status, 0) + 1
        duration = "" if job.duration is None else f" ({job.duration:.2f} s)"
        error = f": {job.error}" if job.status in ("failed", "blocked") and job.error else ""
        width = len(str(self._total))
        line = printable(f"{job.label()}{duration}{error}")  # names and messages may hold escape sequences
        self._lines.append(f"[{self._done:>{width}}/{self._total}] {job.status:<7} {line}\n")
        now = time.monotonic()
        if now - self._flushed >= self.FLUSH_SECONDS or job.status in ("failed", "blocked"):
            self._write()
            self._flushed = now

    def flush(self) -> None:
        """Write the lines gathered so far."""
        if self._lines:
            self._write()
            self._flushed = time.monotonic()

    def end(self) -> None:
        """The lines still gathered, then one line of counts: how many jobs ended in each status, and the time
        elapsed."""
        if self._total:
            counts = ", ".join(f"{self._counts[status]} {status}" for status in STATUSES)
            self._lines.append(f"{self._done} of {self._total} jobs done: {counts}; elapsed "
                               f"{time.monotonic() - self._began:.2f} s\n")
        self._write()

    def _write(self) -> None:
        if self._lines:
            self._stream.write("".join(self._lines))
            self._lines.clear()
        self._stream.flush()


class LiveProgress:
    """A live bar: done of total; ok, fresh, failed and blocked jobs; time elapsed and left; the jobs running."""

    def __init__(self, stream: TextIO) -> None:
        from rich.console import Console
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn, \
            TimeRemainingColumn

        self._console = Console(file=stream)
        self._progress = Progress(
            TextColumn("[bold]tamso run"),
            BarColumn(bar_width=24),
            MofNCompleteColumn(),
            TextColumn("[green]ok {task.fields[ok]}[/] fresh {task.fields[fresh]}"
                       " [red]failed {task.fields[failed]}[/] [yellow]blocked {task.fields[blocked]}[/]"),
            TextColumn("elapsed"),
            TimeElapsedColumn(),
            TextColumn("left"),
            TimeRemainingColumn(),
            TextColumn("{task.fields[running]}", markup=False),
            console=self._console,
            transient=False,
        )
        self._counts: dict[str, Any] = dict.fromkeys(STATUSES, 0)
        self._task = self._progress.add_task("run", total=0, running="", **self._counts)
        self._in_flight: dict[str, None] = {}

    def begin(self, total: int) -> None:
        self._progress.update(self._task, total=total)
        self._progress.start()

    def job_submitted(self, label: str) -> None:
        self._in_flight[label] = None

    def job_done(self, job: JobReport, running: int) -> None:
        self._counts[job.status] = self._counts.get(job.status, 0) + 1
        self._in_flight.pop(job.label(), None)
        self._progress.update(self._task, advance=1, running=self._running(running), **self._counts)

    def _running(self, running: int) -> str:
        """``running: a, b +3 more``: the oldest jobs handed out, as many as run and fit on the line."""
        if running <= 0 or not self._in_flight:
            return ""
        names = [printable(name) for name in itertools.islice(self._in_flight, running)]
        room = max(30, self._console.width - 100)
        text = "running: "
        for shown, name in enumerate(names):
            rest = len(names) - shown
            piece = ("" if shown == 0 else ", ") + name
            more = f" +{rest - 1} more" if rest > 1 else ""
            if shown and len(text) + len(piece) + len(more) > room:
                return f"{text} +{rest} more"
            text += piece
        return text

    def end(self) -> None:
        self._progress.stop()


def for_stream(stream: TextIO | None = None) -> LineProgress | LiveProgress:
    """The live display when `stream` (standard error by default) is a terminal, else plain lines."""
    stream = stream if stream is not None else sys.stderr
    isatty = getattr(stream, "isatty", None)
    if isatty is not None and isatty():
        return LiveProgress(stream)
    return LineProgress(stream)
