"""The `vornel` command: `vornel page` summarises one saved page, `vornel warc` whole web archives."""

import argparse
import json
import os
import re
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

DESCRIPTION = "Summaries of web pages: one saved page, or every HTML page of WARC archives."

PAGE_HELP = """\
Print the summary of one saved page as indented JSON: its title, meta data, forms, internal and
external links, images, headings and tables. URL is the address the page came from; links are
resolved against it.

examples:
  vornel page saved.html https://example.com/some/page
  curl -s https://example.com/ | vornel page - https://example.com/
"""

WARC_HELP = """\
Summarise every HTML page of WARC archives (.warc or .warc.gz, as wget --warc-file, Heritrix,
Browsertrix or Common Crawl write them, and ARC files) into JSON Lines: one line per page, in input
order, with the page's url, its record's locator (warc_filename, warc_record_offset,
warc_record_length), warc_record_id, warc_date, HTTP status and content_type, the payload digest,
the encoding used to decode it and its summary (or an error instead of the summary when that page
failed). Responses that are not 2xx, not HTML, revisits and other record types are counted and
skipped. Damaged bytes are skipped to the next record, each range named with its byte offset.

A progress bar and a closing report go to standard error; standard output carries only the
JSON. The exit status is 0 when every input was read to its end without damage, 1 when one was
not (every page that could be read is kept), 2 for a wrong command line.

examples:
  vornel warc crawl.warc.gz > pages.jsonl          all cores, output on standard output
  vornel warc *.warc.gz -o pages.jsonl.gz          compressed, because the name ends in .gz
  vornel warc crawl.warc.gz --jobs 1 --quiet       one process, no progress bar or report
  vornel warc s3://bucket/a.warc.gz s3://bucket/b.warc.gz --scheduler tcp://scheduler:8786 -o s3://bucket/pages
                                                   on a Dask cluster: one part file per slice
"""


def _size(text: str) -> int:
    match = re.fullmatch(r"(\d+)\s*([kKmMgG]?)i?[bB]?", text.strip())
    if not match or int(match[1]) == 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (such as 512K, 8M or 1G)")
    return int(match[1]) << {"": 0, "k": 10, "m": 20, "g": 30}[match[2].lower()]


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    from vornel.crawl.slices import SLICE_SIZE

    parser = argparse.ArgumentParser(prog="vornel", description=DESCRIPTION)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    raw = argparse.RawDescriptionHelpFormatter
    page = commands.add_parser("page", help="summarise one saved page", description=PAGE_HELP, formatter_class=raw)
    page.add_argument("file", metavar="FILE", help="the saved HTML page (UTF-8), or - for standard input")
    page.add_argument("url", metavar="URL", help="the address the page came from")

    warc = commands.add_parser("warc", help="summarise every HTML page of WARC archives", description=WARC_HELP,
                               formatter_class=raw)
    warc.add_argument("inputs", nargs="+", metavar="INPUT",
                      help="WARC file (gzip-compressed or not), - for standard input, or an fsspec URL")
    warc.add_argument("-o", "--output", metavar="OUT",
                      help="output file (default: standard output; .gz compresses); with --scheduler, the "
                           "output folder for the part files")
    warc.add_argument("-j", "--jobs", type=_positive, metavar="N",
                      help="worker processes (default: the usable cores, here %d)" % _cores())
    warc.add_argument("--scheduler", metavar="ADDRESS",
                      help="run on the Dask cluster of this scheduler (such as tcp://127.0.0.1:8786); "
                           "needs pip install 'vornel[dask]'")
    warc.add_argument("--gzip", action="store_true", help="gzip-compress the output (part files too)")
    warc.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no closing report")
    warc.add_argument("--slice-size", type=_size, default=SLICE_SIZE, metavar="SIZE",
                      help="bytes of a .warc.gz file per task (default 4M)")
    warc.add_argument("--strict", action="store_true",
                      help="stop reading an input at its first damaged record instead of skipping to the next one")
    return parser


def _cores() -> int:
    from vornel.crawl.job import usable_cores

    return usable_cores()


def _say(text: str) -> None:
    print(f"vornel: {text}", file=sys.stderr, flush=True)


def run_page(file: str, url: str) -> int:
    from vornel.inspector import VornInspector

    try:
        html = sys.stdin.read() if file == "-" else Path(file).read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        _say(f"{file}: {error.strerror or error}")
        return 1
    try:
        summary = VornInspector(html, url).get_summary()
    except ValueError as error:  # a page URL that urllib.parse rejects
        _say(f"{url}: {error}")
        return 1
    print(json.dumps(summary, indent=2, ensure_ascii=False))
    return 0


def _connect(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        _say("--scheduler needs Dask: pip install 'vornel[dask]'")
        return None
    try:
        # Dask's own setting decides how long to try (distributed.comm.timeouts.connect).
        return Client(address, set_as_default=False)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError) as error:
        _say(f"cannot reach the Dask scheduler at {address} ({error})")
        return None


def run_warc(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from vornel.crawl.job import summarize_warcs
    from vornel.crawl.progress import format_report

    if args.scheduler is not None:
        if args.output is None:
            parser.error("--scheduler needs -o OUT, the folder for the part files")
        if args.jobs is not None:
            parser.error("--jobs has no effect with --scheduler: the cluster's workers do the work")
        if "-" in args.inputs:
            parser.error("a Dask cluster cannot read standard input")
    client = _connect(args.scheduler) if args.scheduler is not None else None
    if args.scheduler is not None and client is None:
        return 1
    try:
        report = summarize_warcs(args.inputs, args.output, jobs=args.jobs, client=client, compress=args.gzip,
                                 slice_size=args.slice_size, progress=not args.quiet and sys.stderr.isatty(),
                                 say=_say, strict=args.strict)
    except FileExistsError as error:  # an output folder that holds the parts of another run
        _say(f"{args.output}: {error}")
        return 2
    except OSError as error:  # the output cannot be written
        _say(f"{getattr(error, 'filename', None) or args.output}: {error.strerror or error}")
        return 1
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print(format_report(report, len(args.inputs)), file=sys.stderr)
    return 0 if report.complete else 1


def main(argv: Sequence[str] | None = None) -> int:
    try:
        parser = build_parser()
        args = parser.parse_args(argv)
        if args.command == "page":
            return run_page(args.file, args.url)
        return run_warc(args, parser)
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except BrokenPipeError:  # the reader of standard output has gone, as `| head` does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
