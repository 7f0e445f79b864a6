"""A whole job: WARC inputs in, page lines out (JSON Lines or Parquet, one output or a folder of
parts), on this machine or on a Dask cluster."""

import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import replace
from typing import TYPE_CHECKING, BinaryIO

from vornel.crawl.counts import Counts
from vornel.crawl.filters import Filters, make_filters
from vornel.crawl.formats import OutputFormat, format_of_path, output_format
from vornel.crawl.input_paths import expand_inputs
from vornel.crawl.inputs import STDIN, is_url
from vornel.crawl.limits import PAGE_TIMEOUT, Limits, default_worker_memory
from vornel.crawl.local import run_locally
from vornel.crawl.output import Output, StreamSink, check_not_an_input
from vornel.crawl.parts import PartFolder, PartsSink, is_folder_output, manifest, part_name, prepare
from vornel.crawl.progress import JobReport, Progress
from vornel.crawl.slices import MIN_SLICE_SIZE, SLICE_SIZE, Slice, SliceResult, plan_slices

if TYPE_CHECKING:
    from distributed import Client

# Worker processes per usable core at most: beyond, more workers only cost memory.
JOBS_PER_CORE = 4


def usable_cores() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()  # the former honours CPU affinity
    return max(1, count or 1)


def max_jobs() -> int:
    return JOBS_PER_CORE * usable_cores()


def _plan(inputs: Sequence[str], slice_size: int, report: JobReport, say: Callable[[str], None],
          strict: bool = False, filters: Filters | None = None, format: str = "jsonl") -> list[Slice]:
    slices: list[Slice] = []
    for path in inputs:
        try:
            planned = plan_slices(path, slice_size, strict)
        except OSError as error:
            message = f"{path}: cannot read it ({error.strerror or error})"
            report.fault(path, message)
            say(message)
            continue
        slices += [replace(piece, index=len(slices) + number, format=format, filters=filters or piece.filters)
                   for number, piece in enumerate(planned)]
    return slices


def summarize_warcs(inputs: Sequence[str], output: str | BinaryIO | None = None, *, jobs: int | None = None,
                    client: "Client | None" = None, compress: bool = False, slice_size: int = SLICE_SIZE,
                    progress: bool = False, say: Callable[[str], None] | None = None,
                    strict: bool = False, page_timeout: float = PAGE_TIMEOUT,
                    worker_memory: int | None = None, format: str | None = None,
                    url: "str | re.Pattern[str] | None" = None, exclude_url: "str | re.Pattern[str] | None" = None,
                    status: str | Iterable[int] | None = None, mime: str | Iterable[str] | None = None,
                    resume: bool = False) -> JobReport:
    """Summarise every HTML page of the WARC files `inputs` into page lines; returns the report.

    Locally (no `client`), the lines go to `output`: a path (gzip-compressed when it ends in .gz
    or with `compress`), a binary stream, or None for standard output; they come in input order,
    the same for every number of `jobs` (default: the usable cores, at most four worker
    processes per core). A file is written under a temporary name and takes the place of the old
    one when the job ends; an output that is one of the inputs raises OutputIsInputError. Each
    page is summarised in a worker process: a page that takes longer than `page_timeout`
    seconds, needs more than `worker_memory` bytes (default: from the machine's memory and the
    number of jobs), or kills its worker becomes an error line, and the job goes on.

    With a `distributed.Client`, `output` is a folder (a path or an fsspec URL) that receives one
    part file per slice, `part-00000.jsonl` and so on (`.jsonl.gz` with `compress`); the inputs
    must then be readable by the workers. A cluster lost for good raises ClusterLostError.
    Messages about inputs that cannot be read go to `say` (default: standard error) as they
    arrive; `progress` shows a bar on standard error. Damaged bytes in an input are skipped, each
    range named in a message, and reading goes on; with `strict`, reading an input stops at its
    first damage.

    Inputs may be glob patterns and folders (local or fsspec URLs), which stand for the WARC and
    ARC files they match or hold, sorted; one that matches nothing raises NoInputsError. `format`
    is "jsonl" (JSON Lines, the default) or "parquet" (also chosen by an output named
    `*.parquet`). An output path that ends in "/" or is a folder receives a part file per slice,
    as on Dask; with `resume`, the slices whose part is already there are not read again (the
    folder must hold the parts of the same job, else OtherJobError). `url` and `exclude_url`
    (regular expressions searched in the target URI), `status` ("200,3xx", or statuses) and
    `mime` ("text/html,text/*", or media types) choose the records that become pages (default:
    2xx HTML responses); the others are counted as skipped.
    """
    if slice_size < MIN_SLICE_SIZE:
        raise ValueError(f"a slice must be at least {MIN_SLICE_SIZE} bytes")
    if not page_timeout > 0:
        raise ValueError("the page timeout must be a positive number of seconds")
    filters = make_filters(url, exclude_url, status, mime)
    chosen = output_format(format or format_of_path(output if isinstance(output, str) else None))
    if compress and not chosen.compressible:
        raise ValueError(f"{chosen.name} output is compressed inside the file; gzip applies to JSON Lines")
    folder = client is not None or (isinstance(output, str) and is_folder_output(output))
    if resume and not folder:
        raise ValueError("resuming needs a folder output, whose part files tell what is done")
    inputs = expand_inputs(inputs)
    began = time.perf_counter()
    report = JobReport()
    say = say or (lambda text: print(text, file=sys.stderr, flush=True))
    if client is not None:
        if not isinstance(output, str):
            raise ValueError("a Dask job needs an output folder")
        if STDIN in inputs:
            raise ValueError("a Dask job cannot read standard input")
        # The workers resolve relative paths against their own folders: make them this one's.
        inputs = [path if is_url(path) else os.path.abspath(path) for path in inputs]
        output = output if is_url(output) else os.path.abspath(output)
    elif not folder and (output is None or isinstance(output, str)):
        check_not_an_input(output, inputs)
    if resume and STDIN in inputs:
        raise ValueError("a job that reads standard input cannot be resumed")
    slices = _plan(inputs, slice_size, report, say, strict, filters, chosen.name)
    todo = slices
    if folder:
        assert isinstance(output, str)
        parts = PartFolder(output)
        done_parts = prepare(parts, manifest(
            [path if is_url(path) or path == STDIN else os.path.abspath(path) for path in inputs],
            slices, slice_size, chosen, compress), resume)
        todo = [piece for piece in slices if part_name(piece.index, chosen, compress) not in done_parts]
    bar = Progress(sum(piece.length for piece in todo), progress)

    def done(piece: Slice, result: SliceResult) -> None:
        report.counts.add(result.counts)
        if client is None:
            for message in result.damage:
                report.damage(piece.path, message)
                bar.message(say, message)
        if result.fault is not None and client is None:
            report.fault(piece.path, result.fault)
            bar.message(say, result.fault)
        bar.show(report.counts, report.counts.bytes)

    def tick(current: Counts, into: int) -> None:
        if bar.due():
            bar.show(report.counts.plus(current), report.counts.bytes + into)

    try:
        if client is not None:
            assert isinstance(output, str)
            from vornel.crawl.dask_job import run_on_dask

            final = run_on_dask(todo, client, output, compress, done)
            report.counts = Counts()
            for piece, result in zip(todo, final, strict=True):
                report.counts.add(result.counts)
                for message in result.damage:
                    report.damage(piece.path, message)
                    bar.message(say, message)
                if result.fault is not None:
                    report.fault(piece.path, result.fault)
                    bar.message(say, result.fault)
        else:
            workers = max(1, min(jobs or usable_cores(), max_jobs(), len(todo)))
            limits = Limits(page_timeout, worker_memory or default_worker_memory(workers))
            if folder:
                assert isinstance(output, str)
                _run_into_parts(todo, output, chosen, compress, workers, limits, done, tick, say)
            else:
                _run_local(todo, output, chosen, compress, workers, limits, report, done, tick, say)
    finally:
        bar.close()
        report.seconds = time.perf_counter() - began
    return report


