"""WARC archives for the tests of `vornel warc`, written with warcio (and by hand where a record must
be broken in a way no library writes), and a runner for the command."""

import datetime
import gzip
import io
import json
import os
import re
import subprocess
import sys
import uuid

from warcio.statusandheaders import StatusAndHeaders
from warcio.warcwriter import WARCWriter

from bench.process_tree import command_line, cpu_seconds, descendants


class Archive:
    """A WARC file in memory, gzip-compressed per record or not."""

    def __init__(self, compress=True):
        self.compress = compress
        self.buffer = io.BytesIO()
        self.writer = WARCWriter(self.buffer, gzip=compress)

    def response(self, uri, body, content_type="text/html; charset=utf-8", status="200 OK", headers=()):
        fields = [("Content-Type", content_type)] if content_type is not None else []
        http = StatusAndHeaders(status, fields + list(headers), protocol="HTTP/1.1")
        record = self.writer.create_warc_record(uri, "response", payload=io.BytesIO(body), length=len(body),
                                                http_headers=http)
        self.writer.write_record(record)
        return self

    def request(self, uri):
        http = StatusAndHeaders(f"GET {uri} HTTP/1.1", [("Host", "example.com")], is_http_request=True)
        self.writer.write_record(self.writer.create_warc_record(uri, "request", payload=io.BytesIO(b""), length=0,
                                                                http_headers=http))
        return self

    def record(self, uri, kind, payload, content_type):
        self.writer.write_record(self.writer.create_warc_record(
            uri, kind, payload=io.BytesIO(payload), length=len(payload), warc_content_type=content_type))
        return self

    def revisit(self, uri):
        http = StatusAndHeaders("200 OK", [("Content-Type", "text/html")], protocol="HTTP/1.1")
        self.writer.write_record(self.writer.create_revisit_record(
            uri, "sha1:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", uri, "2024-01-01T00:00:00Z", http_headers=http))
        return self

    def raw(self, uri, block, kind="response", content_type="application/http; msgtype=response", level=9):
        """A record written by hand, for blocks that no WARC library writes (`level` 0 stores it)."""
        header = (f"WARC/1.0\r\nWARC-Type: {kind}\r\nWARC-Record-ID: <urn:uuid:{uuid.uuid4()}>\r\n"
                  f"WARC-Date: 2024-05-01T12:00:00Z\r\nWARC-Target-URI: {uri}\r\nContent-Type: {content_type}\r\n"
                  f"Content-Length: {len(block)}\r\n\r\n")
        record = header.encode() + block + b"\r\n\r\n"
        self.buffer.write(gzip.compress(record, level) if self.compress else record)
        return self

    def data(self):
        return self.buffer.getvalue()

    def save(self, path):
        path.write_bytes(self.data())
        return path


def html_page(title, body="", links=()):
    anchors = "".join(f'<a href="{href}">{href}</a>' for href in links)
    return f"<html><head><title>{title}</title></head><body><h1>{title}</h1>{body}{anchors}</body></html>"


def vornel(*args, input=None, env=None, timeout=300, cwd=None):
    """Runs the installed `vornel` command; output as bytes."""
    return subprocess.run([sys.executable, "-m", "vornel", *map(str, args)], input=input, capture_output=True,
                          env={**os.environ, **(env or {})}, timeout=timeout, cwd=cwd)


def json_lines(data):
    return [json.loads(line) for line in data.splitlines()]


def sorted_links(summary):
    """The summary with its link lists sorted: they come from sets, whose order varies between processes."""
    links = {kind: sorted(urls) for kind, urls in summary["links"].items()}
    return {**summary, "links": links}


def warc(*args, **options):
    return vornel("warc", *args, **options)


# The pages of the crawl tests' shared archive: enough for several slices at the smaller slice sizes.
SHARED_ARCHIVE_PAGES = 300


