"""Gzip members of a WARC file: the decompressed stream with the byte offset of every member, and
the search for the first member of a slice.

A .warc.gz file is a series of gzip members, normally one per record. Reading the members here
(rather than in the WARC library) lets a reader start at any member, name the member where a
fault lies, and notice a member that is cut short, which a plain gzip stream skips in silence.
"""

import io
from collections import deque
from typing import BinaryIO, cast

from zlib_ng import zlib_ng as zlib  # the zlib API, about twice as fast at inflating

GZIP_MAGIC = b"\x1f\x8b\x08"
# What inflating damaged data raises (the module's stub calls it an instance).
InflateError = cast("type[Exception]", zlib.error)
CHUNK = 1 << 16


class GzipFault(Exception):
    """The compressed data is damaged; `offset` is the byte offset of the member concerned."""

    def __init__(self, what: str, offset: int) -> None:
        super().__init__(what)
        self.what = what
        self.offset = offset


class MemberReader:
    """A readable stream of the decompressed content of consecutive gzip members.

    `raw` must be positioned at the start of a member whose byte offset in the file is `offset`.
    At damaged data the stream ends, after handing out everything inflated before it, and
    `fault` tells what was wrong: the records before the fault can still be read.
    """

    def __init__(self, raw: BinaryIO, offset: int) -> None:
        self._raw = raw
        self._offset = offset  # file offset of self._input[0]
        self._input = b""
        self._inflate: zlib._Decompress | None = None
        self._member = offset  # file offset of the member being inflated
        self._position = 0  # decompressed bytes handed out so far
        # (decompressed position, file offset) of recent members, oldest first.
        self._starts: deque[tuple[int, int]] = deque()
        self.fault: GzipFault | None = None

    def readable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._position

    def seek(self, offset: int, whence: int = 0) -> int:
        raise io.UnsupportedOperation("a stream of gzip members is read in order")

    def close(self) -> None:
        pass

    @property
    def offset(self) -> int:
        """The file offset up to which the input has been inflated."""
        return self._offset

    def locate(self, position: int) -> tuple[int, bool]:
        """The file offset of the member holding decompressed byte `position`, and whether that
        byte is the member's first.

        Members before that one are forgotten: positions are asked for in increasing order.
        """
        while len(self._starts) > 1 and self._starts[1][0] <= position:
            self._starts.popleft()
        if not self._starts:
            return self._member, False
        return self._starts[0][1], self._starts[0][0] == position

    def _fill(self) -> bool:
        data = self._raw.read(CHUNK)
        self._input += data
        return bool(data)

    def _begin_member(self, produced: int) -> bool:
        if not self._input and not self._fill():
            return False  # a clean end: the last member was complete
        if len(self._input) < 3:
            self._fill()
        if not self._input.startswith(GZIP_MAGIC[: len(self._input)]) or len(self._input) < 3:
            raise GzipFault("data that is not gzip", self._offset)
        self._inflate = zlib.decompressobj(16 + zlib.MAX_WBITS)
        self._member = self._offset
        self._starts.append((self._position + produced, self._offset))
        return True

    def read(self, size: int = -1) -> bytes:
        size = size if size >= 0 else 1 << 62
        chunks: list[bytes] = []
        try:
            self._inflate_into(chunks, size)
        except GzipFault as fault:
            self.fault = fault
        data = b"".join(chunks)
        self._position += len(data)
        return data

    def _inflate_into(self, chunks: list[bytes], size: int) -> None:
        produced = 0
        while produced < size and self.fault is None:
            if self._inflate is None and not self._begin_member(produced):
                break
            assert self._inflate is not None
            if not self._input and not self._fill():
                raise GzipFault("a gzip member cut short", self._member)
            try:
                chunk = self._inflate.decompress(self._input, size - produced)
            except InflateError as error:
                raise GzipFault(f"damaged gzip data ({error})", self._member) from None
            left = self._inflate.unused_data if self._inflate.eof else self._inflate.unconsumed_tail
            self._offset += len(self._input) - len(left)
            self._input = left
            if self._inflate.eof:
                self._inflate = None
            chunks.append(chunk)
            produced += len(chunk)


def starts_warc_member(raw: BinaryIO, offset: int) -> bool:
    """Whether a gzip member starts at `offset` and its content starts like a WARC record."""
    raw.seek(offset)
    inflate = zlib.decompressobj(16 + zlib.MAX_WBITS)
    head = b""
    try:
        while len(head) < 6:
            data = raw.read(512)
            if not data:
                break
            head += inflate.decompress(data, 6 - len(head))
            if inflate.eof:
                break
    except InflateError:
        return False
    return head.startswith(b"WARC/") and head[5:6].isdigit()


def find_member(raw: BinaryIO, start: int, end: int) -> int | None:
    """The offset of the first member in [start, end) that holds the start of a WARC record."""
    position = start
    while position < end:
        raw.seek(position)
        window = raw.read(min(CHUNK, end - position) + len(GZIP_MAGIC) - 1)
        found = window.find(GZIP_MAGIC)
        while found >= 0 and position + found < end:
            if starts_warc_member(raw, position + found):
                return position + found
            found = window.find(GZIP_MAGIC, found + 1)
        if len(window) < len(GZIP_MAGIC):
            return None
        position += len(window) - len(GZIP_MAGIC) + 1
    return None
