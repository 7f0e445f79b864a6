"""Links and form actions resolve exactly as urllib.parse resolves them, quirks included."""

import html as html_module
import os
import sys
import urllib.parse
from urllib.parse import urljoin, urlparse

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from selectolax.lexbor import LexborHTMLParser

import vornel.inspector as inspector_module
from vornel.inspector import VornInspector

from conftest import PurePythonInspector, query_path_module, read_page, real_pages


def page_of(references):
    forms = "".join(f'<form action="{html_module.escape(r)}"></form>' for r in references)
    anchors = "".join(f'<a href="{html_module.escape(r)}">x</a>' for r in references)
    return forms + anchors


def actions_and_links(inspector):
    return [form["action"] for form in inspector._get_forms()], inspector._get_links()


def check(base, references):
    """vornel resolves the references as the Python functions do, in the plain Python model."""
    page = page_of(references)
    resolved = actions_and_links(VornInspector(page, base))
    assert resolved == actions_and_links(PurePythonInspector(page, base))
    assert resolved == actions_and_links(query_path_module().VornInspector(page, base))


schemes = st.sampled_from(["http:", "https:", "HTTP:", "hTtPs:", "ftp:", "mailto:", "tel:", "data:", "h2:", "1x:", ""])
hosts = st.sampled_from(["example.com", "Example.COM", "sub.example.com", "u:p@example.com:8080", "[::1]",
                         "exa mple.com", "éxample.com", "", "example.com:", "%41.com"])
segments = st.sampled_from(["", ".", "..", "a", "b.html", "c;p", " d", "e ", "%2e", "...", "f[1]", "ü", "\t", "\x00"])
paths = st.lists(segments, max_size=6).map("/".join)
tails = st.sampled_from(["", "?", "?q=1", "?a=b&c=d", "#", "#frag", "?q#f", "#f?q", "?x=[y]"])


@st.composite
def urls(draw):
    scheme = draw(schemes)
    authority = "//" + draw(hosts) if draw(st.booleans()) else ""
    slash = draw(st.sampled_from(["", "/"]))
    lead = draw(st.sampled_from(["", "", "", " ", "\n", "\x01"]))
    return lead + scheme + authority + slash + draw(paths) + draw(tails)


bases = st.one_of(urls(), st.sampled_from(["https://example.com/dir/page.html?x=1#top", "http://example.com",
                                           "https://example.com/a/b/", "https://example.com/a/b/c/d;p?q"]))


