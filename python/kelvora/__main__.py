"""``python -m kelvora [serve] [options]``: the ready-made service."""

import sys

from kelvora.service import main

sys.exit(main())
