"""python -m morbex: the morbex command."""

import sys

from morbex.cli import main

if __name__ == "__main__":
    sys.exit(main())
