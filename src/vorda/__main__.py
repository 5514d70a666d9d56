"""``python -m vorda``: the ``vorda`` command."""

import sys

from vorda.cli import main

sys.exit(main())
