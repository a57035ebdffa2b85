"""``python -m tamso``: the ``tamso`` command line."""

import sys

from tamso.cli import main

sys.exit(main())
