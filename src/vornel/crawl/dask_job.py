"""The job on a Dask cluster: one task per slice, each writing its part file into the output folder
through fsspec; the client gathers only the counts, for the progress bar and the report.

Part files are numbered in input order, so that their concatenation is the local job's output.
"""

import os
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vornel.crawl.output import output_folder, part_name, write_part
from vornel.crawl.slices import Chain, Slice, SliceResult, collect_slice, unread_slice

if TYPE_CHECKING:
    from distributed import Client

# Tasks submitted ahead of the results, so that the client's memory stays bounded.
MAX_IN_FLIGHT = 1000

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


def summarise_part(piece: Slice, start: int | None, folder: str, compress: bool) -> SliceResult:
    """Run on a worker: summarise a slice into its part file and return the counts alone."""
    import fsspec  # type: ignore[import-untyped]

    filesystem, root = fsspec.core.url_to_fs(folder)
    result = collect_slice(piece, start)
    write_part(filesystem, f"{root}/{part_name(piece.index, compress)}", result.lines, compress)
    result.lines = b""
    return result


def _result(piece: Slice, future: Any) -> SliceResult:
    """The task's result; a task that failed (its part file could not be written, its workers kept
    dying) leaves its slice unread, and the job goes on."""
    try:
        return future.result()  # type: ignore[no-any-return]
    except Exception as error:
        return unread_slice(piece, f"the cluster could not summarise it ({type(error).__name__}: {error})")


def run_on_dask(slices: list[Slice], client: "Client", folder: str, compress: bool,
                done: Callable[[Slice, SliceResult], None]) -> list[SliceResult]:
    """Runs the job and returns the results in input order; `done` sees each first result as it
    arrives, for the progress bar."""
    from distributed import as_completed

    output_folder(folder)
    warn_of_malloc_settings(client)
    todo = iter(slices)
    pieces: dict[Any, Slice] = {}

    def submit() -> Any:
        piece = next(todo, None)
        if piece is None:
            return None
        start = 0 if piece.start == 0 else None
        future = client.submit(summarise_part, piece, start, folder, compress, pure=False)
        pieces[future] = piece
        return future

    first = [future for _ in range(MAX_IN_FLIGHT) if (future := submit()) is not None]
    results: dict[int, SliceResult] = {}
    running = as_completed(first, loop=client.loop)  # type: ignore[no-untyped-call]
    try:
        for future in running:
            piece = pieces.pop(future)
            results[piece.index] = _result(piece, future)
            if (following := submit()) is not None:
                running.add(following)  # type: ignore[no-untyped-call]
            done(piece, results[piece.index])
        # The searches of slices are checked in order once all are back; a slice that started at
        # the wrong place is read again, and its part file replaced.
        chain, path = Chain(), None
        for piece in slices:
            if piece.path != path:
                chain, path = Chain(), piece.path
            result = results[piece.index]
            if not chain.accepts(piece, result):
                again = client.submit(summarise_part, piece, chain.start_for(piece), folder, compress, pure=False)
                result = results[piece.index] = _result(piece, again)
            chain.advance(result)
    except BaseException:
        client.cancel(list(pieces))  # type: ignore[no-untyped-call]
        raise
    return [results[piece.index] for piece in slices]
