"""Time vornel's page summary against the parse floor, a pure-Python peer and a BeautifulSoup peer.

    .venv/bin/python bench/bench_summary.py                      # every page, table and ratios
    .venv/bin/python bench/bench_summary.py --pages 'c*.html' --repeat 20 --json after.json
    .venv/bin/python bench/bench_summary.py --before DIR         # also time another build, in this run
    .venv/bin/python bench/bench_summary.py --compare before.json after.json
    .venv/bin/python bench/bench_summary.py --check              # the others against the plain Python model

Each figure is construction plus get_summary() of one page, the best of --repeat calls after
a warm-up call, in wall time and in CPU time (the steadier on a shared machine); the contenders
take turns at going first, page by page. DIR (for --before and --vornel-path) is a folder holding
a built `vornel` package, such as the one `pip install --no-deps --target DIR .` makes from
another commit.
"""

import argparse
import json
import platform
import sys
from pathlib import Path

from check import check
from contenders import contenders, inspector_classes
from pages import PAGE_URL, find_pages, read_page
from report import print_comparison, print_run
from timing import best_times, peak_rss_mb


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=7, help="timed calls per page and contender (default 7)")
    parser.add_argument("--pages", default="*.html", help="file-name pattern of the pages to use")
    parser.add_argument("--json", metavar="OUT", help="also save the results to OUT")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"), help="compare two saved runs and exit")
    parser.add_argument("--vornel-path", metavar="DIR", help="import vornel from DIR instead of the installed one")
    parser.add_argument("--before", metavar="DIR", help="time the vornel built in DIR as well, in the same run")
    parser.add_argument("--check", action="store_true",
                        help="check the other contenders against the plain Python model and exit")
    return parser.parse_args(argv)


def load_run(path):
    return json.loads(Path(path).read_text())


def measure(pages, before_build, repeat):
    import selectolax
    import vornel.inspector

    runs = contenders(before_build)
    names = list(runs)
    results = []
    for number, (group, path) in enumerate(pages, 1):
        print(f"[{number}/{len(pages)}] {path.name}", file=sys.stderr)
        # Each page starts with another contender: the one that runs right after BeautifulSoup
        # has freed its garbage runs a few percent slower, and that must not always be the same one.
        first = number % len(names)
        turn = {name: runs[name] for name in names[first:] + names[:first]}
        times = best_times(turn, read_page(path), PAGE_URL, repeat)
        results.append({"name": path.name, "group": group, "kb": path.stat().st_size / 1024,
                        "seconds": {name: wall for name, (wall, _) in times.items()},
                        "cpu_seconds": {name: cpu for name, (_, cpu) in times.items()}})
    return {
        "python": platform.python_version(),
        "selectolax": selectolax.__version__,
        "vornel": vornel.inspector.__file__,
        "before": before_build,
        "repeat": repeat,
        "contenders": list(runs),
        "pages": results,
        "peak_rss_mb": peak_rss_mb(),
    }


def main(argv):
    args = parse_arguments(argv)
    if args.compare:
        print_comparison(load_run(args.compare[0]), load_run(args.compare[1]))
        return 0
    if args.vornel_path:
        sys.path.insert(0, str(Path(args.vornel_path).resolve()))
    pages = find_pages(args.pages)
    if not pages:
        print(f"no page matches {args.pages}", file=sys.stderr)
        return 2
    if args.check:
        identical = check(pages, inspector_classes(args.before), must_match={"vornel", "before"})
        return 0 if identical else 1
    run = measure(pages, args.before, args.repeat)
    print_run(run)
    if args.json:
        Path(args.json).write_text(json.dumps(run, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
