"""`python -m korvane`: the same command line as the `korvane` script."""

import sys

from korvane.cli import main

if __name__ == "__main__":
    sys.exit(main())
