"""Reading the HTML pages of one WARC file, or of one slice of it.

FastWARC parses the WARC records; gzip members are inflated by `members.MemberReader`, so that a
slice can start at any member and every fault has a byte offset. A slice reads from its first
record up to the first record at or after `end` that starts a gzip member (normally each record
does; in a file whose members are cut elsewhere, a slice reads on to the next record that does).
"""

from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import BinaryIO

from fastwarc.warc import ArchiveIterator, WarcRecord, WarcRecordType

from vornel.crawl.counts import NOT_2XX, NOT_HTML, NOT_RESPONSE, REVISIT, Counts
from vornel.crawl.inputs import open_input, peek
from vornel.crawl.members import GZIP_MAGIC, MemberReader, find_member
from vornel.crawl.payload import (BODY_LIMIT, HEAD_LIMIT, HttpHead, PayloadError, bounded, decode_body,
                                  parse_head)
from vornel.crawl.text import decode_html, is_html


class WarcError(Exception):
    """An input that cannot be read to its end. The pages before the fault have been yielded."""

    def __init__(self, path: str, what: str, offset: int | None = None) -> None:
        where = f" at byte offset {offset}" if offset is not None else ""
        super().__init__(f"{path}: {what}{where}")
        self.path = path
        self.offset = offset


@dataclass(frozen=True, slots=True)
class Page:
    """An HTML response record, with its body as the browser would have received it."""

    url: str  # WARC-Target-URI
    record_id: str  # WARC-Record-ID
    date: str  # WARC-Date, as written
    offset: int  # where the record starts in the file: its gzip member in a .warc.gz
    status: int | None  # None when the HTTP message could not be read
    content_type: str | None  # the HTTP Content-Type header
    body: bytes  # transfer and content encodings removed
    error: PayloadError | None = None  # why the HTTP message could not be read

    def decode(self) -> tuple[str, str]:
        """(encoding, text): the body decoded as a browser decodes it (see `text.decode_html`)."""
        return decode_html(self.body, self.content_type, self.url)


class PageReader:
    """The HTML pages of a WARC file, in file order; `counts` tells what else was read.

    Iterating raises `WarcError` where the file cannot be read further (after yielding the
    pages before that point); a single record whose HTTP message is broken is yielded as a
    `Page` with `error` set. With `end`, only the records that start before `end` are read; with
    `search`, reading starts at the first gzip member at or after `start` that holds a WARC
    record, else exactly at `start`.
    """

    def __init__(self, path: str, start: int = 0, end: int | None = None, *, search: bool = False,
                 counts: Counts | None = None) -> None:
        self.path = path
        self.start = start
        self.end = end
        self.search = search
        self.counts = counts if counts is not None else Counts()
        self.first: int | None = None  # where reading started; None when nothing lies in range
        self.next: int | None = None  # where the next record after the range starts (or the end)
        self.position = start  # how far the reader has got, for progress
        self._members: MemberReader | None = None

    def __iter__(self) -> Iterator[Page]:
        with open_input(self.path) as raw:
            yield from self._read(raw)

    def _read(self, raw: BinaryIO) -> Iterator[Page]:
        end = self.end if self.end is not None else 1 << 62
        stream: BinaryIO | MemberReader = raw
        locate: Callable[[int], tuple[int, bool]] = lambda position: (position, True)
        start: int | None = self.start
        if peek(raw, len(GZIP_MAGIC)) == GZIP_MAGIC:
            if self.search:
                start = find_member(raw, self.start, end)
            if start is None or start >= end:
                self.next = start
                return
            if start:
                raw.seek(start)
            stream = MemberReader(raw, start)
            locate = stream.locate
        elif start:
            return  # only a gzip-compressed file is read in slices; the first one reads it all
        self.first = start
        self._members = stream if isinstance(stream, MemberReader) else None
        last: int | None = None
        records = ArchiveIterator(stream, parse_http=False, stream_detect=self._members is None)
        try:
            for record in records:
                offset, starts_member = locate(record.stream_pos)
                if offset >= end and starts_member:
                    self.next = offset
                    return
                last = self.position = offset
                page = self._page(record, offset)
                self.counts.records += 1
                if page is not None:
                    self.counts.pages += 1
                    yield page
        except OSError as error:  # how FastWARC reports data that is not a WARC record
            self._raise_gzip_fault()
            if last is None:
                raise WarcError(self.path, f"not a WARC file ({error})", start) from None
            raise WarcError(self.path, f"damaged WARC data ({error}) after the record", last) from None
        self._raise_gzip_fault()
        self.next = self._members.offset if self._members is not None else None

    def _raise_gzip_fault(self) -> None:
        # Damaged gzip data ends the stream early; it explains whatever went wrong after it.
        if self._members is not None and self._members.fault is not None:
            raise WarcError(self.path, self._members.fault.what, self._members.fault.offset)

    def _skip(self, record: WarcRecord, offset: int, reason: str, read: int = 0) -> None:
        self._check_length(record, offset, read + record.reader.consume())
        self.counts.skipped[reason] += 1

    def _check_length(self, record: WarcRecord, offset: int, length: int) -> None:
        if length < record.content_length:
            self._raise_gzip_fault()
            raise WarcError(self.path, f"record cut short ({length} of {record.content_length} bytes)", offset)

    def _page(self, record: WarcRecord, offset: int) -> Page | None:
        headers = record.headers
        if "Content-Length" not in headers:
            self._raise_gzip_fault()
            raise WarcError(self.path, "WARC header without Content-Length (cut short?)", offset)
        if record.record_type == WarcRecordType.revisit:
            self._skip(record, offset, REVISIT)
            return None
        warc_type = headers.get("Content-Type") or "application/http"
        if record.record_type != WarcRecordType.response or not warc_type.lower().startswith("application/http"):
            self._skip(record, offset, NOT_RESPONSE)
            return None
        url = (headers.get("WARC-Target-URI") or "").strip()
        if url.startswith("<") and url.endswith(">"):  # as some writers of WARC/1.0 put it
            url = url[1:-1]
        fields = (url, headers.get("WARC-Record-ID") or "", headers.get("WARC-Date") or "", offset)
        head = record.reader.read(HEAD_LIMIT)
        try:
            http = parse_head(head)
        except PayloadError as error:
            self._check_length(record, offset, len(head) + record.reader.consume())
            return Page(*fields, status=None, content_type=None, body=b"", error=error)
        if not 200 <= http.status < 300:
            self._skip(record, offset, NOT_2XX, len(head))
            return None
        if not is_html(http.content_type, head[http.length:]):
            self._skip(record, offset, NOT_HTML, len(head))
            return None
        return self._read_page(record, fields, http, head)

    def _read_page(self, record: WarcRecord, fields: tuple[str, str, str, int], http: HttpHead,
                   head: bytes) -> Page:
        rest = record.reader.read(BODY_LIMIT + http.length + 1 - len(head))
        self._check_length(record, fields[3], len(head) + len(rest) + record.reader.consume())
        body = head[http.length:] + rest
        try:
            body = decode_body(http, bounded(body))
        except PayloadError as error:
            return Page(*fields, status=http.status, content_type=http.content_type, body=b"", error=error)
        return Page(*fields, status=http.status, content_type=http.content_type, body=body)


def read_pages(path: str) -> PageReader:
    """The HTML pages of the WARC file at `path` (gzip-compressed or not, `-` for standard input).

        for page in read_pages("crawl.warc.gz"):
            encoding, text = page.decode()
    """
    return PageReader(path)
