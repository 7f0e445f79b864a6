"""A whole job: WARC inputs in, JSON lines out, on this machine or on a Dask cluster."""

import os
import sys
import time
from collections.abc import Callable, Sequence
from contextlib import ExitStack
from typing import TYPE_CHECKING, BinaryIO

from vornel.crawl.counts import Counts
from vornel.crawl.inputs import STDIN, is_url
from vornel.crawl.local import run_in_pool, run_in_process
from vornel.crawl.output import open_output
from vornel.crawl.progress import JobReport, Progress
from vornel.crawl.slices import SLICE_SIZE, Slice, SliceResult, plan_slices

if TYPE_CHECKING:
    from distributed import Client


def usable_cores() -> int:
    count = getattr(os, "process_cpu_count", os.cpu_count)()  # the former honours CPU affinity
    return max(1, count or 1)


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
                    strict: bool = False) -> JobReport:
    """Summarise every HTML page of the WARC files `inputs` into JSON lines; returns the report.

    Locally (no `client`), the lines go to `output`: a path (gzip-compressed when it ends in .gz
    or with `compress`), a binary stream, or None for standard output; they come in input order,
    the same for every number of `jobs` (default: the usable cores). With a `distributed.Client`,
    `output` is a folder (a path or an fsspec URL) that receives one part file per slice,
    `part-00000.jsonl` and so on (`.jsonl.gz` with `compress`); the inputs must then be readable
    by the workers. Messages about inputs that cannot be read go to `say` (default: standard
    error) as they arrive; `progress` shows a bar on standard error. Damaged bytes in an input are
    skipped, each range named in a message, and reading goes on; with `strict`, reading an input
    stops at its first damage.
    """
    began = time.perf_counter()
    report = JobReport()
    say = say or (lambda text: print(text, file=sys.stderr, flush=True))
    if client is not None:
        if not isinstance(output, str):
            raise ValueError("a Dask job needs an output folder")
        if STDIN in inputs:
            raise ValueError("a Dask job cannot read standard input")
        inputs = [path if is_url(path) else os.path.abspath(path) for path in inputs]
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
            with ExitStack() as stack:
                out = output if output is not None and not isinstance(output, str) else \
                    stack.enter_context(open_output(output, compress))
                workers = min(jobs or usable_cores(), len(slices))
                if workers <= 1:
                    run_in_process(slices, out, done, tick)
                else:
                    run_in_pool(slices, out, workers, done)
    finally:
        bar.close()
        report.seconds = time.perf_counter() - began
    return report
