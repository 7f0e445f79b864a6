"""A worker process of a local job: it reads slices and summarises their pages (or summarises the
pages of standard input, which the job reads itself), and streams the lines back in batches,
encoded in the job's output format.

The job watches it without a message per page: the record the worker is on, and since when, sit
in a small array shared with the job, so the job can stop a page that takes too long and name
the record that a worker died on. The worker dies with the job (on Linux even when the job is
killed outright), ignores Ctrl-C and SIGTERM (the job ends its workers itself) and has its
address space bounded, so that a page that needs too much memory raises MemoryError here.

Messages, job to worker: ("slice", piece, start, resume), ("page", number, page, format), or None to end.
Worker to job: ("lines", lines, counts, done, position) while a slice is read, ("end", lines,
counts, done, first, next, fault, spent, damage) at its end, ("page", number, line, kind, spent) for a
page, and ("failed", why) before it ends itself because its reader failed. `counts` is what was
counted since the message before; `done` is how many records of the slice are handled; `spent`
says that a page has exhausted the worker's memory, after which the worker is replaced (its peak
stays at the bound, so it could not tell the next such page).
"""

import os
import signal
import sys
import time
from collections.abc import MutableSequence
from multiprocessing.connection import Connection

from dataclasses import replace
from typing import Any

from vornel.crawl.counts import SUMMARY_RAISED, Counts
from vornel.crawl.formats import Encoder, output_format
from vornel.crawl.limits import Limits
from vornel.crawl.line import page_fields
from vornel.crawl.payload import PageTooLargeError
from vornel.crawl.records import Page
from vornel.crawl.slices import Line, Resume, Slice, counts_since, run_slice, snapshot, summarize_page

# A batch goes out when it holds about this many bytes of lines, or when its first line is this old.
BATCH_BYTES = 256 << 10
BATCH_SECONDS = 0.1
# The shared array: the record's number in its slice or page stream, its offset, and the
# monotonic time at which its summary began (0 between pages).
NUMBER, OFFSET, STARTED = 0, 1, 2
STATE_SIZE = 3
# The exit status of a worker whose memory ran out while it read (not while it summarised), and
# of one whose reader failed otherwise (after a ("failed", why) message).
OUT_OF_MEMORY = 3
READ_FAILED = 4

PR_SET_PDEATHSIG = 1


def _die_with(parent: int) -> None:
    """Asks the kernel to kill this process when the job's thread that started it ends."""
    if sys.platform.startswith("linux"):
        import ctypes

        try:
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        except (OSError, AttributeError):
            pass
    if os.getppid() != parent:  # the job ended before the request took effect
        os._exit(1)


def _address_space(field: str = "VmSize") -> int | None:
    """This process's address space now (VmSize) or at its largest (VmPeak), in bytes."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) << 10
    except OSError:
        pass
    return None


def _bound_memory(extra: int) -> int | None:
    """Lets this process map `extra` bytes beyond what it holds now, and no more; returns the
    limit, or None where it cannot be set."""
    try:
        import resource
    except ImportError:  # not a POSIX system
        return None
    used = _address_space()
    if used is None:
        return None
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = used + extra if hard == resource.RLIM_INFINITY else min(used + extra, hard)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    return limit


class _Summaries:
    """Page lines within the worker's memory bound. A page that exhausts it raises MemoryError,
    or makes the parser fail in its own words: such a failure, with the address space at the
    bound, is taken for what it is."""

    def __init__(self, limits: Limits, limit: int | None) -> None:
        self.limits = limits
        self.near_limit = None if limit is None else limit - limits.worker_memory // 20
        self.spent = False

    def __call__(self, page: Page) -> Line:
        line, kind = summarize_page(page, self.limits)
        if page.error is not None:
            return line, kind
        if kind == PageTooLargeError.kind:  # a MemoryError
            self.spent = True
        elif kind == SUMMARY_RAISED and self.near_limit is not None and \
                (_address_space("VmPeak") or 0) >= self.near_limit:
            self.spent = True
            too_large = PageTooLargeError(self.limits.memory_message())
            line, kind = page_fields(replace(page, body=b"", error=too_large))
        return line, kind


class _Batches:
    """The lines of one slice, sent to the job in batches with the counts since the batch before."""

    def __init__(self, connection: Connection, state: MutableSequence[float], resume: Resume,
                 encoder: Encoder) -> None:
        self.connection = connection
        self.state = state
        self.done_before = resume.done
        self.batch_bytes = 0 if resume.careful else BATCH_BYTES
        self.encoder = encoder
        self.sent = Counts()
        self.since = time.monotonic()

    def at_page(self, number: int, offset: int) -> None:
        self.state[NUMBER] = number
        self.state[OFFSET] = offset
        self.state[STARTED] = time.monotonic()

    def emit(self, line: dict[str, Any]) -> None:
        if not self.encoder.rows:
            self.since = time.monotonic()
        self.encoder.add(line)

    def tick(self, counts: Counts, position: int) -> None:
        self.state[STARTED] = 0.0
        if self.encoder.size >= self.batch_bytes or time.monotonic() - self.since >= BATCH_SECONDS:
            self.connection.send(("lines", self.take(), self.counted(counts), self.done_before + counts.records,
                                  position))

    def take(self) -> bytes:
        return self.encoder.take()

    def counted(self, counts: Counts) -> Counts:
        since = counts_since(counts, self.sent)
        self.sent = snapshot(counts)
        return since


def _read_slice(connection: Connection, state: MutableSequence[float], summaries: _Summaries, piece: Slice,
                start: int | None, resume: Resume) -> None:
    batches = _Batches(connection, state, resume, output_format(piece.format).encoder())
    try:
        result = run_slice(piece, start, batches.emit, batches.tick, resume=resume, at_page=batches.at_page,
                           summarize=summaries)
    except MemoryError:
        os._exit(OUT_OF_MEMORY)
    except (OSError, EOFError):
        raise  # the job has gone
    except BaseException as error:  # a reader's panic (FastWARC's derive from BaseException), or a fault of ours
        connection.send(("failed", f"{type(error).__name__}: {error}"))
        os._exit(READ_FAILED)
    connection.send(("end", batches.take(), batches.counted(result.counts), batches.done_before + result.counts.records,
                     result.first, result.next, result.fault, summaries.spent, result.damage))


def _summarize(connection: Connection, state: MutableSequence[float], summaries: _Summaries, number: int,
               page: Page, format: str) -> None:
    state[NUMBER] = number
    state[OFFSET] = page.offset
    state[STARTED] = time.monotonic()
    line, kind = summaries(page)
    state[STARTED] = 0.0
    encoder = output_format(format).encoder()
    encoder.add(line)
    connection.send(("page", number, encoder.take(), kind, summaries.spent))


def serve(connection: Connection, state: MutableSequence[float], parent: int, limits: Limits) -> None:
    """The worker's life: tasks from `connection` until the job says it is done or goes away."""
    _die_with(parent)
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, signal.SIG_IGN)
    # Standard output belongs to the job: a worker must never hold a pipe open for a reader.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    summaries = _Summaries(limits, _bound_memory(limits.worker_memory))
    while True:
        try:
            task = connection.recv()
        except (EOFError, OSError):
            return
        if task is None:
            return
        try:
            if task[0] == "slice":
                _read_slice(connection, state, summaries, *task[1:])
            else:
                _summarize(connection, state, summaries, *task[1:])
        except (OSError, EOFError):  # the job has gone
            return
