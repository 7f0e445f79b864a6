"""`vornel warc` on archives with odd records: what is summarised, skipped or reported, how bodies are
decoded, and what is kept from inputs that cannot be read to their end."""

import gc
import gzip
import sys
import zlib

import brotli
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vornel.crawl import Page, PageTooLargeError, WarcError, read_pages, summarize_warcs
from vornel.crawl.line import page_line
from vornel.inspector import VornInspector

from crawl_archives import Archive, html_page, json_lines, sorted_links, warc

PAGE = html_page("Größe", '<a href="/a">a</a><a href="https://other.example/">o</a>')


def lines_of(archive, tmp_path, *args):
    result = warc(archive.save(tmp_path / "in.warc.gz"), "--quiet", *args)
    return result, json_lines(result.stdout)


def chunked(data, size=7):
    pieces = [b"%x;ext=1\r\n%s\r\n" % (len(data[i:i + size]), data[i:i + size]) for i in range(0, len(data), size)]
    return b"".join(pieces) + b"0\r\nTrailer: x\r\n\r\n"


@pytest.mark.parametrize("body, headers", [
    (PAGE.encode(), []),
    (gzip.compress(PAGE.encode()), [("Content-Encoding", "gzip")]),
    (gzip.compress(PAGE.encode()), [("Content-Encoding", "x-gzip")]),
    (zlib.compress(PAGE.encode()), [("Content-Encoding", "deflate")]),
    (zlib.compress(PAGE.encode())[2:-4], [("Content-Encoding", "deflate")]),  # raw deflate, as some servers send
    (brotli.compress(PAGE.encode()), [("Content-Encoding", "br")]),
    (chunked(PAGE.encode()), [("Transfer-Encoding", "chunked")]),
    (chunked(gzip.compress(PAGE.encode())), [("Transfer-Encoding", "chunked"), ("Content-Encoding", "gzip")]),
    (brotli.compress(gzip.compress(PAGE.encode())), [("Content-Encoding", "gzip, br")]),
], ids=["identity", "gzip", "x-gzip", "deflate", "raw-deflate", "br", "chunked", "chunked-gzip", "gzip-then-br"])
def test_transfer_and_content_encodings_are_removed(tmp_path, body, headers):
    archive = Archive().response("https://example.com/p", body, headers=headers)
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0, result.stderr
    expected = VornInspector(PAGE, "https://example.com/p").get_summary()
    assert [sorted_links(line["summary"]) for line in lines] == [sorted_links(expected)]


LONG_TEXT = "".join(f"<p>{number}</p>" for number in range(2000)).encode()


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
    (b"this is not gzip", [("Content-Encoding", "gzip")], "damaged gzip content"),
    (b"\x00" * 20, [("Content-Encoding", "br")], "damaged br content"),
    (PAGE.encode(), [("Content-Encoding", "zstd")], "unsupported content encoding 'zstd'"),
    (b"zz\r\nnot hex\r\n", [("Transfer-Encoding", "chunked")], "bad chunked encoding (chunk size b'zz')"),
    (b"-5\r\nabcde\r\n0\r\n\r\n", [("Transfer-Encoding", "chunked")], "bad chunked encoding"),
], ids=["gzip", "br", "zstd", "chunked", "chunk-size-negative"])
def test_undecodable_content_is_an_error_line_and_the_run_goes_on(tmp_path, body, headers, message):
    archive = (Archive().response("https://example.com/bad", body, headers=headers)
               .response("https://example.com/good", PAGE.encode()))
    result, lines = lines_of(archive, tmp_path)
    assert result.returncode == 0
    assert lines[0]["error"]["type"] == "ContentDecodingError" and message in lines[0]["error"]["message"]
    assert lines[0]["status"] == 200 and "summary" not in lines[0] and "summary" in lines[1]


HUGE = b"<p>" + b" " * (32 << 20)  # one byte past the limit of a page's body


@pytest.mark.parametrize("body, headers", [
    (HUGE, []),
    (gzip.compress(HUGE), [("Content-Encoding", "gzip")]),
    (zlib.compress(HUGE), [("Content-Encoding", "deflate")]),
    (brotli.compress(HUGE), [("Content-Encoding", "br")]),
    (gzip.compress(gzip.compress(HUGE)), [("Content-Encoding", "gzip, gzip")]),
], ids=["recorded", "gzip", "deflate", "br", "nested"])
def test_a_page_larger_than_the_limit_is_an_error_line_and_the_run_goes_on(tmp_path, body, headers):
    """A decompression bomb, or a huge body recorded as HTML, must not exhaust a worker's memory."""
    archive = (Archive().response("https://example.com/huge", body, headers=headers)
               .response("https://example.com/good", PAGE.encode()))
    huge, good = read_pages(str(archive.save(tmp_path / "huge.warc.gz")))
    assert isinstance(huge.error, PageTooLargeError) and huge.body == b"" and huge.status == 200
    assert good.error is None and good.body == PAGE.encode()


LATIN = "Crème brûlée, «naïve» façade — Müller"


