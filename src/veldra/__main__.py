"""``python -m veldra``: the same command line as ``veldra``."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