def many_pages(count, seed=1):
    """An archive of `count` request and response pairs whose pages differ in size and content."""
    import random

    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "crawl", "page", "link", "über", "naïve", "日本"]
    archive = Archive()
    for number in range(count):
        uri = f"https://site{number % 7}.example/page/{number}"
        text = " ".join(rng.choice(words) for _ in range(rng.randrange(50, 2000)))
        links = [f"/page/{rng.randrange(count)}" for _ in range(rng.randrange(0, 30))] + ["https://other.example/"]
        archive.request(uri).response(uri, html_page(f"Page {number}", f"<p>{text}</p>", links).encode())
    return archive


def record_bytes(uri, body, **options):
    """One response record as warcio writes it, uncompressed."""
    return Archive(compress=False).response(uri, body, **options).data()


# How a file holds its records: as they are, a gzip member each, or all in one gzip stream.
PACKINGS = ["uncompressed", "per-record", "one-stream"]


class Raw(bytes):
    """Bytes that `pack` leaves as they are between gzip members."""


def pack(records, packing):
    if packing == "uncompressed":
        return b"".join(records)
    if packing == "per-record":
        return b"".join(record if isinstance(record, Raw) else gzip.compress(record) for record in records)
    return gzip.compress(b"".join(records))


GARBAGE = b"37 bytes of garbage between records.."

# Faults that real archives hold and no library writes, made in a record warcio wrote.
DAMAGES = ["short-length", "long-length", "garbage-before", "cr-cr-lf", "bare-lf"]


def damage(record, how, by=37):
    """The record with one fault, as a list of pieces for `pack`: a Content-Length `by` bytes short
    or long, garbage before it, or header lines ending in CR CR LF or a bare LF."""
    header_end = record.index(b"\r\n\r\n") + 4
    header, rest = record[:header_end], record[header_end:]
    length = int(re.search(rb"Content-Length: (\d+)", header)[1])
    if how in ("short-length", "long-length"):
        wrong = length - by if how == "short-length" else length + by
        return [header.replace(b"Content-Length: %d" % length, b"Content-Length: %d" % wrong) + rest]
    if how == "garbage-before":
        return [Raw(GARBAGE[:by]), record]
    ending = b"\r\r\n" if how == "cr-cr-lf" else b"\n"
    return [header.replace(b"\r\n", ending) + rest]


ARC_FIELDS = {
    1: "URL IP-address Archive-date Content-type Archive-length",
    2: "URL IP-address Archive-date Content-type Result-code Checksum Location Offset Filename Archive-length",
}


class ArcFile:
    """An ARC file written byte by byte, version 1 or 2 header lines, gzip-compressed per record or not."""

    def __init__(self, version=1, compress=False, name="crawl.arc"):
        self.version, self.compress, self.name = version, compress, name
        self.buffer = io.BytesIO()
        self.offsets = []  # where each record starts
        block = f"{version} 0 vornel-tests\n{ARC_FIELDS[version]}\n".encode()
        self._write(f"filedesc://{name} 0.0.0.0 20240501120000 text/plain {len(block)}", block)

    def record(self, url, block, date="20240501120000", content_type="text/html"):
        status = block.split(b" ", 2)[1].decode() if block.startswith(b"HTTP/") else "-"
        if self.version == 1:
            line = f"{url} 127.0.0.1 {date} {content_type} {len(block)}"
        else:
            line = f"{url} 127.0.0.1 {date} {content_type} {status} - - {self.buffer.tell()} {self.name} {len(block)}"
        self._write(line, block)
        return self

    def _write(self, line, block):
        self.offsets.append(self.buffer.tell())
        data = line.encode() + b"\n" + block + b"\n"
        self.buffer.write(gzip.compress(data) if self.compress else data)

    def data(self):
        return self.buffer.getvalue()


