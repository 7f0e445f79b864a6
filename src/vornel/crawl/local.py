"""The job on this machine: worker processes read the slices; this process watches them and writes
their lines in input order, the same for any number of workers, to one output or a part per slice.

Every page is summarised in a worker, also with one job, so that a page costs only itself: a
page that takes longer than the page timeout has its worker stopped, a worker that dies is
noticed, and either way that page becomes an error line and a new worker reads the slice again
from there, passing over the records already written. Workers send their lines in batches; the
lines of a slice whose turn has not come wait in a spool (in memory up to a bound, then in a
temporary file), so memory does not grow with what a slice produces. Only a few slices are in
flight at a time.

Standard input cannot be read twice, so this process reads it (in a thread) and hands its pages
to a worker one by one, keeping each until its line is back.
"""

import queue
import signal
import tempfile
import threading
from collections import deque
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field, replace
from multiprocessing import Pipe
from multiprocessing.connection import wait
from typing import IO, Any, Protocol

from vornel.crawl.counts import Counts
from vornel.crawl.formats import output_format
from vornel.crawl.inputs import is_stream
from vornel.crawl.limits import Limits, WorkerDiedError
from vornel.crawl.line import page_fields
from vornel.crawl.payload import PayloadError
from vornel.crawl.records import Page, PageReader
from vornel.crawl.slices import SliceOrder, Resume, Slice, SliceResult, counts_since, read_fault, snapshot
from vornel.crawl.workers import Worker, drain, now

# Slices in flight per worker: enough to keep the workers busy while the oldest is written.
IN_FLIGHT_PER_WORKER = 2
# Lines of waiting slices held in memory, all slices together; beyond, they go to temporary files.
SPOOL_MEMORY = 64 << 20
# Pages of standard input handed to a worker ahead of their lines.
PAGES_AHEAD = 4
# The longest wait between two looks at the pages in progress.
WATCH_SECONDS = 1.0
# Workers that may die in a row at one place between pages before the slice is given up there.
DEATHS_BEFORE_GIVING_UP = 3


class StdinFeed:
    """The pages of standard input, read in a thread of this process, with the ones handed to a
    worker and not yet answered."""

    def __init__(self, piece: Slice) -> None:
        self.pages: queue.Queue[tuple[int, Page | None, Counts, str | None]] = queue.Queue(maxsize=PAGES_AHEAD * 2)
        self.wake, self._wake = Pipe(duplex=False)
        self.waiting: deque[tuple[int, Page]] = deque()  # handed to the worker, not answered yet
        self.resend = False  # the waiting pages must go to a new worker
        self.fault: str | None = None
        self.damage: list[str] = []  # ranges of damaged bytes the reader skipped
        self.ended = False
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._read, args=(piece,), name="vornel standard input", daemon=True)
        self._thread.start()

    def _read(self, piece: Slice) -> None:
        counts, sent = Counts(), Counts()
        fault = None
        try:
            reader = PageReader(piece.path, counts=counts, strict=piece.strict)
            self.damage = reader.damage
            for number, page in enumerate(reader):
                if not self._put((number, page, counts_since(counts, sent), None)):
                    return
                sent = snapshot(counts)
        except Exception as error:
            fault = read_fault(piece.path, error)
        self._put((-1, None, counts_since(counts, sent), fault))

    def _put(self, item: tuple[int, Page | None, Counts, str | None]) -> bool:
        while not self._stopping.is_set():
            try:
                self.pages.put(item, timeout=0.5)
            except queue.Full:
                continue
            try:
                self._wake.send_bytes(b"")
            except OSError:
                return False
            return True
        return False

    def take(self) -> tuple[int, Page | None, Counts, str | None] | None:
        try:
            return self.pages.get_nowait()
        except queue.Empty:
            return None

    def woken(self) -> None:
        while self.wake.poll():
            self.wake.recv_bytes()

    def close(self) -> None:
        self._stopping.set()
        self.wake.close()
        self._wake.close()


