"""Gzip members of a WARC file: the decompressed stream with the byte offset of every member, and
the search for the first member of a slice.

A .warc.gz file is a series of gzip members, normally one per record. Reading the members here
(rather than in the WARC library) lets a reader start at any member, name the member where a
fault lies, and notice a member that is cut short, which a plain gzip stream skips in silence.
"""

import io
from collections import deque
from collections.abc import Callable
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
        self._ends: deque[tuple[int, int]] = deque()  # the same for where members ended whole
        self.fault: GzipFault | None = None
        self.ended = False  # the input ended after a complete member

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
        byte is the member's first."""
        offset, first = self._member, False
        for start, member in self._starts:
            if start > position:
                break
            offset, first = member, start == position
        return offset, first

    def boundary(self, position: int) -> int | None:
        """The file offset where a member starts at decompressed byte `position`, or where the input
        ends when `position` is the end of its last, complete member; else None."""
        for start, member in (*self._starts, *self._ends):
            if start == position:
                return member
        if self.ended and position == self._position and self._inflate is None:
            return self._offset
        return None

    def member_starts(self, begin: int, end: int) -> list[int]:
        """The decompressed positions in [begin, end) where a member starts."""
        return [start for start, _ in self._starts if begin <= start < end]

    def forget(self, position: int) -> None:
        """Drops what is known about the members before the one holding `position`."""
        while len(self._starts) > 1 and self._starts[1][0] <= position:
            self._starts.popleft()
        while self._ends and self._ends[0][0] < position:
            self._ends.popleft()

    def resume(self, signature: Callable[[bytes], bool], size: int | None = None) -> int | None:
        """After a fault: goes on at the next member after the damaged one whose content starts like
        a record; returns its file offset, or None when there is none (the stream then stays ended).

        A seekable input is searched from the byte after the damaged member's start, so that a
        member cut short loses nothing after it; a pipe from where inflating stopped. When the
        damaged member's decompressed `size` is known (it held one whole record), a member right
        after that member's own trailer is taken first: a member found inside the damaged one
        (an archived .warc.gz stored in its payload) would have the payload's bytes before it.
        """
        assert self.fault is not None
        found: int | None = None
        if self._raw.seekable():
            start = self.fault.offset + 1
            if size is not None:
                self._raw.seek(start)
                window = start + size + size // 64 + 1024  # the most a member of that size takes
                trailer = (size & 0xFFFFFFFF).to_bytes(4, "little")
                found, data, base = scan_members(self._raw.read, b"", start, window, signature, HEAD_SIZE, trailer)
            if found is None:
                self._raw.seek(start)
                found, data, base = scan_members(self._raw.read, b"", start, None, signature, HEAD_SIZE)
        else:
            found, data, base = scan_members(self._raw.read, self._input, self._offset, None, signature, HEAD_SIZE)
        self._inflate = None
        self.fault = None
        if found is None:
            self._input, self._offset = b"", base + len(data)
            return None
        self._input = data[found - base:]
        self._offset = self._member = found
        return found

    def _fill(self) -> bool:
        data = self._raw.read(CHUNK)
        self._input += data
        return bool(data)

    def _begin_member(self, produced: int) -> bool:
        if not self._input and not self._fill():
            self.ended = True
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
            # To take out, after damage, all that lies before it (the stub of zlib-ng lacks copy).
            before = self._inflate.copy()  # type: ignore[attr-defined]
            try:
                chunk = self._inflate.decompress(self._input, size - produced)
            except InflateError as error:
                chunks.append(_up_to_damage(before, self._input))
                raise GzipFault(f"damaged gzip data ({error})", self._member) from None
            left = self._inflate.unused_data if self._inflate.eof else self._inflate.unconsumed_tail
            self._offset += len(self._input) - len(left)
            self._input = left
            if self._inflate.eof:
                self._inflate = None
                self._ends.append((self._position + produced + len(chunk), self._offset))
            chunks.append(chunk)
            produced += len(chunk)


def _up_to_damage(inflate: "zlib._Decompress", data: bytes) -> bytes:
    """All that `inflate` gives of `data` before the byte where it finds damage.

    Python's zlib drops the output of a call that fails; fed byte by byte, the output up to the
    damage is the same however the input was cut into reads, so every reader of a file (a slice,
    or one reader through it all) sees the same bytes before a fault.
    """
    pieces = []
    for position in range(len(data)):
        try:
            pieces.append(inflate.decompress(data[position:position + 1]))
        except InflateError:
            break
        if inflate.eof:
            break
    return b"".join(pieces)


def starts_warc(head: bytes) -> bool:
    return head.startswith(b"WARC/") and head[5:6].isdigit()


def member_head(data: bytes, size: int = 6) -> bytes | None:
    """The first `size` bytes inflated from a gzip member at the start of `data` (fewer when the
    member is shorter), or None when it is not one."""
    if not data.startswith(GZIP_MAGIC):
        return None
    inflate = zlib.decompressobj(16 + zlib.MAX_WBITS)
    try:
        return inflate.decompress(data, size)
    except InflateError:
        return None


# Compressed bytes read to inflate the start of a member, and the inflated bytes that tell whether
# it starts a record (an ARC record's header line is needed whole).
HEAD_WINDOW = 8192
HEAD_SIZE = 2048


def scan_members(read: Callable[[int], bytes], data: bytes, base: int, end: int | None,
                 signature: Callable[[bytes], bool], size: int = 6,
                 trailer: bytes | None = None) -> tuple[int | None, bytes, int]:
    """Searches a stream for the first gzip member at or after `base` (and before `end`) whose
    first `size` inflated bytes satisfy `signature` (and, with `trailer`, that those bytes
    precede).

    `data` holds the stream's bytes from `base` on, and `read` gives the ones after it. Returns
    the member's offset (None when there is none), and the bytes held from the offset `base`
    returned last, so that a reader can go on from there.
    """
    scanned = 0  # where in `data` the search goes on
    while True:
        found = data.find(GZIP_MAGIC, scanned)
        if end is not None and (base + found >= end if found >= 0 else base + len(data) >= end + 2):
            return None, data, base
        if found < 0 or len(data) - found < HEAD_WINDOW:
            more = read(CHUNK)
            if more:
                # What has been searched is dropped, but for a magic number that the read cuts.
                drop = max(0, found - 4) if found >= 0 else max(0, len(data) - len(GZIP_MAGIC) - 3)
                data, base, scanned = data[drop:] + more, base + drop, max(0, scanned - drop)
                continue
            if found < 0:
                return None, data, base
        head = member_head(data[found:found + HEAD_WINDOW], size)
        if head is not None and signature(head) and (trailer is None or data[max(0, found - 4):found] == trailer):
            return base + found, data, base
        scanned = found + 1


def find_member(raw: BinaryIO, start: int, end: int, signature: Callable[[bytes], bool] = starts_warc) -> int | None:
    """The offset of the first member in [start, end) that holds the start of a record."""
    raw.seek(start)
    return scan_members(raw.read, b"", start, end, signature, HEAD_SIZE)[0]
