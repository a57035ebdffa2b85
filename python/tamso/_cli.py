"""Shared plumbing of the two command-line entries."""

from __future__ import annotations

import os
import sys


def make_cwd_importable() -> None:
    """Let pipeline modules in the working directory import, as ``python -m`` does."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


def display(exc: BaseException) -> str:
    """``Type: message``, as the native core displays exceptions; an unprintable one still has its type."""
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001 - whatever str() raises, the line is still written
        text = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {text}"


def report(prog: str, exc: BaseException) -> None:
    """Write one diagnostic line for a failed call to standard error."""
    print(f"{prog}: error: {display(exc)}", file=sys.stderr)
