"""Shared plumbing of the two command-line entries."""

from __future__ import annotations

import os
import sys


def make_cwd_importable() -> None:
    """Let pipeline modules in the working directory import, as ``python -m`` does."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


class Notice(UserWarning):
    """A warning of tamso's that the command line shows as one line: ``tamso: warning: ...``."""

    prefix = "warning: "


def display(exc: BaseException) -> str:
    """``Type: message``, as the native core displays exceptions; an unprintable one still has its type."""
    try:
        text = str(exc)
    except BaseException:  # noqa: BLE001 - whatever str() raises, the line is still written
        text = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {text}"


def report(prog: str, exc: BaseException) -> None:
    """Write one diagnostic line for a failed call to standard error."""
    print(printable(f"{prog}: error: {display(exc)}"), file=sys.stderr)


_CONTROLS = {code: f"\\x{code:02x}" for code in [*range(0x20), *range(0x7F, 0xA0)]}
_CONTROLS_IN_LINES = {code: text for code, text in _CONTROLS.items() if code not in (0x09, 0x0A)}


def printable(text: str, *, lines: bool = False) -> str:
    """`text` as a terminal may show it: control characters (escape sequences among them) written as
    ``\\x1b``, and characters that cannot be encoded (undecodable bytes) as ``\\udcff``. With `lines`, tabs
    and line breaks stay."""
    shown = text.translate(_CONTROLS_IN_LINES if lines else _CONTROLS)
    try:
        shown.encode("utf-8")
    except UnicodeEncodeError:
        shown = shown.encode("utf-8", "backslashreplace").decode("utf-8")
    return shown
