"""`python -m korvane`: the korvane command."""

import sys

from korvane.cli import main

sys.exit(main())
