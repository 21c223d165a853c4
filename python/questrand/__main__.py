"""``python3 -m questrand COMMAND``."""

import sys

from .cli import main

sys.exit(main())
