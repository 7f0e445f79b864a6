"""Print the summary of a web page as indented JSON.

    python examples/summarize_page.py                      # the bundled sample page
    python examples/summarize_page.py PAGE.html URL        # a saved page and the URL it came from
    curl -s URL | python examples/summarize_page.py - URL  # a page on standard input
"""

import json
import sys
from pathlib import Path

from vornel.inspector import VornInspector

SAMPLE_PAGE = Path(__file__).with_name("pages") / "sample.html"
SAMPLE_URL = "https://harbourlights.example/"


def main(argv: list[str]) -> int:
    if len(argv) not in (0, 2):
        print(__doc__, file=sys.stderr)
        return 2
    path, url = (str(SAMPLE_PAGE), SAMPLE_URL) if not argv else (argv[0], argv[1])
    if path == "-":
        html = sys.stdin.read()
    else:
        html = Path(path).read_text(encoding="utf-8", errors="replace")
    inspector = VornInspector(html, url)
    print(json.dumps(inspector.get_summary(), indent=2, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
