"""`vornel warc` on archives with odd records: what is summarised, skipped or reported, how bodies are
decoded, and what is kept from inputs that cannot be read to their end."""

import gc
import gzip
import io
import re
import sys
import zlib

import brotli
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornel.crawl import Page, PageReader, PageTooLargeError, WarcError, read_pages, summarize_warcs
from vornel.crawl.line import page_line
from vornel.inspector import VornInspector

from helpers.crawl_archives import (DAMAGES, PACKINGS, Archive, ArcFile, damage, html_page, json_lines, pack,
                                    record_bytes, sorted_links, warc)

PAGE = html_page("Größe", '<a href="/a">a</a><a href="https://other.example/">o</a>')


def lines_of(archive, tmp_path, *args):
    result = warc(archive.save(tmp_path / "in.warc.gz"), "--quiet", *args)
    return result, json_lines(result.stdout)


def chunked(data, size=7, eol=b"\r\n"):
    pieces = [b"%x;ext=1%s%s%s" % (len(data[i:i + size]), eol, data[i:i + size], eol)
              for i in range(0, len(data), size)]
    return b"".join(pieces) + b"0" + eol + b"Trailer: x" + eol + eol


@pytest.mark.parametrize("body, headers", [
    (PAGE.encode(), []),
    (gzip.compress(PAGE.encode()), [("Content-Encoding", "gzip")]),
    (gzip.compress(PAGE.encode()), [("Content-Encoding", "x-gzip")]),
    (zlib.compress(PAGE.encode()), [("Content-Encoding", "deflate")]),
    (zlib.compress(PAGE.encode())[2:-4], [("Content-Encoding", "deflate")]),  # raw deflate, as some servers send
    (brotli.compress(PAGE.encode()), [("Content-Encoding", "br")]),
    (chunked(PAGE.encode()), [("Transfer-Encoding", "chunked")]),
    (chunked(PAGE.encode(), eol=b"\n"), [("Transfer-Encoding", "chunked")]),
    (chunked(PAGE.encode()), [("Transfer-Encoding", "CHUNKED")]),
    (chunked(gzip.compress(PAGE.encode())), [("Transfer-Encoding", "chunked"), ("Content-Encoding", "gzip")]),
    (brotli.compress(gzip.compress(PAGE.encode())), [("Content-Encoding", "gzip, br")]),
], ids=["identity", "gzip", "x-gzip", "deflate", "raw-deflate", "br", "chunked", "chunked-bare-lf",
        "chunked-upper-case", "chunked-gzip", "gzip-then-br"])
def test_transfer_and_content_encodings_are_removed(tmp_path, body, headers):
    archive = Archive().response("https://example.com/p", body, headers=headers)
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0, result.stderr
    expected = VornInspector(PAGE, "https://example.com/p").get_summary()
    assert [sorted_links(line["summary"]) for line in lines] == [sorted_links(expected)]


LONG_TEXT = "".join(f"<p>{number}</p>" for number in range(2000)).encode()
MINIFIED = html_page("One line", '<a href="/a">a</a>', ["https://other.example/x"]).encode()  # no line break
CHUNKED = [("Transfer-Encoding", "chunked"), ("Content-Length", "-1")]  # as recording proxies keep them
HEX_FIRST_LINE = b"add\n" + html_page("Hex", "<p>" + "word " * 800 + "</p>").encode()  # 'add' reads as a chunk size


@pytest.mark.parametrize("page, body, headers, repairs", [
    (MINIFIED, MINIFIED, CHUNKED, ["stored de-chunked"]),
    (PAGE.encode(), b"\n" + PAGE.encode() + b"\n", CHUNKED, ["stored de-chunked"]),
    (HEX_FIRST_LINE, HEX_FIRST_LINE, CHUNKED, ["stored de-chunked"]),
    (MINIFIED, MINIFIED, [("Content-Encoding", "gzip")], ["stored without gzip"]),
    (MINIFIED, MINIFIED, [("Content-Encoding", "x-gzip")], ["stored without x-gzip"]),
    (MINIFIED, MINIFIED, [("Content-Encoding", "deflate")], ["stored without deflate"]),
    (MINIFIED, MINIFIED, [("Content-Encoding", "br")], ["stored without br"]),
    (MINIFIED, MINIFIED, [*CHUNKED, ("Content-Encoding", "gzip")], ["stored de-chunked", "stored without gzip"]),
    (MINIFIED, gzip.compress(MINIFIED), [*CHUNKED, ("Content-Encoding", "gzip")], ["stored de-chunked"]),
    (MINIFIED, chunked(gzip.compress(MINIFIED)), [("Transfer-Encoding", "gzip, chunked")], None),
    (MINIFIED, gzip.compress(MINIFIED), [("Transfer-Encoding", "gzip, chunked")], ["stored de-chunked"]),
    (MINIFIED, brotli.compress(gzip.compress(MINIFIED)), [("Content-Encoding", "gzip"), ("Content-Encoding", "br")],
     None),
    (MINIFIED, b"", CHUNKED, None),
], ids=["dechunked-one-line", "dechunked-lines", "dechunked-hex-first-line", "gzip", "x-gzip", "deflate", "br",
        "chunked-and-gzip", "dechunked-but-gzipped", "gzip-chunked-transfer", "gzip-transfer-dechunked",
        "repeated-content-encoding", "empty"])
