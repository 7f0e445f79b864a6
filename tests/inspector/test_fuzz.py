"""Fuzzing the inspector with arbitrary text, HTML-ish text and arbitrary URLs.

No input may crash the interpreter; the constructor may raise only what urlparse raises for the
page URL; get_summary raises nothing; every summary keeps its shape and agrees with the plain
Python model. The suite runs a short bounded pass; a long one:
    VORNEL_FUZZ_EXAMPLES=100000 scripts/dev test tests/inspector/test_fuzz.py
"""

import functools
import json
import os
from urllib.parse import urlparse

from hypothesis import HealthCheck, given, settings, strategies as st

from vornel.inspector import VornInspector

from helpers.modules import model_summary, query_path_summary
from helpers.summary_shape import assert_summary_shape

EXAMPLES = int(os.environ.get("VORNEL_FUZZ_EXAMPLES", "200"))
fuzz_settings = settings(
    max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large]
)

# Any code point, lone surrogates and NUL included.
any_text = st.text(st.characters(codec=None, categories=None), max_size=40)

TAGS = [
    "a", "A", "form", "input", "select", "textarea", "button", "img", "table", "tr", "th", "td", "thead", "caption",
    "h1", "h2", "h3", "h4", "H2", "title", "meta", "script", "style", "ul", "ol", "li", "div", "p", "template",
    "svg", "math", "noscript", "iframe", "base", "body", "head", "html", "frameset", "plaintext", "xmp", "option",
]
FIELD_ATTRIBUTES = ["name", "type", "placeholder", "required", "form"]
# The attributes that the summary reads, per element; any element may carry any of them too.
TAG_ATTRIBUTES = {
    "a": ["href"], "A": ["HREF"], "img": ["src"], "meta": ["name", "property", "content", "charset", "http-equiv"],
    "form": ["action", "method"], "input": FIELD_ATTRIBUTES, "select": FIELD_ATTRIBUTES,
    "textarea": FIELD_ATTRIBUTES, "script": ["type"],
}
ALL_ATTRIBUTES = sorted({name for names in TAG_ATTRIBUTES.values() for name in names} | {"id", "class"})
ODD_VALUES = st.one_of(
    st.sampled_from([
        "", " ", "#", "#top", " #top", "javascript:void(0)", "JavaScript:x", "mailto:a@b.c", "http://[oops",
        "//[broken/", "https://[::1]:8080/x", "http://h:99999/", "http://user@EXAMPLE.com:80/p?q=1#f", "//example.com",
        "https://www.example.com/x", "../../up", "?q", "tel:+1", "data:,x", "application/ld+json", "get", "post",
        "straße", "ﬃ", "\x00", "\ufeff", "a\ud800b", "http://a\uff03b/", "http://\u2100/", "x" * 3000,
    ]),
    any_text,
)


def attribute(name, value, quote):
    if value is None:
        return f" {name}"
    return f" {name}={quote}{value}{quote}"


@functools.cache
def attributes_for(tag):
    names = st.sampled_from(TAG_ATTRIBUTES.get(tag, ALL_ATTRIBUTES)) | st.sampled_from(ALL_ATTRIBUTES)
    one = st.builds(attribute, names, st.none() | ODD_VALUES, st.sampled_from(['"', "'", ""]))
    return st.lists(one, max_size=5).map("".join)


def element(tag, attrs, children, closed):
    inner = "".join(children)
    return f"<{tag}{attrs}>{inner}</{tag}>" if closed else f"<{tag}{attrs}>{inner}"


def table(cells):
    return "<table><tr>" + "".join(f"<{kind}>{text}</{kind}>" for kind, text in cells) + "</tr></table>"


leaves = st.one_of(
    any_text,
    st.sampled_from(["&amp;", "&#0;", "&#xD800;", "&bogus;", "<!-- c -->", "<!doctype html>", "<![CDATA[x]]>", "</p>",
                     "<", ">", "\x00", "<br/>", "</table>", "</form>",
                     '<script type="application/ld+json">{}</script>']),
    st.sampled_from(["meta", "img", "input"]).flatmap(lambda tag: attributes_for(tag).map(lambda a: f"<{tag}{a}>")),
    st.builds(lambda tag, attrs, text: f"<{tag}{attrs}>{text}</{tag}>",
              st.sampled_from(["a", "h1", "h2", "h3", "title"]), attributes_for("a"),
              st.sampled_from(["", " ", " x \n y "]) | any_text),
    st.builds(lambda href: f'<a href="{href}">x</a>', ODD_VALUES | st.sampled_from(["/p", "p?q#f", "//other.org/x"])),
    st.builds(lambda kind, key, content: f'<meta {kind}="{key}" content="{content}">',
              st.sampled_from(["name", "property"]), ODD_VALUES, ODD_VALUES),
    st.builds(lambda attrs, fields: f"<form{attrs}>{''.join(fields)}</form>", attributes_for("form"),
              st.lists(st.sampled_from(["input", "select", "textarea"]).flatmap(
                  lambda tag: attributes_for(tag).map(lambda a: f"<{tag}{a}>")), max_size=4)),
    st.builds(table, st.lists(st.tuples(st.sampled_from(["th", "td"]), st.sampled_from(["", " ", "x"]) | any_text),
                              max_size=4)),
)


@functools.cache
def fragments(depth=0):
    """HTML-ish text: a leaf, or an element whose children are fragments, at most three levels deep."""
    if depth == 3:
        return leaves
    children = st.lists(fragments(depth + 1), max_size=3)

    @st.composite
    def tagged_element(draw):
        tag = draw(st.sampled_from(TAGS))
        return element(tag, draw(attributes_for(tag)), draw(children), draw(st.booleans()))

    return leaves | tagged_element()


html_ish = fragments()
pages = st.one_of(any_text, st.lists(html_ish, min_size=1, max_size=6).map("".join))

url_ish = st.builds(
    lambda scheme, separator, host, path: f"{scheme}{separator}{host}{path}",
    st.sampled_from(["http", "https", "HTTPS", "", "ftp", "mailto", "data", "javascript", "file"]),
    st.sampled_from(["://", ":", "//", ""]),
    st.sampled_from(["example.com", "www.example.com", "EXAMPLE.com:8080", "user:pw@example.com", "[::1]", "[oops",
                     "a]b", "bücher.example", "xn--bcher-kva.example", "", "h:99999", "\u2100"]),
    st.one_of(st.sampled_from(["", "/", "/dir/page.html?q=1#f", "/a b", "#", "?"]), any_text),
)
urls = st.one_of(st.just("https://www.example.com/dir/page.html"), any_text, url_ish)


def url_error(url):
    try:
        urlparse(url)
    except ValueError as error:
        return error
    return None


@fuzz_settings
@given(html=pages, url=urls)
def test_any_page_and_url_give_the_model_summary_or_the_url_error(html, url):
    expected_error = url_error(url)
    try:
        inspector = VornInspector(html, url)
    except ValueError as error:  # only what urlparse raises for the page URL
        assert expected_error is not None and str(error) == str(expected_error)
        return
    assert expected_error is None
    summary = inspector.get_summary()
    assert_summary_shape(summary)
    json.dumps(summary)
    assert summary == model_summary(html, url)
    assert summary == query_path_summary(html, url)
