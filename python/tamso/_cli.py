"""Shared plumbing of the two command-line entries."""

from __future__ import annotations

import os
import sys


def make_cwd_importable() -> None:
    """Let pipeline modules in the working directory import, as ``python -m`` does."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


def report(prog: str, exc: BaseException) -> None:
    """Write one diagnostic line for a failed call to standard error."""
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001 - an unprintable exception still gets its line
        text = "<exception str() failed>"
    print(f"{prog}: error: {type(exc).__qualname__}: {text}", file=sys.stderr)