@dataclass(eq=False)
class Run:
    """A slice on its way through the job: where it is read from, what is known of its progress,
    its lines waiting for their turn, and its result once it has ended."""

    piece: Slice
    start: int | None = None
    exact: bool = False  # whether `start` is known to be right, so that its lines can go out at once
    sent: bool = False  # whether a worker has had it: its records are then numbered from `start`
    resume: Resume = field(default_factory=Resume)
    counts: Counts = field(default_factory=Counts)
    done: int = 0  # records handled, by the batches received (pages answered, for standard input)
    position: int = 0  # input offset reached, for progress
    died_at: int | None = None  # `done` when a worker last died on it between pages
    deaths_there: int = 0  # how many workers died at `died_at` in a row
    worker: Worker | None = None
    spool: IO[bytes] | None = None
    result: SliceResult | None = None
    feed: StdinFeed | None = None


class Sink(Protocol):
    """Where the encoded lines of the slices go, in input order: one output, or a part per slice."""

    held: bool  # whether writes hold signals back (a file, rather than a pipe)

    def write(self, piece: Slice, data: bytes) -> None: ...

    def finish(self, piece: Slice, fault: str | None = None) -> None:
        """The slice's lines are all written; `fault` says why it stopped short, if it did."""
        ...


@contextmanager
def _signals_held(hold: bool) -> Iterator[None]:
    """Holds Ctrl-C and SIGTERM back while a file is written, so that an interruption never leaves
    half a line or a gzip stream whose trailer disagrees with its data. Not for a pipe, whose
    reader may stop reading: the job must stay stoppable then."""
    if not hold or not hasattr(signal, "pthread_sigmask") or threading.current_thread() is not threading.main_thread():
        yield
        return
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class LocalJob:
    """Runs the slices on `jobs` worker processes, writing their lines to `sink` in input order.

    `done` sees each slice's result once its lines are written; `tick` sees the counts and bytes
    of the slices in flight as their batches arrive.
    """

    def __init__(self, slices: list[Slice], sink: Sink, jobs: int, limits: Limits,
                 done: Callable[[Slice, SliceResult], None], tick: Callable[[Counts, int], None]) -> None:
        self.todo = deque(slices)
        self.sink = sink
        self.limits = limits
        self.done = done
        self.tick = tick
        self.pending: deque[Run] = deque()
        self.workers: list[Worker | None] = [None] * jobs
        self.window = IN_FLIGHT_PER_WORKER * jobs
        self.spool_memory = max(1 << 20, SPOOL_MEMORY // self.window)
        self.chain, self.chain_path = SliceOrder(), ""

    def run(self) -> None:
        finished = False
        try:
            while True:
                self._finish_heads()
                while len(self.pending) < self.window and self.todo:
                    self.pending.append(Run(self.todo.popleft()))
                if not self.pending:
                    break
                self._dispatch()
                self._wait()
            finished = True
        finally:
            for run in self.pending:
                if run.spool is not None:
                    run.spool.close()
                if run.feed is not None:
                    run.feed.close()
            for worker in self.workers:
                if worker is not None:
                    worker.stop() if finished else worker.kill()

    # Output, in input order.

    def _write(self, piece: Slice, lines: bytes) -> None:
        with _signals_held(self.sink.held):
            self.sink.write(piece, lines)

    def _put(self, run: Run, lines: bytes) -> None:
        if not lines:
            return
        if run.exact and run is self.pending[0]:
            self._unspool(run)  # what came before its turn goes first
            self._write(run.piece, lines)
            return
        if run.spool is None:
            run.spool = tempfile.SpooledTemporaryFile(max_size=self.spool_memory)
        run.spool.write(lines)

    def _unspool(self, run: Run) -> None:
        if run.spool is None:
            return
        run.spool.seek(0)
        while data := run.spool.read(1 << 20):
            self._write(run.piece, data)
        run.spool.close()
        run.spool = None

    def _chain_for(self, piece: Slice) -> SliceOrder:
        if piece.path != self.chain_path:
            self.chain, self.chain_path = SliceOrder(), piece.path
        return self.chain

    def _finish_heads(self) -> None:
        """Writes out the slices at the head whose turn has come, and ends those that are done."""
        while self.pending:
            run = self.pending[0]
            chain = self._chain_for(run.piece)
            if run.exact:
                self._unspool(run)
            if run.result is None:
                return
            if not run.exact and not chain.accepts(run.piece, run.result):
                # Its search was fooled: read it again from where the slice before it ended.
                if run.spool is not None:
                    run.spool.close()
                self.pending[0] = Run(run.piece, chain.start_for(run.piece), exact=True)
                return
            self._unspool(run)
            with _signals_held(self.sink.held):
                self.sink.finish(run.piece, run.result.fault)
            chain.advance(run.piece, run.result)
            self.pending.popleft()
            self.done(run.piece, run.result)

    # Handing out work.

    def _idle_worker(self) -> Worker | None:
        for slot, worker in enumerate(self.workers):
            if worker is not None and worker.spent and worker.task is None:
                self._retire(worker)
                worker = None
            if worker is None:
                worker = self.workers[slot] = Worker(self.limits)
            if worker.task is None:
                return worker
        return None

    def _dispatch(self) -> None:
        for run in self.pending:
            if run.result is not None or run.worker is not None:
                continue
            if is_stream(run.piece.path) and run is not self.pending[0]:
                continue  # standard input is read when its turn comes
            worker = self._idle_worker()
            if worker is None:
                return
            if is_stream(run.piece.path):
                self._start_feed(run, worker)
                continue
            if not run.exact and not run.sent:  # read again after a lost worker, it starts as it did
                if run.piece.start == 0:
                    run.start, run.exact = 0, True
                elif run is self.pending[0]:  # the slices before it are done: start where they ended
                    run.start, run.exact = self._chain_for(run.piece).start_for(run.piece), True
                else:
                    run.start = None  # searched; checked against the slice before it at its end
            worker.task, run.worker, run.sent = run, worker, True
            if not worker.send(("slice", run.piece, run.start, run.resume)):
                self._lost(worker, None)

    def _start_feed(self, run: Run, worker: Worker) -> None:
        if run.feed is None:
            run.exact = True
            run.feed = StdinFeed(run.piece)
        worker.task, run.worker = run, worker
        run.feed.resend = True
        self._feed(run)

    def _feed(self, run: Run) -> None:
        """Hands the worker the pages of standard input that have arrived, a few ahead."""
        feed, worker = run.feed, run.worker
        assert feed is not None
        if worker is None:
            return
        if feed.resend:
            feed.resend = False
            for number, waiting in feed.waiting:
                if not worker.send(("page", number, waiting, run.piece.format)):
                    self._lost(worker, None)
                    return
        while not feed.ended and len(feed.waiting) < PAGES_AHEAD and (item := feed.take()) is not None:
            number, page, counts, fault = item
            run.counts.add(counts)
            if page is None:
                feed.ended, feed.fault = True, fault
                break
            feed.waiting.append((number, page))
            if not worker.send(("page", number, page, run.piece.format)):
                self._lost(worker, None)
                return
        if feed.ended and not feed.waiting:
            self._end_run(run, SliceResult(run.counts, None, None, feed.fault, damage=list(feed.damage)))
            feed.close()

    # Watching the workers.

    def _wait(self) -> None:
        sources: dict[Any, Worker] = {}
        for worker in self.workers:
            if worker is not None:
                sources[worker.connection] = sources[worker.sentinel] = worker
        feeds = {run.feed.wake: run for run in self.pending if run.feed is not None and not run.feed.ended}
        for ready in wait([*sources, *feeds], self._watch_seconds()):
            if ready in feeds:
                feed = feeds[ready].feed
                # A page answered earlier in this round may have ended the feed and closed its pipe.
                if feed is not None and not feed.ended:
                    feed.woken()
                    self._feed(feeds[ready])
                continue
            worker = sources[ready]
            if worker not in self.workers:
                continue  # already ended by an earlier source
            if ready is worker.sentinel:
                self._lost(worker, None)
                continue
            try:
                message = worker.connection.recv()
            except (EOFError, OSError):
                self._lost(worker, None)
                continue
            self._message(worker, message)
        moment = now()
        for worker in list(self.workers):
            if worker is not None and worker.overdue(moment, self.limits.page_timeout):
                self._lost(worker, self.limits.timeout_error())

    def _watch_seconds(self) -> float:
        timeout = self.limits.page_timeout
        wait_for = min(WATCH_SECONDS, timeout / 4)
        for worker in self.workers:
            if worker is not None and worker.started():
                wait_for = min(wait_for, max(0.0, worker.started() + timeout - now()) + 0.01)
        return wait_for

    def _message(self, worker: Worker, message: tuple[Any, ...]) -> None:
        run: Run = worker.task
        if run is None:
            return
        kind = message[0]
        if kind == "failed":
            worker.failure = message[1]
            return
        if kind == "page":
            _, number, line, error_kind, worker.spent = message
            feed = run.feed
            assert feed is not None and feed.waiting and feed.waiting[0][0] == number
            feed.waiting.popleft()
            run.done += 1
            if error_kind is not None:
                run.counts.errors[error_kind] += 1
            self._put(run, line)
            if worker.spent:  # the pages it holds go to a new worker
                self._retire(worker)
                feed.resend = True
            else:
                self._feed(run)
        elif kind == "lines":
            _, lines, counts, run.done, run.position = message
            run.counts.add(counts)
            self._put(run, lines)
        else:
            _, lines, counts, run.done, first, following, fault, worker.spent, damage = message
            run.counts.add(counts)
            self._put(run, lines)
            self._end_run(run, SliceResult(run.counts, first, following, fault, damage=damage))
        self._progress()

    def _retire(self, worker: Worker) -> None:
        """Ends a worker that has served its turn; its task, if any, waits for another."""
        if worker.task is not None:
            worker.task.worker = None
        worker.kill()
        self.workers[self.workers.index(worker)] = None

    def _end_run(self, run: Run, result: SliceResult) -> None:
        run.result = result
        if run.worker is not None:
            run.worker.task = None
            run.worker = None

    def _progress(self) -> None:
        counts, into = Counts(), 0
        for run in self.pending:
            if run.result is None:
                counts.add(run.counts)
                into += min(max(run.position - run.piece.start, 0), run.piece.length)
        self.tick(counts, into)

    def _lost(self, worker: Worker, error: PayloadError | None) -> None:
        """A worker has died or must be stopped (`error` says why): its page becomes an error line
        and its slice is read again from there by another worker."""
        for message in drain(worker):
            self._message(worker, message)
        page = worker.page()
        run: Run | None = worker.task
        worker.kill() if error is not None else worker.ended()
        self.workers[self.workers.index(worker)] = None
        if run is None:
            return
        run.worker = None
        if error is None:
            error = WorkerDiedError(f"the worker process died while it summarised the page ({worker.death()})")
        if page is not None and run.feed is not None:
            self._lost_page(run, error)
            run.died_at = None
        elif page is not None and page[0] >= run.done and page[0] not in run.resume.condemned:
            run.resume = replace(run.resume, done=run.done, condemned={**run.resume.condemned, page[0]: error})
            run.died_at = None
        else:
            # Died between pages: read it again, each line sent at once, to learn where it dies.
            # A worker killed from outside (the kernel's OOM killer, a user) can die there once or
            # twice by chance; a record that kills every reader does so each time: give up there.
            run.deaths_there = run.deaths_there + 1 if run.died_at == run.done else 1
            run.died_at = run.done
            if run.deaths_there >= DEATHS_BEFORE_GIVING_UP:
                self._give_up(run, worker)
            else:
                run.resume = replace(run.resume, done=run.done, careful=True)

    def _give_up(self, run: Run, worker: Worker) -> None:
        """Ends a slice at a record that kills every worker that reads it: its input counts as not
        read to the end, as if it were damaged there."""
        where = f"after the record at byte offset {worker.offset()}" if run.done else \
            f"at byte offset {run.start or run.piece.start}"
        run.counts.bytes = run.piece.length
        self._end_run(run, SliceResult(
            run.counts, None, None,
            f"{run.piece.path}: a worker process died while reading it ({worker.death()}) {where}"))
        if run.feed is not None:
            run.feed.close()

    def _lost_page(self, run: Run, error: PayloadError) -> None:
        feed = run.feed
        assert feed is not None
        if not feed.waiting:
            return
        _, page = feed.waiting.popleft()
        run.done += 1
        line, kind = page_fields(replace(page, body=b"", error=error))
        if kind is not None:
            run.counts.errors[kind] += 1
        encoder = output_format(run.piece.format).encoder()
        encoder.add(line)
        self._put(run, encoder.take())


def run_locally(slices: list[Slice], sink: Sink, jobs: int, limits: Limits,
                done: Callable[[Slice, SliceResult], None], tick: Callable[[Counts, int], None]) -> None:
    """Reads the slices in `jobs` worker processes and writes their lines to `sink` in input order."""
    LocalJob(slices, sink, jobs, limits, done, tick).run()
