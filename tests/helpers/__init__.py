"""Shared builders and checks of the vornel tests, imported as `from helpers.NAME import ...`
(pytest's `pythonpath` setting puts tests/ and the project folder on the path)."""

import os
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]

# Set when scripts/sanitize runs the suite with AddressSanitizer preloaded: its allocator keeps
# freed memory in quarantine, and programs started from the tests inherit the preload.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
