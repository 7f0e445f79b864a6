"""Print one row per page of what `vornel warc` wrote: HTTP status, encoding, URL and title.

    python examples/list_pages.py PAGES.jsonl
"""

import json
import sys


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8") as lines:
        for line in lines:
            page = json.loads(line)
            title = page["summary"]["title"] if "summary" in page else f"error: {page['error']['message']}"
            print(f"{page['status']}  {page['encoding']:<9} {page['url']:<40} {title}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
