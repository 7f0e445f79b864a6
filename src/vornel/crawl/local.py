"""The job on this machine: in this process for one job slot, else a pool of worker processes.

Either way the slices are merged in input order, so that the output is the same for any number of
workers. The pool keeps only a few slices in flight, so memory does not grow with the input.
"""

import multiprocessing
import multiprocessing.pool
import signal
from collections import deque
from collections.abc import Callable
from typing import BinaryIO

from vornel.crawl.counts import Counts
from vornel.crawl.inputs import STDIN
from vornel.crawl.slices import Chain, Slice, SliceResult, collect_slice, run_slice

# Slices in flight per worker: enough to keep the workers busy while the oldest is written.
IN_FLIGHT_PER_WORKER = 2


def _ignore_interrupt() -> None:
    # Ctrl-C reaches the whole process group; the parent ends the workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _context() -> multiprocessing.context.BaseContext:
    # Workers must not inherit the threads of the parent (the progress bar has one), so no fork.
    methods = multiprocessing.get_all_start_methods()
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _start_pool(jobs: int) -> multiprocessing.pool.Pool:
    # Ctrl-C reaches the whole process group. While the pool starts, this process ignores it, so
    # that the fork server and the workers start out ignoring it (an ignored signal stays ignored
    # across exec and fork) and none of them prints a traceback; this process ends them itself. A
    # Ctrl-C in the tenth of a second it takes is lost.
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return _context().Pool(jobs, initializer=_ignore_interrupt)
    finally:
        signal.signal(signal.SIGINT, previous)


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
    todo = iter(slices)
    with _start_pool(jobs) as pool:
        # Each slice with what waits for its result; None for standard input, which cannot be
        # handed to another process and is read here, streaming, when its turn comes.
        pending: deque[tuple[Slice, Callable[[], SliceResult] | None]] = deque()

        def submit() -> None:
            piece = next(todo, None)
            if piece is not None:
                start = 0 if piece.start == 0 else None
                wait = None if piece.path == STDIN else pool.apply_async(collect_slice, (piece, start)).get
                pending.append((piece, wait))

        for _ in range(IN_FLIGHT_PER_WORKER * jobs):
            submit()
        chain, path = Chain(), None
        try:
            while pending:
                piece, wait = pending.popleft()
                result = run_slice(piece, 0, out.write) if wait is None else wait()
                submit()
                if piece.path != path:
                    chain, path = Chain(), piece.path
                if not chain.accepts(piece, result):  # its search was fooled: read it from the right place
                    result = collect_slice(piece, chain.start_for(piece))
                chain.advance(result)
                out.write(result.lines)
                result.lines = b""
                done(piece, result)
        except BaseException:
            pool.terminate()
            raise
