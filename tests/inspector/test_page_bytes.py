"""UTF-8 pages reach the parser as bytes: vornel.inspector._summarize_utf8 gives what the public
constructor gives for the decoded text, or None for anything else, and the crawl layer's lines
stay what they were when every page was decoded first."""

import codecs
import json

import pytest
from hypothesis import given, settings, strategies as st

import vornel.inspector as inspector_module
from vornel.crawl import Page, read_pages
from vornel.crawl.line import page_line
from vornel.inspector import VornInspector, _summarize_utf8

from helpers.modules import query_path_module
from helpers.pages import read_page, real_pages
from helpers.crawl_archives import many_pages

URL = "https://www.example.com/section/page.html"


@pytest.mark.parametrize("page", real_pages(), ids=lambda p: p.name)
def test_the_bytes_of_a_real_page_give_the_summary_of_its_text(page):
    text = read_page(page)
    assert _summarize_utf8(text.encode(), URL) == VornInspector(text, URL).get_summary()


@pytest.mark.parametrize("data, valid", [
    (b"", True), (b"\x00<p>\x00</p>", True), ("\ufeffé\u07ff\u0800\uffff\U00010000\U0010ffff".encode(), True),
    (b"\xc0\xaf", False),  # overlong form of "/"
    (b"\xe0\x80\xaf", False), (b"\xf0\x80\x80\xaf", False),  # overlong in three and four bytes
    (b"\xed\xa0\x80", False),  # a surrogate
    (b"\xf4\x90\x80\x80", False), (b"\xf5\x80\x80\x80", False),  # past U+10FFFF
    (b"<p>\xe2\x82</p>", False), (b"<p>\x80</p>", False), (b"abcdefgh\xc3", False),  # cut short, stray, at the end
    (b"\xff\xfe<\x00p\x00>\x00", False),  # UTF-16
])
def test_only_valid_utf8_is_taken(data, valid):
    summary = _summarize_utf8(data, URL)
    assert (summary is not None) == valid
    if valid:
        assert summary == VornInspector(data.decode(), URL).get_summary()


@settings(max_examples=300, deadline=None)
@given(st.one_of(st.binary(max_size=40),
                 st.text(max_size=20).map(lambda text: text.encode("utf-8", "surrogatepass")),
                 st.tuples(st.text(max_size=12), st.binary(max_size=3), st.text(max_size=12))
                 .map(lambda parts: parts[0].encode() + parts[1] + parts[2].encode())))
def test_bytes_are_taken_exactly_when_python_decodes_them_as_utf8(data):
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    summary = _summarize_utf8(b"<title>" + data, URL)
    assert (summary is None) == (text is None)
    if text is not None:
        assert summary == VornInspector("<title>" + text, URL).get_summary()


def test_bytes_go_only_to_selectolax_with_the_walk_checked(monkeypatch):
    assert query_path_module()._summarize_utf8(b"<title>t</title>", URL) is None
    monkeypatch.setattr(inspector_module, "LexborHTMLParser", lambda html: pytest.fail("given bytes"))
    assert _summarize_utf8(b"<title>t</title>", URL) is None


@pytest.mark.parametrize("page, url, message", [
    ("<p>", URL, "Argument 'page' has incorrect type (expected bytes, got str)"),
    (bytearray(b"<p>"), URL, "Argument 'page' has incorrect type (expected bytes, got bytearray)"),
    (b"<p>", b"https://x/", "Argument 'url' has incorrect type (expected str, got bytes)"),
])
def test_summarize_utf8_refuses_anything_but_bytes_and_str(page, url, message):
    with pytest.raises(TypeError) as raised:
        _summarize_utf8(page, url)
    assert str(raised.value) == message


def decoded_line(page):
    """The line as it was made when every page was decoded before it was parsed."""
    encoding, text = page.decode()
    fields = {"encoding": encoding}
    try:
        fields["summary"] = VornInspector(text, page.url).get_summary()
    except ValueError as error:
        fields["error"] = {"type": type(error).__name__, "message": str(error)}
    return fields


def made_line(page):
    """What page_line makes of the page's text: its encoding and its summary or error."""
    line, kind = page_line(page)
    fields = json.loads(line)
    return {key: value for key, value in fields.items() if key in ("encoding", "summary", "error")}, kind


def page_of(body, content_type, url=URL):
    return Page(url, "<urn:uuid:1>", "2024-05-01T12:00:00Z", 0, 200, content_type, body)


@pytest.mark.parametrize("content_type", [None, "text/html; charset=utf-8", "text/html; charset=windows-1252"])
@pytest.mark.parametrize("page", real_pages(), ids=lambda p: p.name)
def test_lines_of_the_real_pages_are_those_of_their_decoded_text(page, content_type):
    body = page.read_bytes()
    for variant in (body, codecs.BOM_UTF8 + body, body.replace(b"<", b"<\xff", 1)):
        assert made_line(page_of(variant, content_type))[0] == decoded_line(page_of(variant, content_type))


@pytest.mark.parametrize("body, url", [
    (codecs.BOM_UTF8 * 2 + b"<title>two marks</title>", URL),
    ('<meta charset="utf-8"><title>caf\u00e9</title>'.encode("cp1252"), URL),  # declared UTF-8, is not
    (b"<title>bad page URL</title>", "http://[oops/"),
])
def test_odd_utf8_pages_give_the_lines_of_their_decoded_text(body, url):
    made, kind = made_line(page_of(body, "text/html", url))
    assert made == decoded_line(page_of(body, "text/html", url))
    assert (kind is None) == ("summary" in made)


def test_the_lines_of_an_archive_are_those_of_its_decoded_pages(tmp_path):
    archive = many_pages(60, seed=5).response(URL, b"<title>\xff</title>")
    for page in read_pages(str(archive.save(tmp_path / "many.warc.gz"))):
        assert made_line(page)[0] == decoded_line(page)


@pytest.mark.parametrize("body, content_type, decoded", [
    ("<title>caf\u00e9</title>".encode(), "text/html; charset=utf-8", False),
    (codecs.BOM_UTF8 + b"<title>marked</title>", None, False),
    ("<title>caf\u00e9</title>".encode("cp1252"), "text/html; charset=windows-1252", True),
    (b"<title>caf\xe9</title>", "text/html; charset=utf-8", True),  # declared UTF-8, is not
])
def test_only_pages_that_are_not_utf8_are_decoded(monkeypatch, body, content_type, decoded):
    calls = []
    real = Page.decode
    monkeypatch.setattr(Page, "decode", lambda page: calls.append(page) or real(page))
    line, _ = page_line(page_of(body, content_type))
    assert "summary" in json.loads(line) and bool(calls) == decoded