def test_a_body_stored_decoded_under_an_encoding_header_is_read_as_stored(tmp_path, page, body, headers, repairs):
    """Crawlers and recording proxies often store the body they decoded under the original headers;
    every such page is read as the reference readers read it, and the repair shows in its line."""
    archive = Archive().response("https://example.com/p", body, headers=headers)
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0, result.stderr
    [line] = lines
    assert line.get("repairs") == repairs
    expected = VornInspector(page.decode() if body else "", "https://example.com/p").get_summary()
    assert sorted_links(line["summary"]) == sorted_links(expected)
    if repairs:
        report = warc(tmp_path / "in.warc.gz").stderr.decode()
        counted = ", ".join(f"{kind} 1" for kind in sorted(repairs))
        assert f"  repairs           {len(repairs)} ({counted})" in report


def test_a_gzip_body_without_a_content_type_is_sniffed_once_decoded(tmp_path):
    archive = (Archive().response("https://example.com/page", gzip.compress(MINIFIED), content_type=None,
                                  headers=[("Content-Encoding", "gzip")])
               .response("https://example.com/data", gzip.compress(b"\x00\x01binary"), content_type=None,
                         headers=[("Content-Encoding", "gzip")]))
    result, lines = lines_of(archive, tmp_path)
    assert [line["url"] for line in lines] == ["https://example.com/page"]
    assert lines[0]["summary"]["title"] == "One line" and "repairs" not in lines[0]
    assert "not HTML 1" in warc(tmp_path / "in.warc.gz").stderr.decode()




@pytest.mark.parametrize("body, headers", [
    (gzip.compress(LONG_TEXT)[:-100], [("Content-Encoding", "gzip")]),
    (chunked(LONG_TEXT, 1000)[:-1500], [("Transfer-Encoding", "chunked")]),
], ids=["gzip", "chunked"])
def test_a_page_whose_content_stops_short_keeps_what_arrived(tmp_path, body, headers):
    archive = Archive().response("https://example.com/", body, headers=headers)
    [page] = read_pages(str(archive.save(tmp_path / "cut.warc.gz")))
    assert page.error is None and len(LONG_TEXT) / 2 < len(page.body) < len(LONG_TEXT)
    assert LONG_TEXT.startswith(page.body)


@pytest.mark.parametrize("body, headers, message", [
    (gzip.compress(LONG_TEXT)[:200] + b"\xff" * 300, [("Content-Encoding", "gzip")], "damaged gzip content"),
    (gzip.compress(b"")[:4], [("Content-Encoding", "gzip")], "damaged gzip content (cut short before any data)"),
    (brotli.compress(LONG_TEXT)[:1200] + bytes(300), [("Content-Encoding", "br")], "damaged br content"),
    (PAGE.encode(), [("Content-Encoding", "zstd")], "unsupported content encoding 'zstd'"),
    (b"5\r\n<p>ab\r\nzz\r\nnot hex\r\n", [("Transfer-Encoding", "chunked")], "bad chunked encoding (chunk size b'zz')"),
    (b"5\r\n<p>ab\r\n-5\r\nabcde\r\n0\r\n\r\n", [("Transfer-Encoding", "chunked")], "bad chunked encoding"),
    (b"40\r\n", [("Transfer-Encoding", "chunked")], "bad chunked encoding (cut short before any data)"),
], ids=["gzip", "gzip-empty-cut", "br", "zstd", "chunked", "chunk-size-negative", "chunk-empty-cut"])
def test_undecodable_content_is_an_error_line_and_the_run_goes_on(tmp_path, body, headers, message):
    archive = (Archive().response("https://example.com/bad", body, headers=headers)
               .response("https://example.com/good", PAGE.encode()))
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0
    assert lines[0]["error"]["type"] == "ContentDecodingError" and message in lines[0]["error"]["message"]
    assert lines[0]["status"] == 200 and "summary" not in lines[0] and "summary" in lines[1]


