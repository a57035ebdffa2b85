"""``python -m tamso.inspect MODULE [MODULE ...]``: print the inspection document."""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

from tamso import _cli
from tamso._tamso import inspect_modules

PROG = "python -m tamso.inspect"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Import the named pipeline modules and print one JSON document that "
            "describes every asset they define. Modules that fail to import are "
            "skipped with a line on standard error."
        ),
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="dotted name of a pipeline module")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    _cli.make_cwd_importable()
    try:
        document = inspect_modules(args.modules)
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001 - internal failures derive from BaseException
        # A SystemExit raised by pipeline code while it is being described is
        # a failed inspection too: exiting with its code could report success
        # without a document.
        _cli.report(PROG, exc)
        return 1
    write_document(document)
    return 0


def write_document(document: str) -> None:
    """Write the document and one line feed as UTF-8, whatever the locale says."""
    stream = getattr(sys.stdout, "buffer", None)
    if stream is None:
        sys.stdout.write(document + "\n")
        sys.stdout.flush()
        return
    sys.stdout.flush()
    stream.write(document.encode("utf-8") + b"\n")
    stream.flush()


if __name__ == "__main__":
    sys.exit(main())
