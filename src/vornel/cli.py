"""The `vornel` command: `vornel page` summarises one saved page, `vornel warc` whole web archives."""

import argparse
import json
import os
import re
import signal
import stat
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

DESCRIPTION = "Summaries of web pages: one saved page, or every HTML page of WARC archives."

PAGE_HELP = """\
Print the summary of one saved page as indented JSON: its title, meta data, forms, internal and
external links, images, headings and tables. URL is the address the page came from; links are
resolved against it. The page is decoded as a browser decodes it (byte-order mark, <meta>
declaration, else a guess from its bytes and the URL), as vornel warc does; --encoding forces
a character set, as an HTTP header would declare it.

examples:
  vornel page saved.html https://example.com/some/page
  vornel page menu.html https://example.fr/menu --encoding windows-1252
  curl -s https://example.com/ | vornel page - https://example.com/
"""

WARC_HELP = """\
Summarise every HTML page of WARC archives (.warc or .warc.gz, as wget --warc-file, Heritrix,
Browsertrix or Common Crawl write them, and ARC files) into JSON Lines or Parquet: one line (row)
per page, in input order, with the page's url, its record's locator (warc_filename, warc_record_offset,
warc_record_length), warc_record_id, warc_date, HTTP status and content_type, the payload digest,
the encoding used to decode it and its summary (or an error instead of the summary when that page
failed). Responses that are not 2xx, not HTML, revisits and other record types are counted and
skipped; --url, --exclude-url, --status and --mime choose other pages, from the record's headers
alone. Damaged bytes are skipped to the next record, each range named with its byte offset.

An INPUT may be a glob pattern or a folder (local or an fsspec URL): it stands for the .warc,
.warc.gz, .arc and .arc.gz files it matches or holds, sorted. --input-list reads the inputs from
a file (- for standard input, gzip-compressed or not), one per line, as Common Crawl publishes
them in warc.paths.gz.

An output named *.parquet, or --format parquet, is one Parquet row per page with typed columns.
An output that ends in / or is a folder receives a part file per slice (part-00000.jsonl or
.parquet, ...), one dataset for pyarrow, pandas, DuckDB and Spark; --resume runs only the slices
whose part is not there yet, so a job cut short is finished without starting over.

Every page is summarised in a worker process. A page that takes longer than --page-timeout,
needs more memory than --worker-memory, or makes its worker die becomes an error line
(PageTimeoutError, PageTooLargeError, WorkerDiedError) and the job goes on.

An output file is written under a temporary name beside it and put in place when the job ends,
so that an older file stays whole until then; an output that is one of the inputs is refused.
A progress bar and a closing report go to standard error; standard output carries only the
JSON. The exit status is 0 when every input was read to its end without damage, 1 when one was
not (every page that could be read is kept), 2 for a wrong command line, 130 after Ctrl-C and
143 after SIGTERM (the lines written so far are kept: in OUT when there was no file there before,
else beside it, and OUT as it was).

examples:
  vornel warc crawl.warc.gz > pages.jsonl          all cores, output on standard output
  vornel warc *.warc.gz -o pages.jsonl.gz          compressed, because the name ends in .gz
  vornel warc crawl.warc.gz --jobs 1 --quiet       one worker process, no progress bar or report
  vornel warc crawls/ -o pages/ --format parquet    every archive in a folder, a Parquet part per slice
  vornel warc --input-list warc.paths.gz --prefix https://data.commoncrawl.org/ -o pages/ --resume
  vornel warc 'crawl-*.warc.gz' --url '^https://[^/]*example[.]org/' -o pages.parquet
  vornel warc s3://bucket/a.warc.gz s3://bucket/b.warc.gz --scheduler tcp://scheduler:8786 -o s3://bucket/pages
                                                   on a Dask cluster: one part file per slice
"""


def _size(text: str) -> int:
    match = re.fullmatch(r"(\d+)\s*([kKmMgG]?)i?[bB]?", text.strip())
    if not match or int(match[1]) == 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (such as 512K, 8M or 1G)")
    return int(match[1]) << {"": 0, "k": 10, "m": 20, "g": 30}[match[2].lower()]


def _slice_size(text: str) -> int:
    from vornel.crawl.slices import MIN_SLICE_SIZE

    size = _size(text)
    if size < MIN_SLICE_SIZE:
        raise argparse.ArgumentTypeError(f"a slice of {text!r} is too small (at least {MIN_SLICE_SIZE >> 10}K)")
    return size