AT_LIMIT = b"<p>" + b" " * ((32 << 20) - 3)  # exactly the limit of a page's body
HUGE = AT_LIMIT + b" "  # one byte past it


@pytest.mark.parametrize("body, headers, fits", [
    (HUGE, [], False),
    (gzip.compress(HUGE), [("Content-Encoding", "gzip")], False),
    (zlib.compress(HUGE), [("Content-Encoding", "deflate")], False),
    (brotli.compress(HUGE), [("Content-Encoding", "br")], False),
    (gzip.compress(gzip.compress(HUGE)), [("Content-Encoding", "gzip, gzip")], False),
    (AT_LIMIT, [], True),
    (gzip.compress(AT_LIMIT), [("Content-Encoding", "gzip")], True),
], ids=["recorded", "gzip", "deflate", "br", "nested", "recorded-at-limit", "gzip-at-limit"])
def test_a_page_larger_than_the_limit_is_an_error_line_and_the_run_goes_on(tmp_path, body, headers, fits):
    """A decompression bomb, or a huge body recorded as HTML, must not exhaust a worker's memory;
    a body of exactly the limit is a page like any other."""
    archive = (Archive().response("https://example.com/huge", body, headers=headers)
               .response("https://example.com/good", PAGE.encode()))
    huge, good = read_pages(str(archive.save(tmp_path / "huge.warc.gz")))
    if fits:
        assert huge.error is None and huge.body == AT_LIMIT
    else:
        assert isinstance(huge.error, PageTooLargeError) and huge.body == b"" and huge.status == 200
    assert good.error is None and good.body == PAGE.encode()


LATIN = "Crème brûlée, «naïve» façade — Müller"


@pytest.mark.parametrize("body, content_type, encoding, text", [
    (LATIN.encode("cp1252"), "text/html; charset=windows-1252", "cp1252", LATIN),
    (LATIN.encode("cp1252"), "text/html; charset=ISO-8859-1", "cp1252", LATIN),  # browsers read latin1 as 1252
    ('<meta charset="shift_jis">日本語'.encode("shift_jis"), "text/html", "cp932", '<meta charset="shift_jis">日本語'),
    ('<meta http-equiv="Content-Type" content="text/html; charset=koi8-r">Привет'.encode("koi8-r"), "text/html",
     "koi8-r", '<meta http-equiv="Content-Type" content="text/html; charset=koi8-r">Привет'),
    ("\ufeff<p>UTF-16 ü".encode("utf-16-le"), "text/html", "utf-16-le", "<p>UTF-16 ü"),
    ("\ufeff<p>BOM beats header ü".encode("utf-8"), "text/html; charset=windows-1252", "utf-8",
     "<p>BOM beats header ü"),
    ((LATIN + " " + LATIN).encode("cp1252"), "text/html", "cp1252", LATIN + " " + LATIN),  # declared nowhere
    ("<p>plain UTF-8 ü 日本".encode(), "text/html", "utf-8", "<p>plain UTF-8 ü 日本"),
    (b"<p>caf\xe9 \xff", "text/html; charset=utf-8", "utf-8", "<p>caf\ufffd \ufffd"),  # bad bytes replaced
], ids=["header", "latin1-label", "meta-charset", "meta-http-equiv", "bom-utf16", "bom-over-header", "undeclared",
        "undeclared-utf8", "replacement"])
def test_charset_as_a_browser_finds_it(tmp_path, body, content_type, encoding, text):
    archive = Archive().response("https://example.com/", body, content_type=content_type)
    [page] = read_pages(str(archive.save(tmp_path / "a.warc.gz")))
    assert page.decode() == (encoding, text)
    [line] = lines_of(archive, tmp_path)[1]
    assert line["encoding"] == encoding
    assert sorted_links(line["summary"]) == sorted_links(VornInspector(text, "https://example.com/").get_summary())


