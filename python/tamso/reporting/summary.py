"""The summary after a run: a table per asset, then each failed job with its error and log.

Names, messages and log lines come from the pipeline: control characters in them are shown escaped
(``\x1b``), so that no escape sequence reaches the terminal; the files keep the bytes.
"""

from __future__ import annotations

import json
import os
from typing import TextIO

from tamso import _tracebacks, layout
from tamso._cli import printable
from tamso.reporting import STATUSES, RunReport


def print_summary(report: RunReport, stream: TextIO, *, log_lines: int = 10) -> None:
    """The table of counts per asset, then every failed job with its error and the end of its log."""
    from rich.console import Console
    from rich.table import Table
    from rich.text import Text

    console = Console(file=stream, soft_wrap=True, width=None if stream.isatty() else 200)
    table = Table(title=f"tamso run: {report.status}, wall time {report.duration:.2f} s", title_justify="left")
    table.add_column("asset")
    for status in STATUSES:
        table.add_column(status, justify="right")
    table.add_column("sum of job durations", justify="right")
    per_asset: dict[str, dict[str, float]] = {}
    for job in report.jobs:
        row = per_asset.setdefault(job.key, {**dict.fromkeys(STATUSES, 0), "time": 0.0})
        row[job.status] = row.get(job.status, 0) + 1
        row["time"] += job.duration or 0.0
    for key, row in per_asset.items():
        table.add_row(Text(printable(key)), *(str(int(row[s])) for s in STATUSES), f"{row['time']:.2f} s")
    console.print(table)
    for job in report.failed():
        console.print(f"\nfailed: {printable(job.label())}", markup=False, highlight=False)
        console.print(printable(f"  {job.error_type}: {job.error}" if job.error_type and job.error and
                                not job.error.startswith(job.error_type) else f"  {job.error}", lines=True),
                      markup=False, highlight=False)
        everything = layout.tail(os.path.join(job.directory, layout.LOG_FILE), 10_000)
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
