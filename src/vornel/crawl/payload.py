"""The HTTP response inside a WARC record: its status line and headers, then its body with the
transfer and content encodings removed, as a browser receives it."""

import re
from collections.abc import Callable
from dataclasses import dataclass

import brotli  # type: ignore[import-untyped]
from zlib_ng import zlib_ng as zlib

from vornel.crawl.framing import BLOCK_END, LINE_ENDS
from vornel.crawl.members import InflateError

# The status line and headers must lie within this many bytes of the record's start.
HEAD_LIMIT = 1 << 16
# The most bytes a page's body may have, as recorded and after each decoding step. Far beyond any
# real page, it keeps a decompression bomb or a mislabelled video from exhausting a worker's memory.
BODY_LIMIT = 32 << 20
CHUNK_SIZE = re.compile(rb"[0-9A-Fa-f]{1,16}")
GZIP_ID = b"\x1f\x8b"
# Bytes of a body tried when telling whether it is in its labelled coding at all.
PROBE = 1024
COMPRESSIONS = frozenset({"gzip", "x-gzip", "deflate", "br"})
# The repair named on a page's line when its body was stored de-chunked under a chunked header.
STORED_DECHUNKED = "stored de-chunked"


class PayloadError(Exception):
    """The HTTP message of a record cannot be read; the record becomes an error line."""

    kind = "payload"


class HTTPHeaderError(PayloadError):
    kind = "broken HTTP headers"


class ContentDecodingError(PayloadError):
    kind = "undecodable content"


class PageTooLargeError(PayloadError):
    kind = "page too large"

    def __init__(self, message: str = "") -> None:
        super().__init__(message or f"the page's body is larger than {BODY_LIMIT >> 20} MiB")


def within_body_limit(data: bytes) -> bytes:
    """`data`, when it is within the limit of a page's body."""
    if len(data) > BODY_LIMIT:
        raise PageTooLargeError()
    return data


@dataclass(frozen=True, slots=True)
class HttpHead:
    status: int
    content_type: str | None
    transfer_encoding: str
    content_encoding: str
    length: int  # bytes of the status line and headers, blank line included


STATUS_LINE = re.compile(rb"[Hh][Tt][Tt][Pp]/\S*[ \t]+(\d{3})(?:[ \t]|$)")
# Headers that are read; a repeated Content-Encoding or Transfer-Encoding adds to the list, as
# HTTP combines repeated fields.
LISTS = {b"transfer-encoding": "transfer_encoding", b"content-encoding": "content_encoding"}


def _head_end(head: bytes, start: int) -> int:
    """Where the header block starting at `start` ends (after its blank line), or the end of `head`
    when the block is all there is."""
    if head.startswith(b"\n", start) or head.startswith(b"\r\n", start):
        return start + (1 if head[start] == 0x0A else 2)  # a status line without headers
    found = BLOCK_END.search(head, start)
    if found is None:
        if len(head) >= HEAD_LIMIT:
            raise HTTPHeaderError(f"no end of the HTTP headers in the first {HEAD_LIMIT} bytes")
        return len(head)
    return found.end()


def parse_head(head: bytes) -> HttpHead:
    """The status and headers at the start of `head`, the first bytes of a record's block.

    Read as browsers read them: any HTTP version (HTTP/2 too), lines ending in CRLF, a bare LF or
    CR CR LF, any number of headers, folded lines joined, lines without a colon passed over.
    Interim responses (1xx but 101) before the final one are passed over.
    """
    interim = False
    position = LINE_ENDS.match(head).end()  # type: ignore[union-attr]
    while position < len(head) or not interim:
        line_end = head.find(b"\n", position)
        line = head[position:line_end if line_end >= 0 else len(head)].rstrip(b"\r")
        if not line.strip():
            break
        status = STATUS_LINE.match(line)
        if status is None or int(status[1]) < 100:
            raise HTTPHeaderError(f"bad HTTP status line {line[:200].decode('latin-1')!r}")
        start = line_end + 1 if line_end >= 0 else len(head)
        end = _head_end(head, start)
        code = int(status[1])
        if 100 <= code < 200 and code != 101:
            interim = True  # the final response follows
            position = LINE_ENDS.match(head, end).end()  # type: ignore[union-attr]
            continue
        return _headers(head, start, end, code)
    if interim:
        raise HTTPHeaderError("no final HTTP response after the interim ones")
    raise HTTPHeaderError("no HTTP response in the record")


def _headers(head: bytes, start: int, end: int, status: int) -> HttpHead:
    fields = {"transfer_encoding": "", "content_encoding": ""}
    content_type: str | None = None
    name = b""
    for raw_line in head[start:end].split(b"\n"):
        line = raw_line.rstrip(b"\r")
        if line[:1] in (b" ", b"\t") and name in LISTS:  # a folded line continues the field before it
            fields[LISTS[name]] += " " + line.strip().decode("latin-1")
            continue
        name, colon, value = line.partition(b":")
        if not colon:
            name = b""
            continue
        name = name.strip().lower()
        if name == b"content-type":
            if content_type is None:  # the first one, as before
                content_type = value.strip().decode("latin-1")
        elif name in LISTS:
            key = LISTS[name]
            text = value.strip().decode("latin-1")
            fields[key] = f"{fields[key]}, {text}" if fields[key] and text else fields[key] or text
    return HttpHead(status=status, content_type=content_type, transfer_encoding=fields["transfer_encoding"],
                    content_encoding=fields["content_encoding"], length=end)