def test_records_are_summarized_or_skipped_by_kind(tmp_path):
    archive = (Archive()
               .record("urn:x", "warcinfo", b"software: test\r\n", "application/warc-fields")
               .request("https://example.com/")
               .response("https://example.com/", PAGE.encode())
               .record("https://example.com/", "metadata", b"outlink: x\r\n", "application/warc-fields")
               .revisit("https://example.com/")
               .record("https://example.com/r", "resource", PAGE.encode(), "text/html")
               .raw("dns:example.com", b"20240501120000\nexample.com. 300 IN A 192.0.2.1\n", content_type="text/dns")
               .response("https://example.com/x.html", PAGE.encode(), content_type="application/xhtml+xml")
               .response("https://example.com/capitals", PAGE.encode(), content_type="TEXT/HTML; Charset=UTF-8")
               .response("https://example.com/sniffed", b"  <!DOCTYPE html><title>t</title>", content_type=None)
               .response("https://example.com/img.png", b"\x89PNG\r\n", content_type="image/png")
               .response("https://example.com/text", b"<p>not html", content_type="text/plain")
               .response("https://example.com/gone", PAGE.encode(), status="404 Not Found")
               .response("https://example.com/choices", PAGE.encode(), status="300 Multiple Choices")
               .response("https://example.com/moved", b"", status="301 Moved Permanently")
               .response("https://example.com/empty", b"", status="204 No Content"))
    result = warc(archive.save(tmp_path / "kinds.warc.gz"))
    assert result.returncode == 0
    assert [line["url"] for line in json_lines(result.stdout)] == [
        "https://example.com/", "https://example.com/x.html", "https://example.com/capitals",
        "https://example.com/sniffed", "https://example.com/empty"]
    report = result.stderr.decode()
    assert "16 records read" in report
    assert "(not a response 5, revisit 1, status not 2xx 3, not HTML 2)" in report


@pytest.mark.parametrize("block, message", [
    (b"just some bytes, no HTTP at all", "bad HTTP status line 'just some bytes, no HTTP at all'"),
    (b"HTTP/1.1 abc\r\n\r\n<p>x", "bad HTTP status line 'HTTP/1.1 abc"),
    (b"", "no HTTP response in the record"),
    (b"HTTP/1.1 100 Continue\r\n\r\n", "no final HTTP response after the interim ones"),
    (b"HTTP/1.1 200 OK\r\nX: " + b"a" * 70000 + b"\r\n\r\n<p>x", "no end of the HTTP headers in the first 65536 bytes"),
], ids=["no-status-line", "bad-status", "empty-block", "only-interim", "endless-headers"])
def test_a_record_with_broken_http_headers_is_an_error_line_not_the_end(tmp_path, block, message):
    archive = Archive().raw("https://example.com/broken", block).response("https://example.com/", PAGE.encode())
    result, lines = lines_of(archive, tmp_path, "--jobs", "1")
    assert result.returncode == 0 and result.stderr == b""
    assert lines[0]["status"] is None and lines[0]["error"]["type"] == "HTTPHeaderError"
    assert lines[0]["error"]["message"].startswith(message)
    assert lines[1]["url"] == "https://example.com/" and "summary" in lines[1]


MANY_HEADERS = b"".join(b"X-Header-%d: %d\r\n" % (number, number) for number in range(150))


@pytest.mark.parametrize("head", [
    b"HTTP/1.1 200 OK\nContent-Type: text/html\n\n",
    b"HTTP/1.1 200 OK\r\r\nContent-Type: text/html\r\r\n\r\r\n",
    b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n",
    b"HTTP/1.1 103 Early Hints\r\nLink: </s.css>\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n",
    b"HTTP/2 200\r\ncontent-type: text/html\r\n\r\n",
    b"HTTP/2.0 200 OK\r\nContent-Type: text/html\r\n\r\n",
    b"HTTP/1.1 200 OK\r\n" + MANY_HEADERS + b"Content-Type: text/html\r\n\r\n",
    b"HTTP/1.1 200 OK\r\nContent-Type:\r\n text/html\r\n\r\n",
], ids=["bare-line-feeds", "cr-cr-lf", "after-100-continue", "after-103", "http-2", "http-2.0", "150-headers",
        "folded"])
def test_headers_that_browsers_read_are_read(tmp_path, head):
    archive = Archive().raw("https://example.com/lf", head + PAGE.encode())
    result, [line] = lines_of(archive, tmp_path)
    assert line["summary"]["title"] == "Größe" and line["status"] == 200 and result.returncode == 0


def test_a_warc_header_longer_than_32_kib_is_read(tmp_path):
    long_url = "https://example.com/?q=" + "x" * 40_000
    archive = Archive().response(long_url, PAGE.encode())
    for number in range(3):
        archive.response(f"https://example.com/{number}", PAGE.encode())
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0 and [line["url"] for line in lines] == \
        [long_url] + [f"https://example.com/{n}" for n in range(3)]


def test_a_page_whose_summary_raises_is_an_error_line(tmp_path):
    archive = Archive().response("http://[oops/", PAGE.encode()).response("https://example.com/", PAGE.encode())
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0
    assert lines[0]["error"] == {"type": "ValueError", "message": "Invalid IPv6 URL"}
    assert lines[0]["encoding"] == "utf-8" and "summary" in lines[1]
    assert "errors            1 (summary raised 1)" in warc(tmp_path / "in.warc.gz").stderr.decode()


