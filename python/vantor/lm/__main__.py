"""`python -m vantor.lm`: the `vantor-lm` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
