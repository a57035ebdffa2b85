"""``python -m tamso``: the ``tamso`` command line."""

import signal
import sys


def _terminate(signum: int, frame: object) -> None:
    raise KeyboardInterrupt


# SIGTERM stops the command as Ctrl-C does from the first moment, imports included.
signal.signal(signal.SIGTERM, _terminate)
try:
    from tamso.cli import main

    code = main()
except KeyboardInterrupt:
    print("tamso: interrupted", file=sys.stderr)
    code = 130
sys.exit(code)