def _run_into_parts(slices: list[Slice], output: str, format: OutputFormat, compress: bool, workers: int,
                    limits: Limits, done: Callable[[Slice, SliceResult], None], tick: Callable[[Counts, int], None],
                    say: Callable[[str], None]) -> None:
    """The local job into a folder: each part is put in place as its slice ends; a part cut short
    by an interruption is removed, and the parts before it stay for a resumed run."""
    sink = PartsSink(PartFolder(output), format, compress)
    try:
        run_locally(slices, sink, workers, limits, done, tick)
    except KeyboardInterrupt:
        sink.discard()
        say(f"{output}: the part files of the slices done are kept; --resume runs the rest")
        raise
    finally:
        sink.discard()


def _run_local(slices: list[Slice], output: str | BinaryIO | None, format: OutputFormat, compress: bool,
               workers: int, limits: Limits, report: JobReport, done: Callable[[Slice, SliceResult], None],
               tick: Callable[[Counts, int], None], say: Callable[[str], None]) -> None:
    """The local job, with its output file put in place at the end, kept when it is interrupted,
    and left as it was when the job fails or has read nothing at all."""
    if output is not None and not isinstance(output, str):
        sink = StreamSink(output, format)
        run_locally(slices, sink, workers, limits, done, tick)
        sink.close()
        return
    target = Output(output, compress)
    sink = StreamSink(target.stream, format, target.flush, target.temporary is not None)
    try:
        run_locally(slices, sink, workers, limits, done, tick)
        sink.close()
    except KeyboardInterrupt:
        try:
            sink.close()  # what was written so far, as a whole file
        except Exception:
            pass
        kept = target.keep()
        if kept is not None:
            say(f"{output}: left as it was; the lines written so far are in {kept}")
        raise
    except BaseException:
        sink.abandon()
        target.discard()
        raise
    if not report.complete and not report.counts.pages and target.existed:
        target.discard()  # nothing could be read: the old file is worth more than an empty one
    else:
        target.commit()
