"""Write a small web archive of the example pages, as a crawler would have fetched them.

    python examples/build_warc.py OUT.warc.gz

Each page becomes a request and a response record (gzip-compressed one by one, as crawlers write
them): the bakery's page in UTF-8, its menu in windows-1252 declared only in the HTTP header, its
Tokyo branch in Shift_JIS declared in a <meta> tag, and the bakery's page once more with gzip
content encoding. A redirect, a 404 page and an image show what `vornel warc` skips.
"""

import gzip
import sys
from pathlib import Path

from fastwarc.stream_io import GzipWriter
from fastwarc.warc import WarcRecord, WarcRecordType

PAGES = Path(__file__).with_name("pages")
SITE = "https://harbourlights.example"


def http_response(status: str, headers: dict[str, str], body: bytes) -> bytes:
    lines = [f"HTTP/1.1 {status}", *(f"{name}: {value}" for name, value in headers.items()),
             f"Content-Length: {len(body)}", "", ""]
    return "\r\n".join(lines).encode() + body


def write(out: GzipWriter, kind: WarcRecordType, url: str, block: bytes) -> None:
    record = WarcRecord()
    record.init_headers(kind)
    record.headers["WARC-Target-URI"] = url
    message = "request" if kind == WarcRecordType.request else "response"
    record.headers["Content-Type"] = f"application/http; msgtype={message}"
    record.set_bytes_content(block)
    record.write(out)
    out.finish()  # one gzip member per record


def fetch(out: GzipWriter, path: str, status: str, headers: dict[str, str], body: bytes) -> None:
    request = f"GET {path} HTTP/1.1\r\nHost: harbourlights.example\r\n\r\n".encode()
    write(out, WarcRecordType.request, SITE + path, request)
    write(out, WarcRecordType.response, SITE + path, http_response(status, headers, body))


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    sample = (PAGES / "sample.html").read_bytes()
    with open(argv[0], "wb") as file:
        out = GzipWriter(file)
        fetch(out, "/", "200 OK", {"Content-Type": "text/html; charset=utf-8"}, sample)
        fetch(out, "/menu", "200 OK", {"Content-Type": "text/html; charset=windows-1252"},
              (PAGES / "menu-windows-1252.html").read_bytes())
        fetch(out, "/tokyo/", "200 OK", {"Content-Type": "text/html"}, (PAGES / "tokyo-shift_jis.html").read_bytes())
        fetch(out, "/index.html", "200 OK", {"Content-Type": "text/html; charset=utf-8", "Content-Encoding": "gzip"},
              gzip.compress(sample))
        fetch(out, "/about", "301 Moved Permanently", {"Location": "/about/"}, b"")
        fetch(out, "/about/", "404 Not Found", {"Content-Type": "text/html"}, b"<h1>Not found</h1>")
        fetch(out, "/static/logo.svg", "200 OK", {"Content-Type": "image/svg+xml"}, b"<svg/>")
        out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