def _memory(text: str) -> int:
    from vornel.crawl.limits import WORKER_MEMORY_FLOOR

    size = _size(text)
    if size < WORKER_MEMORY_FLOOR:
        raise argparse.ArgumentTypeError(f"{text!r} is too little for a worker (at least {WORKER_MEMORY_FLOOR >> 20}M)")
    return size


def _positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return int(text)


def _seconds(text: str) -> float:
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return seconds


def _encoding(label: str) -> str:
    import codecs

    from w3lib.encoding import resolve_encoding

    try:
        return resolve_encoding(label) or codecs.lookup(label).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"not a character set: {label!r}") from None


def _accepted(parse: Callable[[str], object], text: str) -> str:
    """`text`, when `parse` takes it; else its ValueError as the option's error."""
    try:
        parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def _statuses(text: str) -> str:
    from vornel.crawl.filters import parse_statuses

    return _accepted(parse_statuses, text)


def _types(text: str) -> str:
    from vornel.crawl.filters import parse_types

    return _accepted(parse_types, text)


def _regex(text: str) -> str:
    try:
        re.compile(text)
    except re.error as error:
        raise argparse.ArgumentTypeError(f"not a regular expression: {text!r} ({error})") from None
    return text


def _version() -> str:
    from vornel import __version__

    return f"vornel {__version__}"


def build_parser() -> argparse.ArgumentParser:
    from vornel.crawl.formats import FORMATS
    from vornel.crawl.limits import PAGE_TIMEOUT
    from vornel.crawl.slices import SLICE_SIZE

    parser = argparse.ArgumentParser(prog="vornel", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    raw = argparse.RawDescriptionHelpFormatter
    page = commands.add_parser("page", help="summarise one saved page", description=PAGE_HELP, formatter_class=raw)
    page.add_argument("file", metavar="FILE", help="the saved HTML page, or - for standard input")
    page.add_argument("url", metavar="URL", help="the address the page came from")
    page.add_argument("--encoding", type=_encoding, metavar="CHARSET",
                      help="the page's character set (default: found as a browser finds it)")

    warc = commands.add_parser("warc", help="summarise every HTML page of WARC archives", description=WARC_HELP,
                               formatter_class=raw)
    warc.add_argument("inputs", nargs="*", metavar="INPUT",
                      help="WARC or ARC file (gzip-compressed or not), - for standard input, an fsspec URL, "
                           "or a glob pattern or folder of them")
    warc.add_argument("--input-list", metavar="FILE",
                      help="read the inputs from FILE, one per line (- for standard input; .gz is read)")
    warc.add_argument("--prefix", metavar="BASE",
                      help="put BASE in front of the relative entries of --input-list (a folder or a URL)")
    warc.add_argument("-o", "--output", metavar="OUT",
                      help="output file (default: standard output; .gz compresses, .parquet writes Parquet); "
                           "a folder (ending in /) for a part file per slice, as with --scheduler")
    warc.add_argument("--format", choices=list(FORMATS),
                      help="output format (default: from the name of OUT, else jsonl)")
    warc.add_argument("--resume", action="store_true",
                      help="with a folder output: run only the slices whose part file is not there yet")
    warc.add_argument("--url", type=_regex, metavar="REGEX", help="only pages whose URL matches REGEX")
    warc.add_argument("--exclude-url", type=_regex, metavar="REGEX", help="no pages whose URL matches REGEX")
    warc.add_argument("--status", type=_statuses, metavar="LIST",
                      help="HTTP statuses of the pages, such as 200,3xx (default 2xx)")
    warc.add_argument("--mime", type=_types, metavar="LIST",
                      help="content types of the pages, such as text/html,text/* (default: HTML)")
    warc.add_argument("-j", "--jobs", type=_positive, metavar="N",
                      help=f"worker processes (default: the usable cores, here {_cores()}; at most 4 per core)")
    warc.add_argument("--scheduler", metavar="ADDRESS",
                      help="run on the Dask cluster of this scheduler (such as tcp://127.0.0.1:8786); "
                           "needs pip install 'vornel[dask]'")
    warc.add_argument("--gzip", action="store_true", help="gzip-compress the output (part files too)")
    warc.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no closing report")
    warc.add_argument("--slice-size", type=_slice_size, default=SLICE_SIZE, metavar="SIZE",
                      help="bytes of a .warc.gz file per task (default 4M, at least 1K)")
    warc.add_argument("--page-timeout", type=_seconds, default=PAGE_TIMEOUT, metavar="SECONDS",
                      help=f"the longest a page may take before it becomes an error line (default {PAGE_TIMEOUT:g})")
    warc.add_argument("--worker-memory", type=_memory, metavar="SIZE",
                      help="memory a worker process may take for its pages (default: half the machine's "
                           "memory shared among the workers, at most 1G)")
    warc.add_argument("--strict", action="store_true",
                      help="stop reading an input at its first damaged record instead of skipping to the next one")
    return parser


def _cores() -> int:
    from vornel.crawl.job import usable_cores

    return usable_cores()


def _say(text: str) -> None:
    print(f"vornel: {text}", file=sys.stderr, flush=True)


def run_page(file: str, url: str, encoding: str | None) -> int:
    from vornel.crawl.text import decode_html
    from vornel.inspector import VornInspector

    try:
        if file == "-":
            body = sys.stdin.buffer.read()
        else:
            with open(file, "rb") as stream:
                body = stream.read()
    except OSError as error:
        _say(f"{file}: {error.strerror or error}")
        return 1
    _, html = decode_html(body, None if encoding is None else f"text/html; charset={encoding}", url)
    try:
        summary = VornInspector(html, url).get_summary()
    except ValueError as error:  # a page URL that urllib.parse rejects
        _say(f"{url}: {error}")
        return 1
    print(json.dumps(summary, indent=2, ensure_ascii=False))
    sys.stdout.flush()
    return 0


def _scheduler_address_fault(address: str) -> str | None:
    """What is wrong with a scheduler address, found before Dask is asked to connect to it."""
    from distributed.comm.addressing import parse_address, parse_host_port
    from distributed.comm.registry import get_backend
    from distributed.security import Security

    try:
        scheme, location = parse_address(address)
        get_backend(scheme)
        if scheme in ("tcp", "tls", "ws", "wss"):
            parse_host_port(location)
    except (ValueError, TypeError) as error:
        return f"not a scheduler address ({error}); such as tcp://scheduler:8786"
    if scheme in ("tls", "wss") and Security().get_connection_args("client").get("ssl_context") is None:  # type: ignore[no-untyped-call]
        return (f"{scheme}:// needs TLS certificates in Dask's configuration "
                "(distributed.comm.tls.ca-file, .client.cert and .client.key)")
    return None


def _connect(address: str) -> Any:
    try:
        from distributed import Client
    except ImportError:
        _say("--scheduler needs Dask: pip install 'vornel[dask]'")
        return None
    import logging

    # Dask's own log lines (a lost scheduler, reconnection attempts) would repeat what vornel says;
    # its configuration gives some of its loggers levels of their own.
    for name in ["distributed", *logging.root.manager.loggerDict]:
        if name.startswith("distributed"):
            logging.getLogger(name).setLevel(logging.CRITICAL)
    fault = _scheduler_address_fault(address)
    if fault is not None:
        _say(f"--scheduler {address}: {fault}")
        return None
    try:
        # Dask's own setting decides how long to try (distributed.comm.timeouts.connect).
        return Client(address, set_as_default=False)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError) as error:
        _say(f"cannot reach the Dask scheduler at {address} ({error})")
    except Exception as error:
        _say(f"cannot use the Dask scheduler at {address} ({type(error).__name__}: {error})")
    return None


