"""The unit of work: a slice of one input, summarised into page lines.

A gzip-compressed input larger than one slice is cut into byte ranges of a fixed size; a slice
owns the records whose gzip member starts in its range. Its reader finds its first member by
looking for one that inflates to a WARC record header. The size does not depend on the number of
workers, so every run of a job cuts the same slices and writes the same lines.

Such a search could be fooled by a stored (uncompressed) deflate block that holds the bytes of
a gzipped WARC record, as in an archived .warc.gz. So each slice also reports where it started
and where the record after its range starts; `SliceOrder` compares each slice with the one before it
and has a slice read again from the right place when they disagree. A slice that skips damaged
bytes reads on to its end, so the check goes on after damage too. Other inputs (uncompressed,
standard input, pipes) are one slice.
"""

import copy
from collections.abc import Callable
from dataclasses import dataclass, field, fields, replace
from typing import Any

from vornel.crawl.counts import Counts
from vornel.crawl.filters import NO_FILTERS, Filters
from vornel.crawl.formats import DEFAULT_FORMAT, output_format
from vornel.crawl.inputs import input_size, is_stream, open_input, peek
from vornel.crawl.limits import Limits
from vornel.crawl.line import page_fields
from vornel.crawl.members import GZIP_MAGIC
from vornel.crawl.payload import PageTooLargeError, PayloadError
from vornel.crawl.records import Page, PageReader, WarcError

SLICE_SIZE = 4 << 20
# Smaller slices only multiply the work of setting each one up.
MIN_SLICE_SIZE = 1 << 10


@dataclass(frozen=True, slots=True)
class Slice:
    path: str
    start: int
    end: int | None  # None: to the end of the input
    length: int  # bytes of input it covers (0 for standard input)
    index: int = 0  # place in the job, and the number of its part file
    strict: bool = False  # stop at the first damage instead of skipping it
    filters: Filters = NO_FILTERS  # which responses become pages
    format: str = DEFAULT_FORMAT  # the output format its lines are encoded in


@dataclass(slots=True)
class SliceResult:
    counts: Counts
    first: int | None  # where reading started, None when no record starts in the range
    next: int | None  # where the record after the range starts (the file size at its end)
    fault: str | None = None  # why the input could not be read further
    lines: bytes = b""  # the encoded lines, when collected
    damage: list[str] = field(default_factory=list)  # ranges of damaged bytes skipped, one message each


def plan_slices(path: str, slice_size: int = SLICE_SIZE, strict: bool = False) -> list[Slice]:
    """The slices of one input; raises OSError when it cannot be opened.

    With `strict`, an input is one slice: reading stops at its first fault, as one reader does.
    """
    if is_stream(path):
        return [Slice(path, 0, None, 0, strict=strict)]
    with open_input(path) as stream:
        compressed = peek(stream, len(GZIP_MAGIC)) == GZIP_MAGIC
    size = input_size(path) or 0
    if not compressed or size <= slice_size or strict:
        return [Slice(path, 0, None, size, strict=strict)]
    return [Slice(path, start, min(start + slice_size, size), min(slice_size, size - start))
            for start in range(0, size, slice_size)]


# A page's line as a dict, and the kind of error it reports.
Line = tuple[dict[str, Any], str | None]


@dataclass(slots=True)
class Resume:
    """How a slice is read again after the worker reading it died or was stopped: its first `done`
    records were handled already (their lines written) and are read again without being
    summarised; each record in `condemned`, by its number in the slice, becomes an error line.
    `careful` asks for each line to be sent as soon as it is made, so that a worker that dies
    again between pages is known to have died on the record after the last line."""

    done: int = 0
    condemned: dict[int, PayloadError] = field(default_factory=dict)
    careful: bool = False


def summarize_page(page: Page, limits: Limits | None = None) -> Line:
    """`page_fields`, with a page that exhausts the worker's memory bound made an error line."""
    try:
        return page_fields(page)
    except MemoryError:
        message = (limits or Limits()).memory_message()
    return page_fields(replace(page, body=b"", error=PageTooLargeError(message)))


def _clear(counts: Counts) -> None:
    """Empties `counts` in place: the reader goes on counting into the same object."""
    for name in (item.name for item in fields(counts)):
        setattr(counts, name, type(getattr(counts, name))())


def counts_since(now: Counts, before: Counts) -> Counts:
    """What was counted between a copy `before` and `now` of the same growing counts."""
    return Counts(**{item.name: getattr(now, item.name) - getattr(before, item.name) for item in fields(now)})


