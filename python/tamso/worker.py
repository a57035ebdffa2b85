"""``python -m tamso.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON]``: run one asset."""

from __future__ import annotations

import argparse
import sys
from typing import Sequence

from tamso import _cli
from tamso._tamso import materialize_asset

PROG = "python -m tamso.worker"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Run one asset function and write its return value to OUTPUT_DIR/value.json "
            "and a description of the run to OUTPUT_DIR/result.json; both files are "
            "replaced atomically. Exits 0 on success and 1 when the run fails "
            "(result.json then holds the error) or OUTPUT_DIR cannot be created "
            "(a diagnostic goes to standard error)."
        ),
    )
    parser.add_argument("module", metavar="MODULE", help="dotted name of the pipeline module")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory that receives the two files")
    parser.add_argument(
        "kwargs_json",
        metavar="KWARGS_JSON",
        nargs="?",
        default=None,
        help="JSON object whose members become keyword arguments of the asset",
    )
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    _cli.make_cwd_importable()
    try:
        materialize_asset(args.module, args.function, args.output_dir, args.kwargs_json)
    except SystemExit as exc:
        # A failed run is recorded in result.json and ends in SystemExit(1).
        return exc.code if isinstance(exc.code, int) else 1
    except KeyboardInterrupt:
        raise
    except BaseException as exc:  # noqa: BLE001 - internal failures derive from BaseException
        _cli.report(PROG, exc)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
