"""``python -m quarn``: the ``quarn`` command line."""

import sys

from quarn.cli import main

sys.exit(main())
