"""`python -m korvane`: the same command line as the `korvane` script."""

import sys

from korvane.cli import main

sys.exit(main())
