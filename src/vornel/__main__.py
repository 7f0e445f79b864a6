"""`python -m vornel`: the vornel command."""

import sys

from vornel.cli import main

if __name__ == "__main__":
    sys.exit(main())
