"""The job on a Dask cluster: one task per slice, each writing its part file into the output folder
through fsspec; the client gathers only the counts, for the progress bar and the report.

Part files are numbered in input order, so that their concatenation is the local job's output
(see `parts`). A part is written under a temporary name and renamed when it is complete, so that
a task cut short leaves no half part behind. When the client loses the scheduler, Dask cancels every task;
the job waits a while for the connection to come back (and then submits the lost slices again)
and otherwise ends with `ClusterLostError`, the parts written so far kept.
"""

import os
import queue
import time
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vornel.crawl.formats import output_format
from vornel.crawl.parts import PartFile, PartFolder, commit_part, part_name
from vornel.crawl.slices import SliceOrder, Slice, SliceResult, run_slice, unread_slice

if TYPE_CHECKING:
    from distributed import Client

# Encoded lines a task gathers before it writes them to its part.
PART_BATCH_BYTES = 1 << 20
# Tasks submitted ahead of the results, so that the client's memory stays bounded.
MAX_IN_FLIGHT = 1000
# How long the client may be without its scheduler, or the scheduler without workers, before the
# job ends; and how often that is looked at.
LOST_SECONDS = 45.0
WATCH_SECONDS = 1.0
# Times a slice is submitted again after the connection came back.
RESUBMISSIONS = 3


class ClusterLostError(Exception):
    """The job lost its Dask cluster (the scheduler, or every worker) for too long."""

# glibc's malloc variables: any of them fixes the threshold above which malloc maps memory of its
# own at 128 KiB, so that every larger page buffer is mapped and unmapped again. Dask's nanny
# starts its workers with the first.
MALLOC_VARIABLES = ("MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_", "MALLOC_MMAP_THRESHOLD_", "MALLOC_MMAP_MAX_")


def malloc_settings() -> dict[str, str]:
    """Run on a worker: the glibc malloc variables of its environment."""
    return {name: os.environ[name] for name in MALLOC_VARIABLES if name in os.environ}


def warn_of_malloc_settings(client: "Client") -> None:
    """Warns once when the cluster's workers run with glibc malloc variables, which cost them a third
    more CPU time per page here; the README tells how to start them without."""
    try:
        found = client.run(malloc_settings)
    except Exception:  # a cluster that cannot tell keeps its settings to itself
        return
    settings = sorted({f"{name}={value}" for values in found.values() for name, value in values.items()})
    if settings:
        warnings.warn(
            f"vornel: the Dask workers run with {', '.join(settings)} (Dask's nanny sets MALLOC_TRIM_THRESHOLD_), "
            "which makes page parsing map and unmap its memory again and again; start them without it, for "
            "example with distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_ set to null in the Dask "
            "configuration (see vornel's README)", RuntimeWarning, stacklevel=4)


def open_part(folder: PartFolder, name: str, compress: bool) -> PartFile:
    """A part file of the folder, opened for writing under its temporary name."""
    return folder.create(name, compress)


def summarize_part(piece: Slice, start: int | None, folder: str, compress: bool) -> SliceResult:
    """Run on a worker: summarise a slice into its part file and return the counts alone."""
    format = output_format(piece.format)
    parts = PartFolder(folder)
    part = open_part(parts, part_name(piece.index, format, compress), compress)
    try:
        encoder, writer = format.encoder(), format.writer(part.stream)

        def emit(line: dict[str, Any]) -> None:
            encoder.add(line)
            if encoder.size >= PART_BATCH_BYTES:
                writer.write(encoder.take())

        try:
            result = run_slice(piece, start, emit)
            writer.write(encoder.take())
            writer.close()
        except BaseException:
            writer.abandon()
            raise
        commit_part(parts, part, piece.index, result.fault)
    except BaseException:
        part.discard()
        raise
    return result


def _result(piece: Slice, future: Any) -> SliceResult:
    """The task's result; a task that failed (its part file could not be written, its workers kept
    dying) leaves its slice unread, and the job goes on."""
    try:
        return future.result()  # type: ignore[no-any-return]
    except Exception as error:
        return unread_slice(piece, f"the cluster could not summarise it ({type(error).__name__}: {error})")


