"""Tracebacks of pipeline code: captured around an asset call, formatted as the interpreter prints them.

The frames of tamso's own machinery (this package and the import system) are
left out, so a traceback starts at the asset function, or at the module body
that failed to import. The functions here know nothing of jobs or files:
the job bodies write what :func:`format_exception` returns to the job's log,
and the summary and the report find it again with :func:`log_traceback`.
"""

from __future__ import annotations

import importlib
import os
import re
import sysconfig
import traceback
from types import TracebackType

_MACHINERY = (os.path.dirname(os.path.abspath(__file__)) + os.sep,
              os.path.dirname(os.path.abspath(importlib.__file__)) + os.sep, "<frozen importlib")


def _library_roots() -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    roots = {os.path.abspath(paths[name]) + os.sep for name in ("stdlib", "platstdlib", "purelib", "platlib")
             if name in paths}
    return tuple(sorted(roots))


_LIBRARIES = _library_roots()


def is_machinery(filename: str) -> bool:
    """A frame of tamso itself or of the import system."""
    return filename.startswith(_MACHINERY)


def is_pipeline(filename: str) -> bool:
    """A frame of the pipeline's own code: not tamso, not the standard library, not an installed package."""
    if is_machinery(filename) or filename.startswith("<"):
        return False
    return not os.path.abspath(filename).startswith(_LIBRARIES)


def format_exception(exc: BaseException, tb: TracebackType | None = None) -> str:
    """`exc` with its traceback (or `tb`), chained exceptions included, as the interpreter prints it uncaught,
    without tamso's own frames."""
    report = traceback.TracebackException(type(exc), exc, tb if tb is not None else exc.__traceback__,
                                          compact=True)
    _prune(report, set())
    return "".join(report.format())


def _prune(report: traceback.TracebackException, seen: set[int]) -> None:
    if id(report) in seen:
        return
    seen.add(id(report))
    report.stack = traceback.StackSummary.from_list([f for f in report.stack if not is_machinery(f.filename)])
    for other in (report.__cause__, report.__context__, *(getattr(report, "exceptions", None) or ())):
        if other is not None:
            _prune(other, seen)


def pipeline_frames(tb: TracebackType | None) -> list[traceback.FrameSummary]:
    """The frames of `tb` that are the pipeline's own code, outermost first."""
    return [f for f in traceback.extract_tb(tb) if is_pipeline(f.filename)]


def where(filename: str, lineno: int | None) -> str:
    """``file:line``, the file relative to the working directory when it lies below it."""
    try:
        relative = os.path.relpath(filename)
    except ValueError:
        relative = filename
    shown = filename if relative.startswith(os.pardir) else relative
    return f"{shown}:{lineno}"


_HEADER = re.compile(r"^(  \+ )?(Exception Group )?Traceback \(most recent call last\):$")
_CHAINS = ("The above exception was the direct cause of the following exception:",
           "During handling of the above exception, another exception occurred:")
_FRAME = re.compile(r'^  File "(.+)", line (\d+), in ')


def log_traceback(lines: list[str]) -> list[str]:
    """The traceback that ends a job's log (its chained parts included), or [] when the log ends in none."""
    start = next((i for i in range(len(lines) - 1, -1, -1) if _HEADER.match(lines[i])), None)
    if start is None:
        return []
    while start >= 3 and lines[start - 1] == "" and lines[start - 2] in _CHAINS and lines[start - 3] == "":
        earlier = next((i for i in range(start - 4, -1, -1) if _HEADER.match(lines[i])), None)
        if earlier is None:
            break
        start = earlier
    return lines[start:]


def innermost_pipeline_frame(lines: list[str]) -> str | None:
    """``file:line`` of the innermost frame of pipeline code in a formatted traceback, if it has one."""
    found = None
    for line in lines:
        match = _FRAME.match(line)
        if match and is_pipeline(match.group(1)):
            found = where(match.group(1), int(match.group(2)))
    return found