@settings(max_examples=int(os.environ.get("VORNEL_URL_EXAMPLES", 300)), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(bases, st.lists(st.one_of(urls(), st.text(max_size=30)), min_size=1, max_size=20))
def test_generated_references(base, references):
    try:
        urlparse(base)
    except ValueError:
        assume(False)  # the constructor rejects such a page URL
    check(base, references)


@pytest.mark.parametrize("base", ["https://www.example.com/section/page.html?q=1#f", "http://Example.com",
                                  "HTTPS://example.com/a/b/"])
def test_every_reference_of_the_real_pages(base):
    references = []
    for page in real_pages():
        parser = LexborHTMLParser(read_page(page))
        references += [node.attributes.get("href") or "" for node in parser.css("a")]
        references += [node.attributes.get("action") or "" for node in parser.css("form")]
    check(base, references)


@pytest.mark.parametrize(
    "base, reference, resolved",
    [
        ("HTTP://Host.Example/a/b", "c", "http://Host.Example/a/c"),  # scheme lower-cased, host kept
        ("https://h/a/b", "//other/./x/../y", "https://other/./x/../y"),  # no dot segments removed
        ("https://h/a/b?q#f", "?", "https://h/a/b?q"),  # an empty query keeps the base's
        ("https://h/a/b", "x?#", "https://h/a/x"),  # empty query and fragment dropped
        ("https://h/a/b", "../../../../x", "https://h/x"),
        ("https://h/a/b", "HTTPS:y", "https://h/a/y"),
        ("https://h/a/b", "http:y", "http:y"),
    ],
)
def test_known_quirks(base, reference, resolved):
    assert urljoin(base, reference) == resolved
    assert VornInspector(page_of([reference]), base)._get_forms()[0]["action"] == resolved


def python_calls_during(function):
    called = []
    sys.setprofile(lambda frame, event, arg: called.append(frame.f_code.co_name) if event == "call" else None)
    try:
        function()
    finally:
        sys.setprofile(None)
    return called


def test_the_python_functions_are_used_outside_the_plain_class(monkeypatch):
    plain = VornInspector(page_of(["/a", "b?c", "https://x.org/"]), "https://example.com/p")
    assert "urljoin" not in python_calls_during(plain._get_links)
    unusual = VornInspector(page_of(["/a;p"]), "https://example.com/p")
    assert "urljoin" in python_calls_during(unusual._get_links)
    # A changed urllib.parse is honoured: the scheme lists decide what is relative.
    monkeypatch.setattr(urllib.parse, "uses_relative", [s for s in urllib.parse.uses_relative if s != "https"])
    assert plain._get_links()["external"] == ["/a", "b?c", "https://x.org/"]
    monkeypatch.undo()
    monkeypatch.setattr(inspector_module, "urljoin", lambda base, ref: "joined")
    assert plain._get_forms() == [{"action": "joined", "method": "GET", "inputs": []}] * 3


class ElsewhereParseResult(urllib.parse.ParseResult):
    """Every URL seems to be on another host."""

    @property
    def netloc(self):
        return "elsewhere.test"


class UpperPathSplitResult(urllib.parse.SplitResult):
    def __new__(cls, scheme, netloc, path, query, fragment):
        return super().__new__(cls, scheme, netloc, path.upper(), query, fragment)


def shouting_result(obj):
    return obj.upper() if isinstance(obj, str) else obj


@pytest.mark.parametrize("patch", [
    pytest.param(lambda m: m.setattr(urllib.parse, "ParseResult", ElsewhereParseResult), id="ParseResult"),
    pytest.param(lambda m: m.setattr(urllib.parse, "SplitResult", UpperPathSplitResult), id="SplitResult"),
    pytest.param(lambda m: m.setattr(urllib.parse.ParseResult, "netloc", property(lambda self: "elsewhere.test")),
                 id="netloc-of-ParseResult"),
    pytest.param(lambda m: m.setattr(urllib.parse._ParseResultBase, "netloc", property(lambda self: "elsewhere.test")),
                 id="netloc-of-a-base-of-ParseResult"),
    pytest.param(lambda m: m.setattr(urllib.parse, "_noop", shouting_result), id="_noop"),
    pytest.param(lambda m: m.setattr(urllib.parse._noop, "__code__", shouting_result.__code__), id="code-of-_noop"),
    pytest.param(lambda m: m.setattr(urllib.parse, "min", max, raising=False), id="shadowed-builtin"),
    pytest.param(lambda m: m.setattr(urllib.parse.urljoin, "__defaults__", (False,)), id="defaults-of-urljoin"),
])
def test_results_follow_a_changed_urllib_parse(monkeypatch, patch):
    base = "https://example.com/dir/page.html"
    references = ["/a/b", "c/d?q#f", "//example.com/x/y?z", "https://other.org/p", "#top", "../up#f"]
    plain = check_returning(base, references)
    urllib.parse.urlsplit.cache_clear()  # cached answers would hide the change
    patch(monkeypatch)
    try:
        assert check_returning(base, references) != plain  # the change shows in urllib.parse's answers
    finally:
        monkeypatch.undo()
        urllib.parse.urlsplit.cache_clear()
    assert check_returning(base, references) == plain
    # and the native path is back
    assert "urljoin" not in python_calls_during(VornInspector(page_of(references), base)._get_links)


def check_returning(base, references):
    """As check(), and returns what the Python functions give."""
    page = page_of(references)
    expected = actions_and_links(PurePythonInspector(page, base))
    assert actions_and_links(VornInspector(page, base)) == expected
    return expected


@pytest.mark.parametrize("deleted, page, method, raises", [
    ("urljoin", "<p>text</p><a>no target</a><a href='#top'>skipped</a><a href='mailto:x@y'>mail</a>", "get_summary",
     False),
    ("urljoin", "<a href='/x'>x</a>", "_get_links", True),
    ("urljoin", "<form></form>", "_get_forms", True),
    ("urlparse", "<form action='/x'></form><a href='#top'>skipped</a>", "get_summary", False),
    ("urlparse", "<a href='/x'>x</a>", "_get_links", True),
])
def test_url_functions_are_looked_up_when_the_first_link_or_form_needs_them(monkeypatch, deleted, page, method,
                                                                            raises):
    inspector = VornInspector(page, "https://example.com/")
    monkeypatch.delattr(inspector_module, deleted)
    if raises:
        with pytest.raises(NameError, match=f"name '{deleted}' is not defined"):
            getattr(inspector, method)()
    else:
        getattr(inspector, method)()