def _close(client: Any) -> None:
    try:
        client.close(timeout=5)
    except Exception:  # a client that lost its scheduler may fail to say goodbye
        pass


def _check_output_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Refuses, as usage errors, the output options that do not go together."""
    from vornel.crawl.formats import format_of_path
    from vornel.crawl.parts import is_folder_output

    if args.prefix is not None and args.input_list is None:
        parser.error("--prefix applies to the entries of --input-list")
    if args.input_list == "-" and "-" in args.inputs:
        parser.error("standard input cannot hold both the input list and an archive")
    output = None if args.output in (None, "-") else args.output
    folder = args.scheduler is not None or (output is not None and is_folder_output(output))
    chosen = args.format or format_of_path(output) or "jsonl"
    if args.resume and not folder:
        parser.error("--resume needs a folder output (-o DIR/), whose part files tell what is done")
    if args.resume and "-" in args.inputs:
        parser.error("a job that reads standard input cannot be resumed")
    if chosen == "parquet" and args.gzip:
        parser.error("Parquet output is compressed inside the file; --gzip applies to JSON Lines")
    if chosen == "parquet" and output is None and sys.stdout.isatty():
        parser.error("Parquet output is binary: give -o pages.parquet, or a folder")


def run_warc(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from vornel.crawl.dask_job import ClusterLostError
    from vornel.crawl.input_paths import NoInputsError, expand_inputs, read_input_list
    from vornel.crawl.job import summarize_warcs
    from vornel.crawl.output import OutputIsInputError
    from vornel.crawl.progress import format_report

    _check_output_options(args, parser)
    try:
        if args.input_list is not None:
            args.inputs += read_input_list(args.input_list, args.prefix)
        args.inputs = expand_inputs(args.inputs)
    except NoInputsError as error:
        _say(str(error))
        return 2
    except OSError as error:
        _say(f"{getattr(error, 'filename', None) or args.input_list}: {error.strerror or error}")
        return 2
    if not args.inputs:
        parser.error("the following arguments are required: INPUT (or --input-list FILE)")
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
    to_stdout = args.output is None or args.output == "-"
    try:
        report = summarize_warcs(args.inputs, args.output, jobs=args.jobs, client=client, compress=args.gzip,
                                 slice_size=args.slice_size, progress=not args.quiet and sys.stderr.isatty(),
                                 say=_say, strict=args.strict, page_timeout=args.page_timeout,
                                 worker_memory=args.worker_memory, format=args.format, url=args.url,
                                 exclude_url=args.exclude_url, status=args.status, mime=args.mime,
                                 resume=args.resume)
    except OutputIsInputError as error:
        _say(f"{'standard output' if to_stdout else args.output}: {error}")
        return 2
    except FileExistsError as error:  # an output folder that holds the parts of another run
        _say(f"{args.output}: {error}")
        return 2
    except ClusterLostError as error:
        _say(f"{error} at {args.scheduler}; the job ended, the part files written so far are in {args.output}")
        return 1
    except BrokenPipeError:
        raise  # the reader of standard output has gone: ended quietly by main
    except OSError as error:  # the output cannot be written
        where = "standard output" if to_stdout and not getattr(error, "filename", None) else \
            getattr(error, "filename", None) or args.output
        _say(f"{where}: {error.strerror or error}")
        return 1
    finally:
        if client is not None:
            _close(client)
    if not args.quiet:
        print(format_report(report, len(args.inputs)), file=sys.stderr)
    return 0 if report.complete else 1


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken as Ctrl-C is: the job stops, its lines so far kept."""