def five_pages(compress):
    """Five requests and responses, and where the last response starts."""
    archive = Archive(compress)
    for number in range(5):
        archive.request(f"https://example.com/{number}")
        last = archive.buffer.tell()
        archive.response(f"https://example.com/{number}", PAGE.encode())
    return archive.data(), last


(GZ, LAST_GZ), (RAW, LAST_RAW) = five_pages(True), five_pages(False)
LAST_LENGTH = int(re.search(rb"Content-Length: (\d+)", RAW[LAST_RAW:])[1])  # of the last record's content


JUNK_MEMBER = b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + b"\xff" * 40
NOT_WARC_MEMBER = gzip.compress(b"not a WARC record\r\n\r\n")


# Each damaged input: the pages kept and the message, when damage is skipped and with --strict.
@pytest.mark.parametrize("data, kept, message, strict_kept, strict_message", [
    (GZ[:-30], 4, f"skipped {len(GZ) - 30 - LAST_GZ} damaged bytes at byte offset {LAST_GZ} (a gzip member cut short)",
     4, f"a gzip member cut short at byte offset {LAST_GZ}"),
    (GZ[:LAST_GZ + 25], 4, f"skipped 25 damaged bytes at byte offset {LAST_GZ} (a gzip member cut short)",
     4, f"a gzip member cut short at byte offset {LAST_GZ}"),  # cut inside the WARC header
    (GZ + b"\0\0\0", 5, f"skipped 3 damaged bytes at byte offset {len(GZ)} (data that is not gzip)",
     5, f"data that is not gzip at byte offset {len(GZ)}"),
    (GZ[:LAST_GZ] + JUNK_MEMBER + GZ[LAST_GZ:], 5,
     f"skipped {len(JUNK_MEMBER)} damaged bytes at byte offset {LAST_GZ} (damaged gzip data (",
     4, f"damaged gzip data (Error -3 while decompressing data: invalid block type) at byte offset {LAST_GZ}"),
    (GZ[:LAST_GZ] + NOT_WARC_MEMBER + GZ[LAST_GZ:], 5,
     f"skipped {len(NOT_WARC_MEMBER)} damaged bytes at byte offset {LAST_GZ} (not a WARC record)",
     4, f"not a WARC record at byte offset {LAST_GZ}"),
    (RAW[:-100], 4, f"skipped {len(RAW) - 100 - LAST_RAW} damaged bytes at byte offset {LAST_RAW} (record cut short (",
     4, f"record cut short ({LAST_LENGTH - 96} of {LAST_LENGTH} bytes) at byte offset {LAST_RAW}"),
    (RAW[:-5], 4, f"skipped {len(RAW) - 5 - LAST_RAW} damaged bytes at byte offset {LAST_RAW} (record cut short (",
     4, f"record cut short ({LAST_LENGTH - 1} of {LAST_LENGTH} bytes) at byte offset {LAST_RAW}"),
    (RAW[:LAST_RAW + 40], 4, f"skipped 40 damaged bytes at byte offset {LAST_RAW} (WARC header cut short)",
     4, f"WARC header cut short at byte offset {LAST_RAW}"),
    (b"<html>a web page, not a WARC file</html>", 0, "not a WARC file (not a WARC record) at byte offset 0",
     0, "not a WARC file (not a WARC record) at byte offset 0"),
    (gzip.compress(b"<html>gzipped, not a WARC file</html>"), 0, "not a WARC file (not a WARC record)",
     0, "not a WARC file (not a WARC record)"),
], ids=["gz-cut", "gz-cut-in-header", "gz-trailing-zeros", "gz-damaged-member", "gz-member-not-warc", "raw-cut",
        "raw-cut-by-one-byte", "raw-cut-in-header", "not-warc", "gz-not-warc"])
@pytest.mark.parametrize("strict", [False, True], ids=["skipping", "strict"])
def test_damaged_inputs_keep_every_page_that_can_be_read(tmp_path, data, kept, message, strict_kept, strict_message,
                                                         strict):
    bad, good = tmp_path / "bad.warc.gz", tmp_path / "good.warc.gz"
    bad.write_bytes(data)
    good.write_bytes(GZ)
    result = warc(bad, good, "--jobs", "1", *(["--strict"] if strict else []))
    assert result.returncode == 1
    kept, message = (strict_kept, strict_message) if strict else (kept, message)
    assert [line["url"] for line in json_lines(result.stdout)] == \
        [f"https://example.com/{n}" for n in range(kept)] + [f"https://example.com/{n}" for n in range(5)]
    errors = result.stderr.decode()
    assert f"vornel: {bad}: {message}" in errors and "Traceback" not in errors
    assert errors.count(f"vornel: {bad}: ") == 1
    read_through = not strict and kept > 0
    assert ("not read to the end: 1 input" in errors) != read_through
    assert ("  damage skipped    " in errors) == read_through


