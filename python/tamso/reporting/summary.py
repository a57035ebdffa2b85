"""The summary after a run: a table per asset, then each failed job with its error and log.

Names, messages and log lines come from the pipeline: control characters in them are shown escaped
(``\x1b``), so that no escape sequence reaches the terminal; the files keep the bytes.
"""

from __future__ import annotations

import json
import os
import unicodedata
from typing import Any, TextIO

from tamso import layout
from tamso._cli import printable
from tamso.reporting import STATUSES, RunReport


def print_summary(report: RunReport, stream: TextIO, *, log_lines: int = 10) -> None:
    """The table of counts per asset, then every failed job with its error and the end of its log."""
    console: Any
    Table: Any
    Text: Any
    if stream.isatty():  # the live progress has loaded rich already; it fits the table to the terminal
        from rich.console import Console
        from rich.table import Table
        from rich.text import Text

        console = Console(file=stream, soft_wrap=True)
    else:
        console = _PlainConsole(stream)
        Table = PlainTable
        Text = str
    table = Table(title=f"tamso run: {report.status}, wall time {report.duration:.2f} s", title_justify="left")
    table.add_column("asset")
    for status in STATUSES:
        table.add_column(status, justify="right")
    table.add_column("sum of job durations", justify="right")
    per_asset: dict[str, dict[str, float]] = {}
    failed = []  # gathered in the same pass: the run report makes each job's report as it is read
    tally = getattr(report.jobs, "tally", None)  # a run's reports count without making every job's report
    if tally is not None:
        per_asset, failed = tally()
    for job in () if tally is not None else report.jobs:
        row = per_asset.setdefault(job.key, {**dict.fromkeys(STATUSES, 0), "time": 0.0})
        row[job.status] = row.get(job.status, 0) + 1
        row["time"] += job.duration or 0.0
        if job.status == "failed":
            failed.append(job)
    for key, row in per_asset.items():
        table.add_row(Text(printable(key)), *(str(int(row[s])) for s in STATUSES), f"{row['time']:.2f} s")
    console.print(table)
    for job in failed:
        console.print(f"\nfailed: {printable(job.label())}", markup=False, highlight=False)
        console.print(printable(f"  {job.error_type}: {job.error}" if job.error_type and job.error and
                                not job.error.startswith(job.error_type) else f"  {job.error}", lines=True),
                      markup=False, highlight=False)
        everything = layout.tail(os.path.join(job.directory, layout.LOG_FILE), 10_000)
        from tamso import _tracebacks  # only failed jobs need it

        place = _tracebacks.innermost_pipeline_frame(_tracebacks.log_traceback(everything))
        if place:
            console.print(printable(f"  at {place}"), markup=False, highlight=False)
        lines = everything[-log_lines:] if log_lines > 0 else []
        if lines:
            console.print(printable(f"  last lines of {os.path.join(job.directory, layout.LOG_FILE)}:"),
                          markup=False, highlight=False)
            for line in lines:
                console.print("    " + printable(line, lines=True), markup=False, highlight=False)


def print_json(report: RunReport, stream: TextIO) -> None:
    stream.write(json.dumps(report.to_json(), ensure_ascii=False, indent=2) + "\n")
    stream.flush()


def _cells(text: str) -> int:
    """How many terminal cells `text` takes: East Asian wide characters two, combining marks none."""
    if text.isascii():
        return len(text)
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1
               for c in text)


class PlainTable:
    """A table drawn as rich draws its default one (heavy head, light body), without loading rich: the
    summary of a run whose output goes to a file or a pipe, where no terminal width or colour applies."""

    def __init__(self, *, title: str, title_justify: str = "left") -> None:
        self.title = title
        self._headers: list[str] = []
        self._right: list[bool] = []
        self._rows: list[tuple[str, ...]] = []

    def add_column(self, header: str, *, justify: str = "left") -> None:
        self._headers.append(header)
        self._right.append(justify == "right")

    def add_row(self, *cells: str) -> None:
        self._rows.append(tuple(cells))

    def lines(self) -> list[str]:
        widths = [max([_cells(h), *(_cells(r[i]) for r in self._rows)]) for i, h in enumerate(self._headers)]

        def rule(left: str, fill: str, middle: str, right: str) -> str:
            return left + middle.join(fill * (w + 2) for w in widths) + right

        def row(cells: tuple[str, ...] | list[str], bar: str) -> str:
            padded = []
            for text, width, right in zip(cells, widths, self._right):
                space = " " * (width - _cells(text))
                padded.append(f" {space}{text} " if right else f" {text}{space} ")
            return bar + bar.join(padded) + bar

        return [self.title, rule("┏", "━", "┳", "┓"), row(self._headers, "┃"), rule("┡", "━", "╇", "┩"),
                *(row(r, "│") for r in self._rows), rule("└", "─", "┴", "┘")]


class _PlainConsole:
    """The few console calls the summary makes, as plain lines."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def print(self, item: object, **_: object) -> None:
        lines = item.lines() if isinstance(item, PlainTable) else [str(item)]
        self._stream.write("\n".join(lines) + "\n")