class _Watch:
    """Tells when the client has been without its scheduler, or the scheduler without workers,
    for too long."""

    def __init__(self, client: "Client") -> None:
        self.client = client
        self.since: float | None = None
        self.looked = 0.0

    def connected(self) -> bool:
        return self.client.status == "running"

    def check(self) -> None:
        moment = time.monotonic()
        if moment - self.looked < WATCH_SECONDS:
            return
        self.looked = moment
        why = None
        if self.client.status in ("closing", "closed"):
            raise ClusterLostError("lost contact with the Dask scheduler")
        if not self.connected():
            why = "lost contact with the Dask scheduler"
        else:
            try:
                info = self.client.scheduler_info()
                if not info.get("workers"):
                    why = "the Dask scheduler has no workers"
            except Exception:
                why = "lost contact with the Dask scheduler"
        if why is None:
            self.since = None
        elif self.since is None:
            self.since = moment
        elif moment - self.since > LOST_SECONDS:
            raise ClusterLostError(f"{why} for {LOST_SECONDS:g} s")


class _Tasks:
    """The slices submitted to the cluster, each with where it starts and how often it was sent."""

    def __init__(self, client: "Client", folder: str, compress: bool) -> None:
        self.client = client
        self.folder = folder
        self.compress = compress
        self.watch = _Watch(client)
        self.pieces: dict[Any, tuple[Slice, int | None, int]] = {}  # future: slice, start, submissions
        self.done: queue.Queue[Any] = queue.Queue()  # filled by the client's thread

    def submit(self, piece: Slice, start: int | None, times: int = 1) -> Any:
        future = self.client.submit(summarize_part, piece, start, self.folder, self.compress, pure=False)
        self.pieces[future] = (piece, start, times)
        future.add_done_callback(self.done.put)  # type: ignore[no-untyped-call]
        return future

    def finished(self) -> list[Any]:
        """The futures done within a moment, the cluster watched meanwhile."""
        done = []
        try:
            done.append(self.done.get(timeout=WATCH_SECONDS))
            while True:
                done.append(self.done.get_nowait())
        except queue.Empty:
            pass
        self.watch.check()
        return [future for future in done if future in self.pieces]

    def result(self, future: Any) -> tuple[Slice, SliceResult | None]:
        """The slice of a finished future and its result; None when it was submitted again because
        the cluster lost it."""
        piece, start, times = self.pieces.pop(future)
        if future.status not in ("cancelled", "lost"):
            return piece, _result(piece, future)
        # The client lost its scheduler, and with it every task: wait for it to come back.
        while not self.watch.connected():
            self.watch.check()
            time.sleep(0.1)
        if times >= RESUBMISSIONS:
            return piece, unread_slice(piece, "the cluster lost it again and again")
        self.submit(piece, start, times + 1)
        return piece, None

    def run_one(self, piece: Slice, start: int | None) -> SliceResult:
        self.submit(piece, start)
        while True:
            for finished in self.finished():
                done_piece, result = self.result(finished)
                if result is not None and done_piece is piece:
                    return result


def run_on_dask(slices: list[Slice], client: "Client", folder: str, compress: bool,
                done: Callable[[Slice, SliceResult], None]) -> list[SliceResult]:
    """Runs the job and returns the results in input order; `done` sees each first result as it
    arrives, for the progress bar. Raises ClusterLostError when the cluster is gone for good. The
    folder is made ready by the caller (`parts.prepare`)."""
    warn_of_malloc_settings(client)
    todo = iter(slices)
    tasks = _Tasks(client, folder, compress)
    results: dict[int, SliceResult] = {}
    try:
        while True:
            while len(tasks.pieces) < MAX_IN_FLIGHT and (piece := next(todo, None)) is not None:
                tasks.submit(piece, 0 if piece.start == 0 else None)
            if not tasks.pieces:
                break
            for future in tasks.finished():
                piece, result = tasks.result(future)
                if result is not None:
                    results[piece.index] = result
                    done(piece, result)
        # The searches of slices are checked in order once all are back; a slice that started at
        # the wrong place is read again, and its part file replaced.
        chain, path = SliceOrder(), None
        for piece in slices:
            if piece.path != path:
                chain, path = SliceOrder(), piece.path
            result = results[piece.index]
            if not chain.accepts(piece, result):
                result = results[piece.index] = tasks.run_one(piece, chain.start_for(piece))
            chain.advance(piece, result)
    except BaseException:
        try:
            client.cancel(list(tasks.pieces))  # type: ignore[no-untyped-call]
        except Exception:  # a client that has closed has nothing left to cancel
            pass
        raise
    return [results[piece.index] for piece in slices]