# Seconds the job has to end after Ctrl-C or SIGTERM: a reader of standard output that stopped
# reading must not keep it from ending.
GRACE_SECONDS = 10.0
_stopped_by: list[type[KeyboardInterrupt]] = []


def _stop(number: int, frame: object) -> None:
    kind = Terminated if number == signal.SIGTERM else KeyboardInterrupt
    if not _stopped_by and hasattr(signal, "setitimer"):
        signal.setitimer(signal.ITIMER_REAL, GRACE_SECONDS)
    _stopped_by.append(kind)
    raise kind()


def _stop_now(number: int, frame: object) -> None:
    raise (_stopped_by[0] if _stopped_by else Terminated)()


@contextmanager
def _signals_stop_the_job() -> Iterator[None]:
    """Ctrl-C and SIGTERM stop the job (SIGTERM as Ctrl-C does), and what follows them is given a
    few seconds, then cut short."""
    wanted = {signal.SIGINT: _stop, signal.SIGTERM: _stop}
    if hasattr(signal, "SIGALRM"):
        wanted[signal.SIGALRM] = _stop_now
    try:
        previous = {number: signal.signal(number, handler) for number, handler in wanted.items()}
    except ValueError:  # not the main thread: the caller's own handling stays
        yield
        return
    _stopped_by.clear()
    try:
        yield
    finally:
        if hasattr(signal, "setitimer"):
            signal.setitimer(signal.ITIMER_REAL, 0)
        for number, handler in previous.items():
            signal.signal(number, handler)


def _release_standard_output() -> None:
    """After an interruption, a pipe on standard output that is not read any more must not keep the
    interpreter from exiting (it flushes standard output last): what is left goes nowhere."""
    try:
        if not stat.S_ISREG(os.fstat(sys.stdout.fileno()).st_mode):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    try:
        with _signals_stop_the_job():
            parser = build_parser()
            args = parser.parse_args(argv)
            if args.command == "page":
                return run_page(args.file, args.url, args.encoding)
            return run_warc(args, parser)
    except KeyboardInterrupt as stop:
        _release_standard_output()
        _say("terminated" if isinstance(stop, Terminated) else "interrupted")
        return 143 if isinstance(stop, Terminated) else 130
    except BrokenPipeError:  # the reader of standard output has gone, as `| head` does: end quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