@pytest.mark.parametrize("name", ["missing.warc.gz", "folder"])
def test_unreadable_paths_are_named_and_the_other_inputs_still_read(tmp_path, name):
    (tmp_path / "folder").mkdir()
    good = tmp_path / "good.warc.gz"
    good.write_bytes(GZ)
    result = warc(tmp_path / name, good, "-q")
    assert result.returncode == 1 and len(json_lines(result.stdout)) == 5
    assert result.stderr.decode().startswith(f"vornel: {tmp_path / name}: cannot read it (")


@pytest.mark.parametrize("data", [b"", gzip.compress(b"")], ids=["empty", "empty-gzip"])
def test_an_empty_archive_has_no_records_and_is_read_to_its_end(tmp_path, data):
    (tmp_path / "empty.warc.gz").write_bytes(data)
    result = warc(tmp_path / "empty.warc.gz")
    assert result.returncode == 0 and result.stdout == b""
    assert "0 records read" in result.stderr.decode()


def test_the_python_api_reads_pages_and_raises_at_the_fault(tmp_path):
    path = tmp_path / "cut.warc.gz"
    path.write_bytes(GZ[:LAST_GZ] + JUNK_MEMBER + GZ[LAST_GZ:-30])
    reader = read_pages(str(path), strict=True)
    pages = []
    with pytest.raises(WarcError, match="damaged gzip data") as fault:
        for page in reader:
            pages.append(page)
    assert fault.value.offset == LAST_GZ and len(pages) == 4
    assert all(isinstance(page, Page) and page.status == 200 for page in pages)
    assert reader.counts.records == 9 and reader.counts.skipped == {"not a response": 5}
    skipping = read_pages(str(path))
    assert len(list(skipping)) == 4 and skipping.counts.records == 9  # not the response cut short
    assert skipping.damage == [
        f"{path}: skipped {len(JUNK_MEMBER)} damaged bytes at byte offset {LAST_GZ} (damaged gzip data (Error -3 "
        "while decompressing data: invalid block type))",
        f"{path}: skipped {len(GZ) - 30 - LAST_GZ} damaged bytes at byte offset {LAST_GZ + len(JUNK_MEMBER)} "
        "(a gzip member cut short)"]
    assert (skipping.counts.damaged, skipping.counts.damaged_bytes) == (2, len(JUNK_MEMBER) + len(GZ) - 30 - LAST_GZ)


def test_the_python_api_runs_a_whole_job_into_a_stream(tmp_path):
    import io

    path = tmp_path / "a.warc.gz"
    path.write_bytes(GZ)
    out = io.BytesIO()
    report = summarize_warcs([str(path), str(path)], out, jobs=1)
    assert report.complete and report.counts.pages == 10 and report.counts.records == 20
    assert [line["url"] for line in json_lines(out.getvalue())] == [f"https://example.com/{n}" for n in range(5)] * 2


SEEDS = [Archive(compress).request("https://example.com/")
         .response("https://example.com/", PAGE.encode(), headers=[("Content-Encoding", "identity")])
         .revisit("https://example.com/")
         .raw("https://example.com/raw",
              b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n<p>ab\r\n0\r\n\r\n")
         .data() for compress in (True, False)]
SEEDS += [pack(damage(record_bytes("https://example.com/lf", PAGE.encode()), "bare-lf") * 2, "one-stream"),
          ArcFile(2, compress=True).record("http://example.com/", b"HTTP/1.0 200 OK\r\n\r\n<p>arc").data()]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.sampled_from(SEEDS), strict=st.booleans(), edits=st.lists(
    st.tuples(st.sampled_from(["set", "cut", "insert", "end"]), st.floats(0, 1), st.binary(min_size=1, max_size=30)),
    min_size=1, max_size=4))
def test_damaged_archives_give_pages_and_at_most_a_warc_error(tmp_path, seed, strict, edits):
    data = bytearray(seed)
    for kind, where, chunk in edits:
        at = int(where * len(data))
        if kind == "set":
            data[at:at + len(chunk)] = chunk
        elif kind == "cut":
            del data[at:at + len(chunk)]
        elif kind == "insert":
            data[at:at] = chunk
        else:
            del data[at:]
    path = tmp_path / "fuzzed.warc"
    path.write_bytes(data)
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        try:
            for page in read_pages(str(path), strict=strict):
                page_line(page)
        except WarcError:
            pass
        gc.collect()
    finally:
        sys.unraisablehook = hook
    assert unraisable == []