def fetch_raw(base, path):
    """The bytes the server at `base` sent for `path`, status line and headers included, as a crawler
    records them."""
    import socket

    port = int(base.rsplit(":", 1)[1])
    with socket.create_connection(("127.0.0.1", port), timeout=30) as connection:
        connection.sendall(f"GET {path} HTTP/1.0\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode())
        received = []
        while data := connection.recv(65536):
            received.append(data)
    return b"".join(received)


# Hostile pages: small in the archive, costly to parse or to summarise.
def unclosed_divs(count):
    """`count` nested <div> elements never closed: the parse time grows much faster than the page."""
    return b"<html><body>" + b"<div>" * count


def header_cells(size):
    """About `size` bytes of <th>x cells in one row: the summary holds every cell's text."""
    return b"<table><tr>" + b"<th>x" * (size // 5)


def form_inputs(count):
    """A form of `count` inputs: 14 bytes of HTML make 66 bytes of the summary's line."""
    return b"<form>" + b"<input name=a>" * count


def long_images(count=8, size=1 << 20):
    """`count` images whose addresses are `size` bytes long: a line of megabytes for little work."""
    return b"".join(b'<img src="/%d%s">' % (number, b"a" * size) for number in range(count))


def gzipped_twice(body):
    """The body and the header that make it travel gzip-encoded twice, as a few hundred bytes."""
    return gzip.compress(gzip.compress(body, 9), 9), [("Content-Encoding", "gzip, gzip")]


def hostile_archive(*bodies, before=1, after=1, compress=True):
    """An archive with the hostile `bodies` (each gzip-encoded twice) between ordinary pages."""
    archive = Archive(compress=compress)
    number = 0
    for body in [None] * before + list(bodies) + [None] * after:
        uri = f"https://example.com/{number}"
        if body is None:
            archive.response(uri, html_page(f"page {number}").encode())
        else:
            data, headers = gzipped_twice(body)
            archive.response(uri, data, headers=headers)
        number += 1
    return archive


def ordinary_and_hostile(hostile, before=30, after=30, compress=True, filler="<p>words</p>" * 100):
    """`before` ordinary pages, the hostile body (gzip-encoded twice) at https://example.com/hostile,
    then `after` ordinary pages (`filler` in each); returns the archive and the URLs of its pages."""
    archive = Archive(compress=compress)
    urls = []
    for number in range(before + 1 + after):
        uri = f"https://example.com/{number}" if number != before else "https://example.com/hostile"
        if number == before:
            data, headers = gzipped_twice(hostile)
            archive.response(uri, data, headers=headers)
        else:
            archive.response(uri, html_page(f"page {number}", filler).encode())
        urls.append(uri)
    return archive, urls


def slow_pages(count, divs=4000):
    """An archive of `count` pages that take tens of milliseconds each (unclosed <div>s), with links."""
    archive = Archive()
    for number in range(count):
        links = [f"/page/{(number * 7 + link) % count}" for link in range(5)]
        archive.response(f"https://example.com/{number}",
                         html_page(f"page {number}", "<div>" * divs, links).encode())
    return archive


def archived_archive(inner_page=None):
    """An archive with a record whose payload holds a .warc.gz member byte for byte: random bytes do not
    compress, so deflate stores them, and the inner member is there to be found by a search."""
    inner = Archive().response("https://inner.example/", inner_page or html_page("inner").encode()).data()
    payload = os.urandom(50_000) + inner + os.urandom(150_000)
    archive = Archive().response("https://example.com/before", html_page("before").encode())
    http = b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %d\r\n\r\n" % len(payload)
    archive.raw("https://example.com/crawl.warc.gz", http + payload, level=0)  # stored as it is
    for number in range(20):
        archive.response(f"https://example.com/after/{number}", html_page(f"after {number}", "x" * 3000).encode())
    return archive.data(), inner


def busy_worker(pid, seconds, timeout=120):
    """Waits until a worker process of vornel `pid` has used `seconds` of CPU; returns its pid."""
    import time

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for child in workers_of(pid):
            if cpu_seconds(child) >= seconds:
                return child
        time.sleep(0.05)
    raise AssertionError(f"no worker of {pid} got busy")


def workers_of(pid):
    """The worker processes of a running vornel."""
    return [child for child in descendants(pid) if "spawn_main" in command_line(child)]


def varied_archive(extra_pages=()):
    """An archive whose pages fill every column of a page line: forms, meta data, tables, headings,
    JSON-LD, images; a page that fails (a bad HTTP status line), one read leniently (a body stored
    de-chunked), one in windows-1252, and `extra_pages` (paths of saved pages) after them."""
    from helpers.pages import AWKWARD_PAGE, SAMPLE_PAGE

    archive = Archive()
    archive.request("https://example.com/").response("https://example.com/", SAMPLE_PAGE.read_bytes())
    archive.response("https://example.com/awkward", AWKWARD_PAGE.encode())
    archive.raw("https://example.com/broken", b"HTTP/1.1 OK\r\nContent-Type: text/html\r\n\r\n<p>x")
    archive.response("https://example.com/dechunked", html_page("stored de-chunked").encode(),
                     headers=[("Transfer-Encoding", "chunked")])
    archive.response("https://example.fr/menu", "<title>Menú · café</title><p>déjà".encode("cp1252"),
                     content_type="text/html; charset=windows-1252")
    for number, path in enumerate(extra_pages):
        archive.response(f"https://corpus.example/{number}", path.read_bytes())
    return archive


def rows_as_lines(rows):
    """Rows read back from Parquet in the shape of JSON lines: the summary's columns gathered into
    `summary` (or left out with `error`), `warc_date` written as in the WARC header, `repairs` left
    out when there are none, meta data as a dict."""
    lines = []
    for row in rows:
        row = dict(row)
        summary = {name: row.pop(name) for name in ("title", "metadata", "forms", "links", "media", "structure")}
        moment = row["warc_date"]
        row["warc_date"] = moment.astimezone(datetime.UTC).strftime("%Y-%m-%dT%H:%M:%SZ")
        if row.get("repairs") is None:
            row.pop("repairs")
        error = row.pop("error")
        if error is None:
            metadata = summary["metadata"]
            summary["metadata"] = dict(metadata) if not isinstance(metadata, dict) else metadata
            row["summary"] = summary
        else:
            row["error"] = error
        lines.append(row)
    return lines


def read_parquet_rows(path, reader):
    """Every row of a Parquet file or folder as dicts, read by `reader`: "pyarrow" or "duckdb"."""
    path = str(path)
    if reader == "pyarrow":
        import pyarrow.dataset

        return pyarrow.dataset.dataset(path, format="parquet").to_table().to_pylist()
    import duckdb

    connection = duckdb.connect()
    try:
        connection.execute("SET TimeZone = 'UTC'")
        pattern = f"{path}/*.parquet" if os.path.isdir(path) else path
        cursor = connection.execute(  # in the order of the parts and of the rows in each
            "SELECT * EXCLUDE (filename, file_row_number) FROM read_parquet(?, filename = true, "
            "file_row_number = true) ORDER BY filename, file_row_number", [pattern])
        names = [column[0] for column in cursor.description]
        return [dict(zip(names, values, strict=True)) for values in cursor.fetchall()]
    finally:
        connection.close()


def comparable(line):
    """A JSON line with the link lists sorted and the keys in one order, for comparing two readers."""
    line = dict(line)
    if "summary" in line:
        line["summary"] = sorted_links(line["summary"])
    return json.dumps(line, sort_keys=True, ensure_ascii=False)


def folder_rows(folder):
    """The parts of a folder output: name -> its lines (JSON Lines) or rows (Parquet, through pyarrow)."""
    import pyarrow.parquet

    found = {}
    for part in sorted(folder.glob("part-*")):
        if part.suffix == ".parquet":
            found[part.name] = pyarrow.parquet.read_table(part).to_pylist()
        else:
            found[part.name] = part.read_bytes()
    return found
