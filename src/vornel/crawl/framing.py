"""Where the records of a web archive lie in its (decompressed) stream, and where they lie again
after damage.

A WARC record is a header block (a `WARC/1.x` line, `Name: value` lines and a blank line), the
`Content-Length` bytes of its content, and a blank line pair. Reading checks that each record ends
where its header says: the next bytes must be line ends, then the next record's start or the end
of the input. Where they are not (a Content-Length too short or too long, garbage between records,
a header that cannot be read, a damaged gzip member), a search finds the next record start and the
bytes in between are reported as skipped. In a file compressed per record, the next record is
looked for at the start of a gzip member, so that nothing inside a payload is taken for a record.
"""

import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import BinaryIO, NamedTuple, Protocol

from vornel.crawl.members import MemberReader

CHUNK = 1 << 16
# A WARC header block larger than this is taken for damage (real ones hold URLs of some 100 KB).
HEADER_LIMIT = 1 << 20
# Bytes of the current record kept in memory for a search back after damage.
RETAIN_LIMIT = 8 << 20
BLOCK_END = re.compile(rb"\n\r*\n")
LINE_ENDS = re.compile(rb"[\r\n]*")
WARC_VERSION = re.compile(r"WARC/\d+(?:\.\d+)?[ \t]*")
# A WARC version line, looked for anywhere after damage (garbage need not end in a line feed),
# and a header block with a Content-Length after it.
WARC_START = re.compile(rb"WARC/\d+\.\d+\r*\n")
HAS_LENGTH = re.compile(rb"\nContent-Length:[ \t]*\d", re.IGNORECASE)


class Damage(Exception):
    """The bytes at `position` are not what the format says: a position of the decompressed
    stream, or with `in_file` a byte offset of the file (a damaged gzip member)."""

    def __init__(self, what: str, position: int, in_file: bool = False) -> None:
        super().__init__(what)
        self.what = what
        self.position = position
        self.in_file = in_file


class Ending(NamedTuple):
    """How a record ended: `whole`, or lost in damage; `cut`, when its Content-Length ran into the
    next record, is the length of its content up to there."""

    whole: bool
    cut: int | None = None


WHOLE, LOST = Ending(True), Ending(False)


@dataclass(slots=True)
class Record:
    start: int  # stream position of its first byte
    content: int  # stream position of its content
    length: int  # bytes of content, as its header says
    fields: dict[str, str]  # header fields by lower-case name (ARC: url, ip, date, type)


class Format(Protocol):
    name: str
    garbage: str  # what bytes are that do not start a record

    def parse(self, buffer: "Buffer") -> Record:
        """The record whose header starts at the cursor; moves the cursor to its content."""

    def starts(self, head: bytes) -> bool:
        """Whether decompressed bytes (a gzip member's first ones) start like a record."""

    def search(self, data: bytearray, start: int, end: int) -> int:
        """The index in `data[start:end]` of a line that starts like a record, or -1."""