def snapshot(counts: Counts) -> Counts:
    return copy.deepcopy(counts)


def read_fault(path: str, error: Exception) -> str:
    """What stops the reading of an input, in words, with the byte offset when there is one."""
    if isinstance(error, WarcError):
        return str(error)
    if isinstance(error, OSError):
        return f"{path}: {error.strerror or error}"
    return f"{path}: {type(error).__name__}: {error}"  # a file system's own error, such as an HTTP status


def run_slice(piece: Slice, start: int | None, emit: Callable[[dict[str, Any]], object],
              tick: Callable[[Counts, int], None] | None = None, *, resume: Resume | None = None,
              at_page: Callable[[int, int], None] | None = None,
              summarize: Callable[[Page], Line] = summarize_page) -> SliceResult:
    """Summarises the pages of a slice, handing each line (a dict) to `emit`.

    `start` is where its first record starts, when known; None searches the range for it.
    `tick`, if given, is called after each page with the counts so far and the input offset;
    `at_page` before each page is summarised, with the record's number in the slice (counting
    every record from 0) and its offset. With `resume`, the counts are those of the records after
    the ones already done. `summarize` makes a page's line and says what kind of error it holds.
    """
    resume = resume or Resume()
    counts = Counts()
    reader = PageReader(piece.path, piece.start if start is None else start, piece.end,
                        search=start is None, counts=counts, strict=piece.strict, filters=piece.filters)
    passed = 0  # records read again without a line, no longer in `counts`
    fault = None
    pages = iter(reader)
    while True:
        try:  # only reading the input is guarded: a failing output ends the job
            page = next(pages)
        except StopIteration:
            break
        except MemoryError:  # the reader's own state is lost: the worker ends and the slice is read again
            raise
        except Exception as error:
            fault = read_fault(piece.path, error)
            break
        number = passed + counts.records - 1
        if number < resume.done:
            if number == resume.done - 1:
                passed = resume.done
                _clear(counts)
            continue
        if at_page is not None:
            at_page(number, page.offset)
        condemned = resume.condemned.get(number)
        if condemned is not None:
            line, error_kind = page_fields(replace(page, body=b"", error=condemned))
        else:
            line, error_kind = summarize(page)
        emit(line)
        if error_kind is not None:
            counts.errors[error_kind] += 1
        if tick is not None:
            tick(counts, reader.position)
    counts.bytes = piece.length
    return SliceResult(counts, reader.first, reader.next, fault, damage=reader.damage)


def unread_slice(piece: Slice, why: str) -> SliceResult:
    """The result of a slice that could not be read at all, `why` saying what happened."""
    where = f" at byte offset {piece.start}" if piece.start else ""
    return SliceResult(Counts(bytes=piece.length), None, None, f"{piece.path}: {why}{where}")


def collect_slice(piece: Slice, start: int | None) -> SliceResult:
    """`run_slice` with the lines gathered into the result, encoded in the slice's format."""
    encoder = output_format(piece.format).encoder()
    result = run_slice(piece, start, encoder.add)
    result.lines = encoder.take()
    return result


class SliceOrder:
    """Follows the slices of one input in order and checks that each starts where the one before
    it left off. A slice whose predecessor was not read in this run (a resumed job) is on its own."""

    def __init__(self) -> None:
        self.expected: int | None = None  # where the next record starts; None when unknown
        self.after: int | None = None  # the index of the slice that `expected` follows

    def _known(self, piece: Slice) -> int | None:
        return self.expected if self.after == piece.index - 1 else None

    def start_for(self, piece: Slice) -> int | None:
        """Where a slice read after the ones before it starts: exactly there, or None to search."""
        if piece.start == 0:
            return 0
        return self._known(piece)

    def accepts(self, piece: Slice, result: SliceResult) -> bool:
        """Whether a slice read on its own (with a search) agrees with the slices before it."""
        expected = self._known(piece)
        if piece.start == 0 or expected is None:
            return True
        end = piece.end if piece.end is not None else 1 << 62
        return result.first == (expected if expected < end else None)

    def advance(self, piece: Slice, result: SliceResult) -> None:
        if self.after != piece.index - 1:
            self.expected = None
        self.after = piece.index
        if result.fault is not None:
            self.expected = None
        elif result.first is not None:
            self.expected = result.next
