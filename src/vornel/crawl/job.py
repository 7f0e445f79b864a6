"""A whole job: WARC inputs in, JSON lines out, on this machine or on a Dask cluster."""

import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, BinaryIO

from vornel.crawl.counts import Counts
from vornel.crawl.inputs import STDIN, is_url
from vornel.crawl.limits import PAGE_TIMEOUT, Limits, default_worker_memory
from vornel.crawl.local import run_locally
from vornel.crawl.output import Output, check_not_an_input
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
          strict: bool = False) -> list[Slice]:
    slices: list[Slice] = []
    for path in inputs:
        try:
            planned = plan_slices(path, slice_size, strict)
        except OSError as error:
            message = f"{path}: cannot read it ({error.strerror or error})"
            report.fault(path, message)
            say(message)
            continue
        slices += [Slice(piece.path, piece.start, piece.end, piece.length, len(slices) + number, piece.strict)
                   for number, piece in enumerate(planned)]
    return slices


def summarize_warcs(inputs: Sequence[str], output: str | BinaryIO | None = None, *, jobs: int | None = None,
                    client: "Client | None" = None, compress: bool = False, slice_size: int = SLICE_SIZE,
                    progress: bool = False, say: Callable[[str], None] | None = None,
                    strict: bool = False, page_timeout: float = PAGE_TIMEOUT,
                    worker_memory: int | None = None) -> JobReport:
    """Summarise every HTML page of the WARC files `inputs` into JSON lines; returns the report.

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
    """
    if slice_size < MIN_SLICE_SIZE:
        raise ValueError(f"a slice must be at least {MIN_SLICE_SIZE} bytes")
    if not page_timeout > 0:
        raise ValueError("the page timeout must be a positive number of seconds")
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
    elif output is None or isinstance(output, str):
        check_not_an_input(output, inputs)
    slices = _plan(inputs, slice_size, report, say, strict)
    bar = Progress(sum(piece.length for piece in slices), progress)

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

            final = run_on_dask(slices, client, output, compress, done)
            report.counts = Counts()
            for piece, result in zip(slices, final):
                report.counts.add(result.counts)
                for message in result.damage:
                    report.damage(piece.path, message)
                    bar.message(say, message)
                if result.fault is not None:
                    report.fault(piece.path, result.fault)
                    bar.message(say, result.fault)
        else:
            workers = max(1, min(jobs or usable_cores(), max_jobs(), len(slices)))
            limits = Limits(page_timeout, worker_memory or default_worker_memory(workers))
            _run_local(slices, output, compress, workers, limits, report, done, tick, say)
    finally:
        bar.close()
        report.seconds = time.perf_counter() - began
    return report


def _run_local(slices: list[Slice], output: str | BinaryIO | None, compress: bool, workers: int, limits: Limits,
               report: JobReport, done: Callable[[Slice, SliceResult], None], tick: Callable[[Counts, int], None],
               say: Callable[[str], None]) -> None:
    """The local job, with its output file put in place at the end, kept when it is interrupted,
    and left as it was when the job fails or has read nothing at all."""
    if output is not None and not isinstance(output, str):
        run_locally(slices, output, workers, limits, done, tick)
        return
    target = Output(output, compress)
    try:
        run_locally(slices, target.stream, workers, limits, done, tick, target.flush, target.temporary is not None)
    except KeyboardInterrupt:
        kept = target.keep()
        if kept is not None:
            say(f"{output}: left as it was; the lines written so far are in {kept}")
        raise
    except BaseException:
        target.discard()
        raise
    if not report.complete and not report.counts.pages and target.existed:
        target.discard()  # nothing could be read: the old file is worth more than an empty one
    else:
        target.commit()
