"""``python -m tarnix``: see ``python -m tarnix --help``."""

import sys

from ._cli import main

sys.exit(main())
