"""The job on this machine: in this process for one job slot, else a pool of worker processes.

Either way the slices are merged in input order, so that the output is the same for any number of
workers. The pool keeps only a few slices in flight, so memory does not grow with the input.

A worker that dies (killed for its memory, or crashed by a page) breaks the pool and every slice
in flight with it. The slice being waited for is then read again alone in a new pool: if it kills
that pool too, it is reported as not read and the job goes on; otherwise it was innocent, and
the slices after it are handed to the new pool as usual.
"""

import multiprocessing
import multiprocessing.forkserver
import signal
from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import BinaryIO

from vornel.crawl.counts import Counts
from vornel.crawl.inputs import is_stream
from vornel.crawl.slices import Chain, Slice, SliceResult, collect_slice, run_slice, unread_slice

# Slices in flight per worker: enough to keep the workers busy while the oldest is written.
IN_FLIGHT_PER_WORKER = 2


def _ignore_interrupt() -> None:
    # Ctrl-C reaches the whole process group; the parent ends the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _context() -> multiprocessing.context.BaseContext:
    # Workers must not inherit the threads of the parent (the progress bar has one), so no fork.
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    # The fork server starts its workers with the SIGINT handling it had itself when it started.
    # Started while this process ignores Ctrl-C, it and every worker ignore it from their first
    # instruction, and none prints a traceback; this process ends them itself.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        multiprocessing.forkserver.ensure_running()
    finally:
        signal.signal(signal.SIGINT, previous)
    return multiprocessing.get_context("forkserver")


def _start_pool(jobs: int) -> ProcessPoolExecutor:
    return ProcessPoolExecutor(jobs, mp_context=_context(), initializer=_ignore_interrupt)


def _end_pool(pool: ProcessPoolExecutor) -> None:
    """Ends the pool at once, work in progress included."""
    # Python 3.14 has pool.terminate_workers(); before it, the workers are only reachable through
    # the pool's own table of them, which shutting down empties.
    workers = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in workers:
        process.terminate()


def run_in_process(slices: list[Slice], out: BinaryIO, done: Callable[[Slice, SliceResult], None],
                   tick: Callable[[Counts, int], None]) -> None:
    """Reads the slices one after the other, writing each line as it is made."""
    chain, path = Chain(), None
    for piece in slices:
        if piece.path != path:
            chain, path = Chain(), piece.path
        offset = piece.start
        result = run_slice(piece, chain.start_for(piece), out.write,
                           lambda counts, position: tick(counts, position - offset))
        chain.advance(result)
        done(piece, result)


def run_in_pool(slices: list[Slice], out: BinaryIO, jobs: int, done: Callable[[Slice, SliceResult], None]) -> None:
    """Reads the slices in worker processes and writes their lines in input order."""
    todo: Iterator[Slice] = iter(slices)
    # Each slice with what waits for its result; None for standard input, which cannot be handed
    # to another process and is read here, streaming, when its turn comes.
    pending: deque[tuple[Slice, Future[SliceResult] | None]] = deque()
    pool = _start_pool(jobs)

    def submit(piece: Slice) -> None:
        start = 0 if piece.start == 0 else None
        pending.append((piece, None if is_stream(piece.path) else pool.submit(collect_slice, piece, start)))

    def fill() -> None:
        while len(pending) < IN_FLIGHT_PER_WORKER * jobs and (piece := next(todo, None)) is not None:
            submit(piece)

    def alone(piece: Slice, start: int | None) -> SliceResult:
        """The slice read in a pool of its own, after a worker died."""
        nonlocal pool
        _end_pool(pool)
        pool = _start_pool(1)
        try:
            return pool.submit(collect_slice, piece, start).result()
        except BrokenProcessPool:
            return unread_slice(piece, "a worker process died while reading it")
        finally:
            _end_pool(pool)
            pool = _start_pool(jobs)

    chain, path = Chain(), None
    try:
        fill()
        while pending:
            piece, future = pending.popleft()
            if piece.path != path:
                chain, path = Chain(), piece.path
            try:
                result = run_slice(piece, 0, out.write) if future is None else future.result()
            except BrokenProcessPool:
                waiting = [waiting_piece for waiting_piece, _ in pending]
                pending.clear()
                result = alone(piece, chain.start_for(piece))
                todo = iter([*waiting, *todo])
            else:
                if not chain.accepts(piece, result):  # its search was fooled: read it from the right place
                    result = collect_slice(piece, chain.start_for(piece))
            fill()
            chain.advance(result)
            out.write(result.lines)
            result.lines = b""
            done(piece, result)
    except BaseException:
        _end_pool(pool)
        raise
    pool.shutdown()