class Buffer:
    """The decompressed stream, read ahead in chunks, with the current record's bytes kept.

    `data[:end]` holds the bytes; the bytearray itself only grows, and is compacted in place, so
    that reading allocates no large blocks again and again: with glibc those come from fresh
    pages each time, and their page faults cost more than all the parsing here.
    """

    def __init__(self, stream: BinaryIO | MemberReader, position: int) -> None:
        self._read = stream.read
        self.data = bytearray()
        self.end = 0  # bytes of data in use
        self.base = position  # stream position of data[0]
        self.at = 0  # index of the cursor in data
        self.keep = position  # stream position from which bytes are kept (the current record's start)
        self.eof = False

    @property
    def position(self) -> int:
        return self.base + self.at

    def ahead(self) -> int:
        return self.end - self.at

    def fill(self, size: int) -> int:
        """Reads until `size` bytes lie ahead of the cursor or the stream ends; returns how many do."""
        while self.end - self.at < size and not self.eof:
            more = self._read(CHUNK)  # no larger: a block of 128 KiB or more would come from fresh pages
            if not more:
                self.eof = True
                break
            keep = self.keep if self.position - self.keep <= RETAIN_LIMIT else self.position
            drop = max(0, min(self.at, keep - self.base))
            data = self.data
            if drop:  # moves the bytes still wanted to the front
                data[:self.end - drop] = data[drop:self.end]
                self.base += drop
                self.at -= drop
                self.end -= drop
            if self.end + len(more) > len(data):
                data.extend(bytes(self.end + len(more) - len(data)))
            data[self.end:self.end + len(more)] = more
            self.end += len(more)
        return self.end - self.at

    def get(self, position: int, size: int) -> bytes:
        """Up to `size` bytes held from a stream position on."""
        start = position - self.base
        with memoryview(self.data) as view:
            return bytes(view[max(0, start):max(0, min(start + size, self.end))])

    def take(self, size: int) -> bytes:
        self.fill(size)
        taken = self.get(self.position, size)
        self.at += len(taken)
        return taken

    def skip(self, size: int) -> int:
        """Moves the cursor `size` bytes on (fewer at the end); returns how many."""
        done = 0
        while done < size:
            if not self.fill(1):
                break
            step = min(size - done, self.end - self.at)
            self.at += step
            done += step
        return done

    def move(self, position: int) -> None:
        """Puts the cursor at a stream position that lies in or just after the data held."""
        if position > self.base + self.end:
            self.skip(position - self.position)
        self.at = position - self.base

    def held(self, position: int) -> bool:
        return self.base <= position <= self.base + self.end

    def restart(self) -> None:
        """Forgets everything held: the stream goes on elsewhere (after a damaged gzip member)."""
        self.base += self.end
        self.end = 0
        self.at = 0
        self.keep = self.base
        self.eof = False


class WarcFormat:
    name = "WARC"
    garbage = "not a WARC record"

    def parse(self, buffer: Buffer) -> Record:
        start = buffer.position
        buffer.fill(8)
        if not buffer.data.startswith(b"WARC/", buffer.at, buffer.end):
            raise Damage(self.garbage, start)
        ahead = buffer.ahead()
        while True:  # reads no more than the header needs: a pipe may hold no more yet
            found = BLOCK_END.search(buffer.data, buffer.at, buffer.at + min(ahead, HEADER_LIMIT))
            if found is not None:
                break
            if buffer.eof or ahead >= HEADER_LIMIT:
                what = "WARC header cut short" if buffer.eof else f"WARC header longer than {HEADER_LIMIT} bytes"
                raise Damage(what, start)
            ahead = buffer.fill(ahead + 1)
        block = buffer.get(buffer.position, found.start() - buffer.at)
        lines = block.decode("utf-8", "replace").split("\n")
        if not WARC_VERSION.fullmatch(lines[0].rstrip("\r")):
            raise Damage(self.garbage, start)
        fields: dict[str, str] = {}
        name = ""
        for line in lines[1:]:
            if line[:1] in (" ", "\t") and name:  # a folded line continues the field before it
                fields[name] += " " + line.strip()
                continue
            key, colon, value = line.partition(":")
            if colon:
                name = key.strip().lower()
                fields.setdefault(name, value.strip())
        length = fields.get("content-length", "")
        if not length.isdigit():
            raise Damage("WARC header without Content-Length (cut short?)" if not length
                         else f"WARC header with a bad Content-Length {length[:40]!r}", start)
        if not fields.get("warc-type"):  # a record that cannot be told apart is damage, not "not a response"
            raise Damage("WARC header without WARC-Type", start)
        buffer.at = found.end()  # the cursor at the content
        return Record(start, buffer.position, int(length), fields)

    def starts(self, head: bytes) -> bool:
        return head.startswith(b"WARC/") and head[5:6].isdigit()

    def search(self, data: bytearray, start: int, end: int) -> int:
        for found in WARC_START.finditer(data, start, end):
            block = BLOCK_END.search(data, found.start(), min(found.start() + HEADER_LIMIT, end))
            if block is None or HAS_LENGTH.search(data, found.start(), block.end()):
                return found.start()  # a header not yet whole is tried when it is read
        return -1


