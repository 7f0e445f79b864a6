"""Puts the project's own Python folders on the path of a benchmark run as `python bench/NAME.py`:
the project folder, for summary_model/ (the plain Python model) and bench.process_tree, and
tests/, for the archive builders in tests/helpers/."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

for folder in (ROOT, ROOT / "tests"):
    if str(folder) not in sys.path:
        sys.path.append(str(folder))