def served_pages(count=4):
    return [html_page(f"page {number}", "<p>" + "text " * (40 * number) + "</p>").encode() for number in range(count)]


@pytest.mark.parametrize("packing", PACKINGS)
@pytest.mark.parametrize("how", DAMAGES)
def test_a_damaged_record_does_not_end_the_file(tmp_path, how, packing):
    pages = served_pages()
    records = [record_bytes(f"https://example.com/{number}", page) for number, page in enumerate(pages)]
    # The record found again after the damage has its header's names in lower case, as the format allows.
    header, rest = records[2].split(b"\r\n\r\n", 1)
    records[2] = re.sub(rb"(?m)^[^:\r\n]+:", lambda name: name[0].lower(), header) + b"\r\n\r\n" + rest
    records[1:2] = damage(records[1], how)
    path = tmp_path / "damaged.warc"
    path.write_bytes(pack(records, packing))
    result = warc(path, "--jobs", "1")
    lines = json_lines(result.stdout)
    assert [line["url"] for line in lines] == [f"https://example.com/{number}" for number in range(4)]
    served = list(pages)
    if how == "short-length":  # read as its header says, as the reference readers do
        served[1] = pages[1][:-37]
    assert [page.body for page in read_pages(str(path))] == served  # a content cut short keeps no line ends
    for line, page in zip(lines, served, strict=True):
        expected = VornInspector(page.decode(), line["url"]).get_summary()
        assert sorted_links(line["summary"]) == sorted_links(expected), line["url"]
    assert [line.get("repairs") for line in lines] == \
        [None, ["cut at the next record"] if how == "long-length" else None, None, None]
    assert all(line["warc_record_length"] for line in lines) != (packing == "one-stream")  # damage or not
    errors = result.stderr.decode()
    if how in ("cr-cr-lf", "bare-lf"):  # read as warcio reads them: nothing is damaged
        assert result.returncode == 0 and "vornel: 1 input, 4 records" in errors
        return
    assert result.returncode == 1 and "Traceback" not in errors
    skipped, before = (41, 2) if how == "short-length" else (37, 1)  # bytes, and the records before them
    start = len(pack(records[:before], packing)) - (41 if how == "short-length" else 0)
    if how == "long-length":
        assert f"{path}: a Content-Length that runs into the next record at byte offset " in errors
    elif packing == "uncompressed" or how == "garbage-before" and packing == "per-record":
        assert f"{path}: skipped {skipped} damaged bytes at byte offset {start} (" in errors
    else:  # inside a gzip member: the bytes skipped after inflating, and where the member starts
        assert re.search(rf"{path}: skipped {skipped} damaged bytes in the gzip member at byte offset \d+ \(", errors)
    strict = warc(path, "--jobs", "1", "--strict")
    assert strict.returncode == 1 and "damaged bytes" not in strict.stderr.decode()
    assert len(json_lines(strict.stdout)) == (1 if how == "garbage-before" else 2)  # up to the damage


@pytest.mark.parametrize("packing", PACKINGS)
def test_damage_next_to_damage_is_all_reported(tmp_path, packing):
    """A Content-Length short by 37 bytes, then 37 bytes of garbage: the 41 bytes left in the
    record (its line ends included) and the garbage are both counted as skipped, whether the search
    after the first runs into the second inside one stream or at a gzip member that is not gzip."""
    pages = served_pages()
    records = [record_bytes(f"https://example.com/{number}", page) for number, page in enumerate(pages)]
    records[1:3] = damage(records[1], "short-length") + damage(records[2], "garbage-before")
    path = tmp_path / "damaged.warc"
    path.write_bytes(pack(records, packing))
    result = warc(path, "--jobs", "1")
    assert [line["url"] for line in json_lines(result.stdout)] == [f"https://example.com/{n}" for n in range(4)]
    assert result.returncode == 1
    assert re.search(r"damage skipped +78 bytes in [12] places?, 1 input", result.stderr.decode())


