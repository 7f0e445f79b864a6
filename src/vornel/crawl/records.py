"""Reading the HTML pages of one web archive (WARC or ARC), or of one slice of it.

`framing` finds the records and checks their ends; gzip members are inflated by
`members.MemberReader`, so that a slice can start at any member and every fault has a byte
offset. A slice reads from its first record up to the first record at or after `end` that starts a
gzip member (normally each record does; in a file whose members are cut elsewhere, a slice reads
on to the next record that does). Damaged bytes are skipped and reported, and reading goes on at
the next record; with `strict`, the first damage ends the reading instead, as a `WarcError`.
"""

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

from vornel.crawl import arc
from vornel.crawl.counts import FILTERED, NOT_RESPONSE, REVISIT, Counts
from vornel.crawl.filters import NO_FILTERS, Filters
from vornel.crawl.framing import Damage, Ending, Format, Framing, Record, WarcFormat
from vornel.crawl.inputs import open_input, peek
from vornel.crawl.members import GZIP_MAGIC, MemberReader, find_member, member_head
from vornel.crawl.payload import (BODY_LIMIT, HEAD_LIMIT, HttpHead, PayloadError, within_body_limit, decode_body,
                                  parse_head)
from vornel.crawl.text import decode_html, needs_sniffing

# The repair named on a page whose record's Content-Length ran into the next record.
CUT_AT_NEXT_RECORD = "cut at the next record"


class WarcError(Exception):
    """An input that cannot be read to its end. The pages before the fault have been yielded."""

    def __init__(self, path: str, what: str, offset: int | None = None) -> None:
        where = f" at byte offset {offset}" if offset is not None else ""
        super().__init__(f"{path}: {what}{where}")
        self.path = path
        self.offset = offset


_primed = False


def _reuse_freed_memory() -> None:
    """Has glibc's malloc keep freed large blocks for reuse, once per process.

    A page's body and decoded text are blocks of some 100 KB to a few MB, made and freed for each
    page. glibc serves such blocks from fresh pages, whose page faults cost a tenth of a page's
    time, until it has seen a large block freed: that raises its thresholds, and later blocks
    come from memory it keeps. One block of 16 MiB made and freed at once does it; its pages
    are never touched, so it costs no memory. (Set MALLOC_* variables turn this adjustment off,
    and other allocators ignore it.)
    """
    global _primed
    if not _primed:
        _primed = True
        bytearray(16 << 20)


@dataclass(frozen=True, slots=True)
class Page:
    """An HTML response record, with its body as the browser would have received it."""

    url: str  # WARC-Target-URI
    record_id: str  # WARC-Record-ID (ARC: <urn:arc:NAME:OFFSET>)
    date: str  # WARC-Date, as written (ARC: the date in that form)
    offset: int  # where the record starts in the file: its gzip member in a .warc.gz
    status: int | None  # None when the HTTP message could not be read
    content_type: str | None  # the HTTP Content-Type header
    body: bytes  # transfer and content encodings removed
    error: PayloadError | None = None  # why the HTTP message could not be read
    # Bytes of the file to fetch from `offset` for the record alone: its gzip member, or the
    # record's own bytes; None when it shares a gzip member with others.
    length: int | None = None
    filename: str = ""  # the input as given
    payload_digest: str | None = None  # WARC-Payload-Digest
    repairs: tuple[str, ...] = ()  # what was forgiven in reading it (see README)

    def decode(self) -> tuple[str, str]:
        """(encoding, text): the body decoded as a browser decodes it (see `text.decode_html`)."""
        return decode_html(self.body, self.content_type, self.url)


def _uncompressed_position(position: int) -> tuple[int, bool]:
    """Where a record at a stream position starts in an uncompressed file: there, at a record start."""
    return position, True


