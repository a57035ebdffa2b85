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
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - internal failures derive from BaseException
        _cli.report(PROG, exc)
        return 1
    sys.stdout.write(document + "\n")
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
