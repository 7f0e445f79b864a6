"""VornInspector's constructor: stored attributes, cleaning, failures and hostile input."""

from types import SimpleNamespace

import pytest

from vornel import inspector
from vornel.inspector import VornInspector


@pytest.mark.parametrize(
    "url, domain",
    [
        ("", ""),
        ("example.com/path", ""),
        ("/relative/path?q=1", ""),
        ("mailto:someone@example.com", ""),
        ("//example.com/path", "example.com"),
        ("https://example.com?q#f", "example.com"),
        ("http://user:pw@EXAMPLE.Com:8080/x", "user:pw@EXAMPLE.Com:8080"),
        ("ftp://[::1]:21/", "[::1]:21"),
    ],
)
def test_domain_is_the_network_location(url, domain):
    assert VornInspector("", url).domain == domain


def test_url_is_stored_as_the_same_object():
    url = "".join(["  HTTP://Example.COM/", "Path  "])
    assert VornInspector("<p>x</p>", url).url is url


@pytest.mark.parametrize(
    "html, kept",
    [
        ("""<head><style>h1{}</style><script>var head</script>
         <script type="application/ld+json">{"@type": "Thing"}</script></head>
         <body><p>keep</p><div><script>var nested</script><i>also</i></div><style>p{}</style>
         <svg><style>svg{}</style><script>var svg</script></svg></body>""", "keepalso"),
        ("<script>a()</script><style>b{}</style>", ""),
    ],
)
def test_scripts_and_styles_are_removed_everywhere(html, kept):
    parser = VornInspector(html, "https://example.com/").parser
    assert parser.css("script, style") == []
    assert parser.root.text(strip=True) == kept


def test_running_init_again_replaces_the_attributes():
    page = VornInspector('<meta name="a" content="1">', "http://one/")
    page.extra = True
    page.__init__('<meta name="b" content="2">', "http://two/")
    assert list(vars(page)) == ["parser", "url", "domain", "extra"]
    assert page.domain == "two" and page._get_meta() == {"b": "2"}


class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom


def broken_css_parser(html):
    return SimpleNamespace(css=lambda selector: raise_boom() if selector == "script, style" else [])


@pytest.mark.parametrize(
    "patch, url, error, attributes",
    [
        ({"LexborHTMLParser": raise_boom}, "http://a/", Boom, []),
        ({}, "http://[oops", ValueError, ["parser", "url"]),
        ({"urlparse": lambda url: object()}, "http://a/", AttributeError, ["parser", "url"]),
        ({"LexborHTMLParser": broken_css_parser}, "http://a/", Boom, ["parser", "url", "domain"]),
    ],
)
def test_failures_propagate_with_the_attributes_set_so_far(monkeypatch, patch, url, error, attributes):
    for name, value in patch.items():
        monkeypatch.setattr(inspector, name, value)
    blank = VornInspector.__new__(VornInspector)
    with pytest.raises(error):
        blank.__init__("<p>x</p>", url)
    assert list(vars(blank)) == attributes


# Spans, not divs: the parser itself takes time quadratic in the depth of nested divs.
NESTED = "<span>" * 100_000 + '<meta name="deep" content="1"><script>x</script>' + "</span>" * 100_000
BIG = '<meta name="big" content="1">' + "<p class='x'>text <b>bold</b></p>\n" * 120_000


@pytest.mark.parametrize(
    "html, meta",
    [
        ("", {}),
        ("not html at all < > & </", {}),
        ('<meta name="a\0b" content="c\0">\0<p>\0</p>', None),
        ("<p>\ud800</p>", None),
        (NESTED, {"deep": "1"}),
        (BIG, {"big": "1"}),
        ("<script>" * 10_000 + "<style>" * 10_000, {}),
    ],
    ids=["empty", "not-html", "nul", "lone-surrogate", "nested-100k", "megabytes", "unclosed"],
)
def test_hostile_input_gives_a_result_or_an_exception(html, meta):
    try:
        page = VornInspector(html, "http://\udc80/\0")
    except (UnicodeError, ValueError):
        assert meta is None, "only text that cannot be encoded may be refused"
        return
    result = page._get_meta()
    assert isinstance(result, dict) and (meta is None or result == meta)
    assert page.parser.css("script, style") == []