@pytest.mark.parametrize("packing", PACKINGS)
def test_each_line_locates_its_record_for_one_range_request(tmp_path, packing):
    """warc_record_offset and warc_record_length fetch the record back; with the file name they also
    name a record whose id is not UTF-8, which the line can only show with replacement characters.
    A target URI in angle brackets, as wget and other writers of WARC/1.0 put it, is given without them;
    of a field given twice, the first counts."""
    from warcio.archiveiterator import ArchiveIterator

    pages = served_pages()
    records = [record_bytes(f"https://example.com/{number}", page) for number, page in enumerate(pages)]
    odd_id = b"<urn:x:caf\xe9>"
    records[1] = re.sub(rb"WARC-Record-ID: <[^>]*>", lambda _: b"WARC-Record-ID: " + odd_id, records[1])
    records[2] = records[2].replace(b"WARC-Target-URI: https://example.com/2", b"WARC-Target-URI: <https://example.com/2>")
    records[3] = records[3].replace(b"WARC-Target-URI: https://example.com/3\r\n",  # the first one counts, as in warcio
                                    b"WARC-Target-URI: https://example.com/3\r\nWARC-Target-URI: https://x.example/\r\n")
    path = tmp_path / "located.warc.gz"
    data = pack(records, packing)
    path.write_bytes(data)
    result, lines = warc(path, "-q"), json_lines(warc(path, "-q").stdout)
    assert [list(line)[:10] for line in lines] == [[
        "url", "warc_filename", "warc_record_offset", "warc_record_length", "warc_record_id", "warc_date", "status",
        "content_type", "warc_payload_digest", "encoding"]] * 4
    assert all(line["warc_filename"] == str(path) and line["content_type"] == "text/html; charset=utf-8"
               and line["warc_payload_digest"].startswith("sha1:") for line in lines)
    assert lines[1]["warc_record_id"] == "<urn:x:caf\ufffd>"
    assert [line["url"] for line in lines] == [f"https://example.com/{number}" for number in range(4)]
    if packing == "one-stream":  # a record inside a shared member: the member, and no length
        assert [(line["warc_record_offset"], line["warc_record_length"]) for line in lines] == [(0, None)] * 4
        return
    for record, line in zip(records, lines, strict=True):
        offset, length = line["warc_record_offset"], line["warc_record_length"]
        assert (gzip.decompress(data[offset:offset + length]) if packing == "per-record"
                else data[offset:offset + length]) == record
        [fetched] = ArchiveIterator(io.BytesIO(data[offset:offset + length]))
        assert fetched.rec_headers.get_header("WARC-Target-URI").strip("<>") == line["url"]
    assert result.returncode == 0


@pytest.mark.parametrize("packing", ["uncompressed", "per-record"])
def test_a_reader_starts_exactly_at_any_offset_it_reported(tmp_path, packing):
    """A reader started at any offset it reported reads from that record on; one that ends at that
    offset stops before that record, where the next slice starts."""
    pages = served_pages(6)
    records = [record_bytes(f"https://example.com/{number}", page) for number, page in enumerate(pages)]
    path = tmp_path / "start.warc"
    path.write_bytes(pack(records, packing))
    everything = list(read_pages(str(path)))
    for number, page in enumerate(everything):
        rest = list(PageReader(str(path), start=page.offset))
        assert [later.url for later in rest] == [later.url for later in everything[number:]]
        assert rest[0] == page
        # A range that ends exactly where a record starts stops before it, and says where it is.
        before = PageReader(str(path), end=page.offset)
        assert [earlier.url for earlier in before] == [earlier.url for earlier in everything[:number]]
        assert before.next == page.offset
        assert [later.url for later in PageReader(str(path), end=page.offset + 1)][-1:] == [page.url]


@pytest.mark.parametrize("packing", ["uncompressed", "per-record"])
def test_records_that_cannot_be_classified_are_damage_not_success(tmp_path, packing):
    records = [record_bytes(f"https://example.com/{number}", page) for number, page in enumerate(served_pages(3))]
    untyped = [re.sub(rb"WARC-Type: response\r\n", b"", record) for record in records]
    path = tmp_path / "untyped.warc"
    path.write_bytes(pack([records[0], untyped[1], records[2]], packing))
    result = warc(path, "--jobs", "1")
    assert [line["url"] for line in json_lines(result.stdout)] == ["https://example.com/0", "https://example.com/2"]
    start = len(pack(records[:1], packing))
    length = len(pack(untyped[1:2], packing))
    assert result.returncode == 1 and \
        f"{path}: skipped {length} damaged bytes at byte offset {start} (WARC header without WARC-Type)" in \
        result.stderr.decode()
    path.write_bytes(pack(untyped, packing))
    result = warc(path, "--jobs", "1")
    assert result.returncode == 1 and result.stdout == b""
    assert f"{path}: not a WARC file (WARC header without WARC-Type) at byte offset 0" in result.stderr.decode()