def starts_chunked(body: bytes) -> bool:
    """Whether `body` starts with a chunk: a chunk-size line, then that many bytes and a line end
    (or the end of what was recorded)."""
    line_end = body.find(b"\n")
    if line_end < 0:
        return False
    size = body[:line_end].split(b";", 1)[0].strip()
    if not CHUNK_SIZE.fullmatch(size):
        return False
    end = line_end + 1 + int(size, 16)
    return end >= len(body) or body.startswith(b"\r\n", end) or body.startswith(b"\n", end)


def dechunk(body: bytes) -> bytes:
    """The data of a chunked body; what arrived of it when the chunks stop short, as in a browser.

    Written out here because the decoders at hand either take a cut for a syntax error
    (http.client) or refuse chunk extensions (FastWARC's).
    """
    pieces = []
    position = 0
    last = False
    while (line_end := body.find(b"\n", position)) >= 0:
        size = body[position:line_end].split(b";", 1)[0].strip()
        if not CHUNK_SIZE.fullmatch(size):
            raise ContentDecodingError(f"bad chunked encoding (chunk size {size[:20]!r})")
        if size.strip(b"0") == b"":
            last = True
            break  # the last chunk; trailers are of no interest
        start = line_end + 1
        end = start + int(size, 16)
        pieces.append(body[start:end])
        position = end + (2 if body.startswith(b"\r\n", end) else 1)
    data = b"".join(pieces)
    if not data and not last and body:
        raise ContentDecodingError("bad chunked encoding (cut short before any data)")
    return data


def _inflate(data: bytes, wbits: int, coding: str) -> bytes:
    # A stream cut short gives what it holds, as in a browser; only damaged data is an error, and
    # so is a stream that stops before giving anything.
    inflate = zlib.decompressobj(wbits)
    out = within_body_limit(inflate.decompress(data, BODY_LIMIT + 1))
    if not out and not inflate.eof and data:
        raise ContentDecodingError(f"damaged {coding} content (cut short before any data)")
    return out


def _brotli(data: bytes) -> bytes:
    decompressor = brotli.Decompressor()
    out = within_body_limit(bytes(decompressor.process(data, output_buffer_limit=BODY_LIMIT + 1)))
    if not out and not decompressor.is_finished() and data:
        raise ContentDecodingError("damaged br content (cut short before any data)")
    return out


def _decompress(coding: str, data: bytes) -> bytes:
    if coding in ("gzip", "x-gzip"):
        return _inflate(data, 16 + zlib.MAX_WBITS, coding)
    if coding == "deflate":
        try:
            return _inflate(data, zlib.MAX_WBITS, coding)
        except InflateError:  # many servers send a raw deflate stream without the zlib wrapper
            return _inflate(data, -zlib.MAX_WBITS, coding)
    if coding == "br":
        return _brotli(data)
    raise ContentDecodingError(f"unsupported content encoding {coding!r}")


def _fails_at_once(decode: Callable[[bytes], object], data: bytes) -> bool:
    try:
        decode(data[:PROBE])
    except (InflateError, brotli.error):
        return True
    return False


def stored_decoded(coding: str, data: bytes) -> bool:
    """Whether `data`, labelled with this content coding, is plainly not in it, as when a crawler
    stored the body it had decoded under the original header: no gzip magic, or inflate or
    brotli fails on its first bytes."""
    if not data:
        return False
    if coding in ("gzip", "x-gzip"):
        return not data.startswith(GZIP_ID)
    if coding == "deflate":
        return (_fails_at_once(zlib.decompressobj(zlib.MAX_WBITS).decompress, data)
                and _fails_at_once(zlib.decompressobj(-zlib.MAX_WBITS).decompress, data))
    if coding == "br":
        return _fails_at_once(brotli.Decompressor().process, data)
    return False


def _codings(header: str) -> list[str]:
    return [coding for part in header.split(",") if (coding := part.strip().lower()) not in ("", "identity")]


def decode_body(head: HttpHead, body: bytes) -> tuple[bytes, tuple[str, ...]]:
    """The body without its transfer encodings and content encodings (each removed in reverse
    order of application), and the repairs made on the way: a coding that the body plainly does
    not have is left out, since many crawlers store the body they decoded under the original
    headers."""
    repairs: list[str] = []
    for coding in reversed(_codings(head.transfer_encoding)):
        if coding == "chunked":
            if starts_chunked(body):
                body = within_body_limit(dechunk(body))
            elif body:
                repairs.append(STORED_DECHUNKED)
        elif coding in COMPRESSIONS:  # other transfer codings are passed over, as before
            body = _remove(coding, body, repairs)
    for coding in reversed(_codings(head.content_encoding)):
        body = _remove(coding, body, repairs)
    return body, tuple(repairs)


def _remove(coding: str, body: bytes, repairs: list[str]) -> bytes:
    if coding in COMPRESSIONS and stored_decoded(coding, body):
        repairs.append(f"stored without {coding}")
        return body
    try:
        return _decompress(coding, body)
    except (InflateError, brotli.error) as error:
        raise ContentDecodingError(f"damaged {coding} content ({error})") from None
