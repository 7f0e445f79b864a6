"""The HTTP response inside a WARC record: its status line and headers, then its body with the
transfer and content encodings removed, as a browser receives it."""

import http.client
import io
import re
from dataclasses import dataclass

import brotli  # type: ignore[import-untyped]
from zlib_ng import zlib_ng as zlib

from vornel.crawl.members import InflateError

# The status line and headers must lie within this many bytes of the record's start.
HEAD_LIMIT = 1 << 16
# The most bytes a page's body may have, as recorded and after each decoding step. Far beyond any
# real page, it keeps a decompression bomb or a mislabelled video from exhausting a worker's memory.
BODY_LIMIT = 32 << 20
CHUNK_SIZE = re.compile(rb"[0-9A-Fa-f]{1,16}")


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


def bounded(data: bytes) -> bytes:
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


class _Socket:
    """What http.client.HTTPResponse reads a response from."""

    def __init__(self, data: bytes) -> None:
        self.file = io.BytesIO(data)

    def makefile(self, mode: str) -> io.BytesIO:
        return self.file


def parse_head(head: bytes) -> HttpHead:
    """The status and headers at the start of `head`, the first bytes of a record's block.

    Interim responses (100 Continue) before the final one are passed over, as a browser does.
    """
    if not head.strip():
        raise HTTPHeaderError("no HTTP response in the record")
    if len(head) >= HEAD_LIMIT and b"\r\n\r\n" not in head and b"\n\n" not in head:
        raise HTTPHeaderError(f"no end of the HTTP headers in the first {HEAD_LIMIT} bytes")
    socket = _Socket(head)
    response = http.client.HTTPResponse(socket)  # type: ignore[arg-type]
    try:
        response.begin()
        length = socket.file.tell()
    except http.client.RemoteDisconnected:
        raise HTTPHeaderError("no final HTTP response after the interim ones") from None
    except http.client.BadStatusLine as error:
        raise HTTPHeaderError(f"bad HTTP status line {error.args[0] if error.args else ''!r}") from None
    except (http.client.HTTPException, ValueError) as error:
        raise HTTPHeaderError(f"bad HTTP headers ({error})") from None
    finally:
        response.close()  # now, not in a finalizer after its buffer has gone
    headers = response.headers
    return HttpHead(
        status=response.status,
        content_type=headers.get("Content-Type"),
        transfer_encoding=headers.get("Transfer-Encoding", ""),
        content_encoding=headers.get("Content-Encoding", ""),
        length=length,
    )


def dechunk(body: bytes) -> bytes:
    """The data of a chunked body; what arrived of it when the chunks stop short, as in a browser.

    Written out here because the decoders at hand either take a cut for a syntax error
    (http.client) or refuse chunk extensions (FastWARC).
    """
    pieces = []
    position = 0
    while (line_end := body.find(b"\n", position)) >= 0:
        size = body[position:line_end].split(b";", 1)[0].strip()
        if not CHUNK_SIZE.fullmatch(size):
            raise ContentDecodingError(f"bad chunked encoding (chunk size {size[:20]!r})")
        if size.strip(b"0") == b"":
            break  # the last chunk; trailers are of no interest
        start = line_end + 1
        end = start + int(size, 16)
        pieces.append(body[start:end])
        position = end + (2 if body.startswith(b"\r\n", end) else 1)
    return b"".join(pieces)


def _inflate(data: bytes, wbits: int) -> bytes:
    # A stream cut short gives what it holds, as in a browser; only damaged data is an error.
    return bounded(zlib.decompressobj(wbits).decompress(data, BODY_LIMIT + 1))


def _decompress(coding: str, data: bytes) -> bytes:
    if coding in ("", "identity"):
        return data
    if coding in ("gzip", "x-gzip"):
        return _inflate(data, 16 + zlib.MAX_WBITS)
    if coding == "deflate":
        try:
            return _inflate(data, zlib.MAX_WBITS)
        except InflateError:  # many servers send a raw deflate stream without the zlib wrapper
            return _inflate(data, -zlib.MAX_WBITS)
    if coding == "br":
        return bounded(bytes(brotli.Decompressor().process(data, output_buffer_limit=BODY_LIMIT + 1)))
    raise ContentDecodingError(f"unsupported content encoding {coding!r}")


def decode_body(head: HttpHead, body: bytes) -> bytes:
    """The body without its transfer encoding and its content encodings (applied in header order)."""
    if "chunked" in head.transfer_encoding.lower():
        body = dechunk(body)
    codings = [coding.strip().lower() for coding in head.content_encoding.split(",")]
    for coding in reversed(codings):
        try:
            body = _decompress(coding, body)
        except (InflateError, brotli.error) as error:
            raise ContentDecodingError(f"damaged {coding} content ({error})") from None
    return body
