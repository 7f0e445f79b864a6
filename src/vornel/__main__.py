"""`python -m vornel`: the vornel command."""

import sys

from vornel.cli import main

sys.exit(main())