@pytest.mark.parametrize("body, content_type, encoding, text", [
    (LATIN.encode("cp1252"), "text/html; charset=windows-1252", "cp1252", LATIN),
    (LATIN.encode("cp1252"), "text/html; charset=ISO-8859-1", "cp1252", LATIN),  # browsers read latin1 as 1252
    (f'<meta charset="shift_jis">日本語'.encode("shift_jis"), "text/html", "cp932", '<meta charset="shift_jis">日本語'),
    (f'<meta http-equiv="Content-Type" content="text/html; charset=koi8-r">Привет'.encode("koi8-r"), "text/html",
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


def test_records_are_summarised_or_skipped_by_kind(tmp_path):
    archive = (Archive()
               .record("urn:x", "warcinfo", b"software: test\r\n", "application/warc-fields")
               .request("https://example.com/")
               .response("https://example.com/", PAGE.encode())
               .record("https://example.com/", "metadata", b"outlink: x\r\n", "application/warc-fields")
               .revisit("https://example.com/")
               .record("https://example.com/r", "resource", PAGE.encode(), "text/html")
               .raw("dns:example.com", b"20240501120000\nexample.com. 300 IN A 192.0.2.1\n", content_type="text/dns")
               .response("https://example.com/x.html", PAGE.encode(), content_type="application/xhtml+xml")
               .response("https://example.com/sniffed", b"  <!DOCTYPE html><title>t</title>", content_type=None)
               .response("https://example.com/img.png", b"\x89PNG\r\n", content_type="image/png")
               .response("https://example.com/text", b"<p>not html", content_type="text/plain")
               .response("https://example.com/gone", PAGE.encode(), status="404 Not Found")
               .response("https://example.com/moved", b"", status="301 Moved Permanently")
               .response("https://example.com/empty", b"", status="204 No Content"))
    result = warc(archive.save(tmp_path / "kinds.warc.gz"))
    assert result.returncode == 0
    assert [line["url"] for line in json_lines(result.stdout)] == [
        "https://example.com/", "https://example.com/x.html", "https://example.com/sniffed",
        "https://example.com/empty"]
    report = result.stderr.decode()
    assert "14 records read" in report
    assert "(not a response 5, revisit 1, status not 2xx 2, not HTML 2)" in report


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


@pytest.mark.parametrize("head", [
    b"HTTP/1.1 200 OK\nContent-Type: text/html\n\n",
    b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n",
], ids=["bare-line-feeds", "after-100-continue"])
def test_headers_that_browsers_read_are_read(tmp_path, head):
    archive = Archive().raw("https://example.com/lf", head + PAGE.encode())
    [line] = lines_of(archive, tmp_path)[1]
    assert line["summary"]["title"] == "Größe"


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


@pytest.mark.parametrize("data, kept, message", [
    (GZ[:-30], 4, f"a gzip member cut short at byte offset {LAST_GZ}"),
    (GZ[:LAST_GZ + 25], 4, f"a gzip member cut short at byte offset {LAST_GZ}"),  # cut inside the WARC header
    (GZ + b"\0\0\0", 5, f"data that is not gzip at byte offset {len(GZ)}"),
    (GZ[:LAST_GZ] + b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + b"\xff" * 40 + GZ[LAST_GZ:], 4, "damaged gzip data"),
    (GZ[:LAST_GZ] + gzip.compress(b"not a WARC record\r\n\r\n") + GZ[LAST_GZ:], 4,
     "damaged WARC data (Invalid WARC header) after the record at byte offset"),
    (RAW[:-100], 4, "record cut short ("),
    (RAW[:LAST_RAW + 40], 4, f"WARC header without Content-Length (cut short?) at byte offset {LAST_RAW}"),
    (b"<html>a web page, not a WARC file</html>", 0, "not a WARC file (Invalid WARC header) at byte offset 0"),
    (gzip.compress(b"<html>gzipped, not a WARC file</html>"), 0, "not a WARC file"),
], ids=["gz-cut", "gz-cut-in-header", "gz-trailing-zeros", "gz-damaged-member", "gz-member-not-warc", "raw-cut",
        "raw-cut-in-header", "not-warc", "gz-not-warc"])
def test_inputs_that_cannot_be_read_to_the_end_keep_the_pages_before_the_fault(tmp_path, data, kept, message):
    bad, good = tmp_path / "bad.warc.gz", tmp_path / "good.warc.gz"
    bad.write_bytes(data)
    good.write_bytes(GZ)
    result = warc(bad, good, "--jobs", "1")
    assert result.returncode == 1
    assert [line["url"] for line in json_lines(result.stdout)] == \
        [f"https://example.com/{n}" for n in range(kept)] + [f"https://example.com/{n}" for n in range(5)]
    errors = result.stderr.decode()
    assert f"vornel: {bad}: {message}" in errors and "Traceback" not in errors
    assert "not read to the end: 1 input" in errors


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
    path.write_bytes(GZ[:-30])
    reader = read_pages(str(path))
    pages = []
    with pytest.raises(WarcError, match="a gzip member cut short") as fault:
        for page in reader:
            pages.append(page)
    assert fault.value.offset == LAST_GZ and len(pages) == 4
    assert all(isinstance(page, Page) and page.status == 200 for page in pages)
    assert reader.counts.records == 9 and reader.counts.skipped == {"not a response": 5}


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
         .raw("https://example.com/raw", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n<p>ab\r\n0\r\n\r\n")
         .data() for compress in (True, False)]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(seed=st.sampled_from(SEEDS), edits=st.lists(
    st.tuples(st.sampled_from(["set", "cut", "insert", "end"]), st.floats(0, 1), st.binary(min_size=1, max_size=30)),
    min_size=1, max_size=4))
def test_damaged_archives_give_pages_and_at_most_a_warc_error(tmp_path, seed, edits):
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
            for page in read_pages(str(path)):
                page_line(page)
        except WarcError:
            pass
        gc.collect()
    finally:
        sys.unraisablehook = hook
    assert unraisable == []