class Framing:
    """The records of a stream, one after the other, with their ends checked.

    `report(what, start, end, in_file)` hears of every range skipped as damaged: stream positions,
    or with `in_file` byte offsets of the file; `start == end` for a record whose Content-Length
    ran into the next one. With `strict`, the first damage raises `Damage` instead.
    """

    def __init__(self, stream: BinaryIO | MemberReader, position: int, form: Format,
                 report: Callable[[str, int, int, bool], None], *, strict: bool = False,
                 streaming: bool = False) -> None:
        self.buffer = Buffer(stream, position)
        # A pipe: what follows a record is checked when it arrives, so that a record is handed on
        # while its writer waits before writing the next.
        self.streaming = streaming
        self.members = stream if isinstance(stream, MemberReader) else None
        self.form = form
        self.report = report
        self.strict = strict
        self.aligned = True  # every record so far started a gzip member: look for the next one there
        self.records = 0
        self._after = position  # where the line ends after the last record's content end
        self._pending: Damage | None = None
        self._current: Record | None = None  # the record being read

    @property
    def position(self) -> int:
        return self.buffer.position

    def next(self) -> Record | None:
        """The next record, after skipping damaged bytes before it; None at the end."""
        buffer = self.buffer
        if self._pending is not None:
            raise self._pending
        while True:
            self._skip_line_ends()
            if not buffer.fill(1):
                if self._gzip_damage():
                    continue
                return None
            start = buffer.position
            buffer.keep = start
            try:
                record = self.form.parse(buffer)
            except Damage as damage:
                if self._gzip_damage():
                    continue
                self._resync(damage.what, start, start + 1)
                continue
            if self.members is not None:
                self.members.forget(start)
                if not self.members.locate(start)[1]:
                    self.aligned = False
            self.records += 1
            self._current = record
            return record

    def read(self, record: Record, size: int) -> bytes:
        """Up to `size` more bytes of the record's content."""
        left = record.content + record.length - self.buffer.position
        return self.buffer.take(max(0, min(size, left)))

    def peek(self, record: Record, size: int) -> bytes:
        """Up to `size` more bytes of the record's content, which stay unread."""
        position = self.buffer.position
        data = self.read(record, size)
        self.buffer.move(position)
        return data

    def skip(self, record: Record, size: int) -> None:
        """Passes over up to `size` more bytes of the record's content."""
        left = record.content + record.length - self.buffer.position
        self.buffer.skip(max(0, min(size, left)))

    def finish(self, record: Record) -> Ending:
        """Goes past the rest of the record and checks its end: whether the record is whole, and
        where its content stops when its Content-Length runs into the next record."""
        buffer = self.buffer
        end = record.content + record.length
        buffer.skip(end - buffer.position)
        if buffer.position < end:  # the stream ended inside the record
            what = f"record cut short ({buffer.position - record.content} of {record.length} bytes)"
            if not self._gzip_damage():
                self._damaged(what, record.start, buffer.position)
            return LOST
        if self._ends_well():
            members = self.members
            if (members is not None and members.fault is not None and buffer.eof and not buffer.ahead()
                    and members.locate(record.start)[0] == members.fault.offset):
                return LOST  # its own member is damaged (a wrong checksum after all its data): `next` says so
            self._current = None
            return WHOLE
        self._current = None
        if self.strict:  # the record is read as its header says; reading stops after it
            self._pending = Damage(self.form.garbage, self._after)
            return WHOLE
        return self._search_after(record)

    def _ends_well(self) -> bool:
        buffer = self.buffer
        if not self.streaming:
            buffer.fill(64)
        after = LINE_ENDS.match(buffer.data, buffer.at, buffer.end).end()  # type: ignore[union-attr]
        while after == buffer.end and not buffer.eof and not self.streaming:  # a long run of line ends
            buffer.fill(buffer.ahead() + CHUNK)
            after = LINE_ENDS.match(buffer.data, buffer.at, buffer.end).end()  # type: ignore[union-attr]
        self._after = buffer.base + after
        if after == buffer.end:
            buffer.at = after
            # The end, or damaged gzip data after the record (that is the next one's), or a pipe
            # that holds nothing more yet.
            return buffer.eof or self.streaming
        if not self.streaming:
            buffer.fill(after - buffer.at + 4096)  # may drop bytes before the cursor: positions, not indexes
        after = self._after - buffer.base
        head = buffer.get(self._after, 4096)
        if self.streaming and len(head) < 64 and not buffer.eof:
            buffer.at = after  # the start of the next record has not all arrived: it is read then
            return True
        if not self.form.starts(head):
            return False
        buffer.at = after  # at the next record
        return True

    def _search_after(self, record: Record) -> Ending:
        """The record does not end where its header says: finds the next record start, from the
        record's content on where it is still held."""
        end = record.content + record.length
        begin = record.content + 1 if self.buffer.held(record.content) else end
        found = self._find(begin)
        if found is not None and found < end:
            # The content ends where the next record starts; its line ends are not content.
            buffer = self.buffer
            tail = buffer.get(found - 4, min(4, found - record.content))
            cut = found - record.content - (len(tail) - len(tail.rstrip(b"\r\n")))
            buffer.move(found)
            self._damaged("a Content-Length that runs into the next record", record.start, record.start)
            return Ending(True, cut)
        self._resync(self.form.garbage, self._after, self._after, found)
        return WHOLE

    def _skip_line_ends(self) -> None:
        buffer = self.buffer
        while buffer.fill(1):
            after = LINE_ENDS.match(buffer.data, buffer.at, buffer.end).end()  # type: ignore[union-attr]
            if after == buffer.at:
                return
            buffer.at = after

    def _find(self, begin: int) -> int | None:
        """The stream position of the first record start at or after `begin`, reading on as needed."""
        buffer = self.buffer
        buffer.move(max(begin, buffer.base))
        # Where records start gzip members and the damage starts one too, the next record is looked
        # for at the start of a member only; elsewhere at a WARC line in the decompressed stream.
        by_member = (self.members is not None and self.aligned
                     and self.members.boundary(max(begin, self._after)) is not None)
        while True:
            if by_member:
                found = self._find_member(buffer.position)
            else:
                index = self.form.search(buffer.data, buffer.at, buffer.end)
                found = buffer.base + index if index >= 0 else None
            if found is not None:
                return found
            held = buffer.base + buffer.end
            buffer.move(max(buffer.position, held - 16))  # a record start cut by the read is looked at again
            if buffer.fill(held - buffer.position + CHUNK) <= held - buffer.position:
                return None

    def _find_member(self, begin: int) -> int | None:
        assert self.members is not None
        buffer = self.buffer
        for start in self.members.member_starts(begin, buffer.base + buffer.end):
            buffer.fill(start - buffer.position + 4096)
            head = buffer.get(start, 4096)
            if self.form.starts(head):
                return start
        return None

    def _resync(self, what: str, start: int, begin: int, found: int | None = None) -> None:
        """Skips from `start` to the next record start found after `begin` (or the end)."""
        if found is None or found < begin:
            found = self._find(begin)
        if found is None:
            buffer = self.buffer
            buffer.skip(1 << 62)
            if self.members is not None and self.members.fault is not None:
                # The search ran into damaged gzip data: the bytes up to it are skipped too.
                if buffer.position > start:
                    self._damaged(what, start, buffer.position)
                self._gzip_damage()
                return
            found = buffer.position
        else:
            self.buffer.move(found)
        self._damaged(what, start, found)

    def _gzip_damage(self) -> bool:
        """At the end of the stream, after a damaged gzip member: reports the members skipped and
        goes on at the next member that starts a record. False when the gzip data is not damaged."""
        members = self.members
        if members is None or members.fault is None or not self.buffer.eof:
            return False
        fault = members.fault
        if self.strict:
            raise Damage(fault.what, fault.offset, in_file=True)
        current = self._current
        whole = None  # the damaged member's size, when it held the record being read and nothing else
        if current is not None and members.locate(current.start) == (fault.offset, True):
            whole = current.content - current.start + current.length + 4
        found = members.resume(self.form.starts, whole)
        self.report(fault.what, fault.offset, found if found is not None else members.offset, True)
        self.buffer.restart()
        self.aligned = True
        return True

    def _damaged(self, what: str, start: int, end: int) -> None:
        if self.strict:
            raise Damage(what, start)
        self.report(what, start, end, False)