class PageReader:
    """The HTML pages of a WARC or ARC file, in file order; `counts` tells what else was read.

    Iterating raises `WarcError` where the file cannot be read further (after yielding the
    pages before that point); damaged bytes are skipped, each range reported in `damage`, unless
    `strict`, where the first one raises `WarcError`. A single record whose HTTP message is
    broken is yielded as a `Page` with `error` set. With `end`, only the records that start
    before `end` are read; with `search`, reading starts at the first gzip member at or after
    `start` that holds a record, else exactly at `start` (any record's `Page.offset`). `filters`
    choose the responses that become pages (by default, 2xx HTML ones).
    """

    def __init__(self, path: str, start: int = 0, end: int | None = None, *, search: bool = False,
                 counts: Counts | None = None, strict: bool = False, filters: Filters = NO_FILTERS) -> None:
        self.path = path
        self.filters = filters
        self.start = start
        self.end = end
        self.search = search
        self.counts = counts if counts is not None else Counts()
        self.strict = strict
        self.first: int | None = None  # where reading started; None when nothing lies in range
        self.next: int | None = None  # where the next record after the range starts (or the end)
        self.position = start  # how far the reader has got, for progress
        self.damage: list[str] = []  # a message for each range of damaged bytes skipped
        self._first_damage = ""  # what the first of them was, in words
        self._members: MemberReader | None = None
        self._arc = False

    def __iter__(self) -> Iterator[Page]:
        _reuse_freed_memory()
        with open_input(self.path) as raw:
            yield from self._read(raw)

    def _read(self, raw: BinaryIO) -> Iterator[Page]:
        end = self.end if self.end is not None else 1 << 62
        compressed = peek(raw, len(GZIP_MAGIC)) == GZIP_MAGIC
        form = self._format(raw, compressed)
        stream: BinaryIO | MemberReader = raw
        locate: Callable[[int], tuple[int, bool]] = _uncompressed_position
        start: int | None = self.start
        if compressed:
            if self.search:
                start = find_member(raw, self.start, end, form.starts)
            if start is None or start >= end:
                self.next = start
                return
            if start:
                raw.seek(start)
            stream = self._members = MemberReader(raw, start)
            locate = stream.locate
        elif start:
            raw.seek(start)  # an uncompressed file: any record's offset
        assert start is not None
        self.first = start
        framing = Framing(stream, 0 if compressed else start, form, self._report, strict=self.strict,
                          streaming=not raw.seekable())
        try:
            while (record := framing.next()) is not None:
                offset, starts_member = locate(record.start)
                if offset >= end and starts_member:
                    self.next = offset
                    return
                self.position = offset
                page = self._page(framing, record, offset, starts_member)
                if page is not None:
                    self.counts.pages += 1
                    yield page
        except Damage as damage:  # only with strict
            where = damage.position if damage.in_file else locate(damage.position)[0]
            if framing.records == 0 and start == 0:
                raise WarcError(self.path, f"not a {form.name} file ({damage.what})", where) from None
            raise WarcError(self.path, damage.what, where) from None
        if framing.records == 0 and self.damage and start == 0:  # nothing in it could be read
            self.damage.clear()
            self.counts.damaged = self.counts.damaged_bytes = 0
            raise WarcError(self.path, f"not a {form.name} file ({self._first_damage})", start)
        self.next = self._members.offset if self._members is not None else None

    def _format(self, raw: BinaryIO, compressed: bool) -> Format:
        """ARC when the file's first record is an ARC version block, else WARC."""
        size = 64
        while True:
            data = peek(raw, size)
            head = (member_head(data, len(arc.ARC_START)) or b"") if compressed else data
            if len(head) >= len(arc.ARC_START) or len(data) < size or size >= 4096:
                break
            size *= 4
        self._arc = head.startswith(arc.ARC_START)
        return arc.ArcFormat() if self._arc else WarcFormat()

    def _report(self, what: str, start: int, end: int, in_file: bool) -> None:
        members = self._members
        if in_file or members is None:
            offset, count, where = start, end - start, ""
        else:
            first, last = members.boundary(start), members.boundary(end)
            if first is not None and last is not None:
                offset, count, where = first, last - first, ""
            else:
                offset, count, where = members.locate(start)[0], end - start, " in the gzip member"
        if count == 0:
            message = f"{what} at byte offset {offset}"
        else:
            message = f"skipped {count} damaged bytes{where} at byte offset {offset} ({what})"
        self.damage.append(f"{self.path}: {message}")
        self._first_damage = self._first_damage or what
        self.counts.damaged += 1
        self.counts.damaged_bytes += count

    def _skip(self, framing: Framing, record: Record, reason: str) -> None:
        if framing.finish(record).whole:
            self.counts.records += 1
            self.counts.skipped[reason] += 1

    def _url(self, record: Record) -> str:
        fields = record.fields
        if self._arc:
            return fields["url"]
        url: str = fields.get("warc-target-uri", "")
        if url.startswith("<") and url.endswith(">"):  # as some writers of WARC/1.0 put it
            url = url[1:-1]
        return url

    def _fields(self, record: Record, offset: int) -> tuple[str, str, str]:
        fields = record.fields
        if self._arc:
            return fields["url"], arc.record_id(self.path, offset), arc.iso_date(fields["date"])
        return self._url(record), fields.get("warc-record-id", ""), fields.get("warc-date", "")

    def _page(self, framing: Framing, record: Record, offset: int, starts_member: bool) -> Page | None:
        fields = record.fields
        if self._arc:
            kind = "response" if fields["url"].lower().startswith(("http:", "https:")) else "other"
            block_type = "application/http"
        else:
            kind = fields.get("warc-type", "").lower()
            block_type = fields.get("content-type") or "application/http"
        if kind == "revisit":
            self._skip(framing, record, REVISIT)
            return None
        if kind != "response" or not block_type.lower().startswith("application/http"):
            self._skip(framing, record, NOT_RESPONSE)
            return None
        filters = self.filters
        if not filters.keeps_url(self._url(record)):  # before its HTTP head is even looked at
            self._skip(framing, record, FILTERED)
            return None
        head = framing.peek(record, HEAD_LIMIT)
        try:
            http = parse_head(head)
        except PayloadError as error:
            ending = framing.finish(record)
            page = self._made(framing, record, offset, starts_member, ending, None, error=error)
            if page is not None:
                self.counts.repairs.update(page.repairs)
            return page
        if not filters.keeps_status(http.status):
            self._skip(framing, record, filters.status_reason)
            return None
        # A body of unknown type is sniffed once its encodings are removed.
        sniff = needs_sniffing(http.content_type) and bool(http.content_encoding or http.transfer_encoding)
        if not sniff and not filters.keeps_type(http.content_type, head[http.length:]):
            self._skip(framing, record, filters.type_reason)
            return None
        framing.skip(record, http.length)
        body = framing.read(record, BODY_LIMIT + 1)
        ending = framing.finish(record)
        if ending.cut is not None:
            body = body[:max(0, ending.cut - http.length)]
        page = self._made(framing, record, offset, starts_member, ending, http, body)
        if sniff and page is not None and page.error is None and not filters.keeps_type(None, page.body):
            self.counts.skipped[filters.type_reason] += 1
            return None
        if page is not None:
            self.counts.repairs.update(page.repairs)
        return page

    def _made(self, framing: Framing, record: Record, offset: int, starts_member: bool, ending: Ending,
              http: HttpHead | None, body: bytes = b"", error: PayloadError | None = None) -> Page | None:
        """The page of a record that has been read to its end; None when it was lost in damage."""
        if not ending.whole:
            return None
        self.counts.records += 1
        url, record_id, date = self._fields(record, offset)
        repairs: tuple[str, ...] = (CUT_AT_NEXT_RECORD,) if ending.cut is not None else ()
        if http is not None and error is None:
            try:
                body, decoded_repairs = decode_body(http, within_body_limit(body))
                repairs += decoded_repairs
            except PayloadError as payload_error:
                body, error = b"", payload_error
        return Page(url, record_id, date, offset, http.status if http is not None else None,
                    http.content_type if http is not None else None, body, error,
                    length=self._length(framing, record, offset, starts_member), filename=self.path,
                    payload_digest=None if self._arc else record.fields.get("warc-payload-digest"),
                    repairs=repairs)

    def _length(self, framing: Framing, record: Record, offset: int, starts_member: bool) -> int | None:
        after = framing.position
        if self._members is None:
            return after - record.start
        if not starts_member:
            return None
        boundary = self._members.boundary(after)
        return boundary - offset if boundary is not None else None


def read_pages(path: str, *, strict: bool = False, filters: Filters = NO_FILTERS) -> PageReader:
    """The HTML pages of the WARC or ARC file at `path` (gzip-compressed or not, `-` for standard
    input); damaged bytes are skipped (see `PageReader.damage`), or with `strict` end the reading.

        for page in read_pages("crawl.warc.gz"):
            encoding, text = page.decode()
    """
    return PageReader(path, strict=strict, filters=filters)
