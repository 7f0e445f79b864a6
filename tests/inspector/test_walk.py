"""When the native walk reads the page and when the selector queries do: the check at import falls
back to the queries on anything it was not written for, and an instance is walked only while its
`parser` is the one its constructor built and only for the extractors its class does not override.

Which way a summary was made shows in the calls to the parser's css() and css_first(): a parser
class that counts them is bound as selectolax's own before a fresh module is imported."""

import os
import sys

import pytest
import selectolax
import selectolax.lexbor

from vornel.inspector import VornInspector

from helpers.modules import fresh_module
from helpers.pages import SAMPLE_PAGE, read_page

URL = "https://www.example.com/section/page.html"
PAGE = read_page(SAMPLE_PAGE)
EXPECTED = VornInspector(PAGE, URL).get_summary()


class CountingParser(selectolax.lexbor.LexborHTMLParser):
    """selectolax's parser, laid out as it is, that counts the queries made of it."""

    __slots__ = ()
    queries = []

    def css(self, query):
        CountingParser.queries.append(query)
        return super().css(query)

    def css_first(self, query, default=None, strict=False):
        CountingParser.queries.append(query)
        return super().css_first(query, default, strict)


class ParserOfAnotherSize(CountingParser):
    """A parser whose objects are not laid out as selectolax declares them: they are larger."""

    __slots__ = ("extra",)


class ReversingParser(CountingParser):
    """A parser whose queries answer in another order than the document's."""

    __slots__ = ()

    def css(self, query):
        return super().css(query)[::-1]


def module_with(monkeypatch, parser_class=CountingParser, **patches):
    """A fresh vornel.inspector imported while selectolax looks as `patches` make it."""
    monkeypatch.setattr(selectolax.lexbor, "LexborHTMLParser", parser_class)
    for name, value in patches.items():
        owner, attribute = (selectolax, name) if name == "__version__" else (selectolax.lexbor, name)
        monkeypatch.setattr(owner, attribute, value)
    module = fresh_module()
    monkeypatch.undo()
    CountingParser.queries.clear()
    return module


def queries_of(make_summary):
    CountingParser.queries.clear()
    summary = make_summary()
    return summary, list(CountingParser.queries)


def test_the_walk_reads_the_page_of_a_supported_selectolax(monkeypatch):
    module = module_with(monkeypatch)
    summary, queries = queries_of(lambda: module.VornInspector(PAGE, URL).get_summary())
    assert queries == [] and summary == EXPECTED


@pytest.mark.parametrize("parser_class, patches", [
    (CountingParser, {"__version__": "1.0.1"}),
    (CountingParser, {"__version__": "1.1.0"}),
    (CountingParser, {"LEXBOR_VERSION_MINOR": 2}),
    (CountingParser, {"LEXBOR_VERSION_MAJOR": 2}),
    (ParserOfAnotherSize, {}),
    (CountingParser, {"__file__": os.devnull}),
    (CountingParser, {"__file__": sys.executable}),
    (ReversingParser, {}),
], ids=["older-selectolax", "newer-selectolax", "other-lexbor-minor", "other-lexbor-major", "other-layout",
        "module-file-not-loaded", "module-file-without-lexbor", "queries-disagree-on-the-test-page"])
def test_the_import_check_falls_back_to_the_queries(monkeypatch, parser_class, patches):
    module = module_with(monkeypatch, parser_class, **patches)
    summary, queries = queries_of(lambda: module.VornInspector(PAGE, URL).get_summary())
    assert "script, style" in queries and "h1, h2, h3" in queries
    if parser_class is not ReversingParser:
        assert summary == EXPECTED


def test_a_parser_class_that_is_not_selectolax_leaves_the_walk_off(monkeypatch):
    def parser(html):
        return selectolax.lexbor.LexborHTMLParser(html)

    module = module_with(monkeypatch, parser)
    assert module.VornInspector(PAGE, URL).get_summary() == EXPECTED


def test_a_parser_set_by_other_code_is_queried(monkeypatch):
    module = module_with(monkeypatch)
    page = module.VornInspector(PAGE, URL)
    page.parser = CountingParser("<title>Other</title><a href=/other>o</a>")
    summary, queries = queries_of(page.get_summary)
    assert summary["title"] == "Other" and summary["links"]["internal"] == ["https://www.example.com/other"]
    assert "a" in queries and "title" in queries


def test_a_parser_from_a_rebound_parser_class_is_queried(monkeypatch):
    module = module_with(monkeypatch)
    monkeypatch.setattr(module, "LexborHTMLParser", ReversingParser)
    page = module.VornInspector("<h1>a</h1><h2>b</h2>", URL)
    summary, queries = queries_of(page.get_summary)
    assert [heading["text"] for heading in summary["structure"]["headings"]] == ["b", "a"]
    assert "h1, h2, h3" in queries


def test_only_the_overridden_extractors_run_as_written(monkeypatch):
    module = module_with(monkeypatch)

    class Page(module.VornInspector):
        def _get_links(self):
            return {"internal": [len(self.parser.css("a"))], "external": []}

    summary, queries = queries_of(lambda: Page(PAGE, URL).get_summary())
    assert queries == ["a"]
    assert summary == {**EXPECTED, "links": {"internal": [len(selectolax.lexbor.LexborHTMLParser(PAGE).css("a"))],
                                             "external": []}}


def test_an_override_that_changes_the_tree_is_seen_by_the_extractors_after_it(monkeypatch):
    module = module_with(monkeypatch)

    class Page(module.VornInspector):
        def _get_links(self):
            for node in self.parser.css("h1, table"):
                node.decompose()
            return super()._get_links()

    summary = Page("<h1>gone</h1><table><th>x</th></table><a href=/a>a</a>", URL).get_summary()
    assert summary["links"]["internal"] == ["https://www.example.com/a"]
    assert summary["structure"]["headings"] == [] and summary["structure"]["detailed_tables"] == []
    assert summary["structure"]["tables"] == 0


@pytest.mark.parametrize("extractor", ["_get_meta", "_get_forms", "_get_links", "_get_heading_hierarchy",
                                       "_get_tables_detailed"])
def test_each_extractor_called_alone_reads_the_changed_tree(monkeypatch, extractor):
    module = module_with(monkeypatch)
    page = module.VornInspector(PAGE, URL)
    before = getattr(page, extractor)()
    assert before == getattr(VornInspector(PAGE, URL), extractor)()
    for node in page.parser.css("meta, form, a, h1, h2, h3, table"):
        node.decompose()
    assert getattr(page, extractor)() in ({}, [], {"internal": [], "external": []})


def test_a_constructor_run_again_walks_its_new_parser(monkeypatch):
    module = module_with(monkeypatch)
    page = module.VornInspector(PAGE, URL)
    page.__init__("<title>Second</title>", URL)
    summary, queries = queries_of(page.get_summary)
    assert queries == [] and summary["title"] == "Second" and summary["structure"]["json_ld"] == 0
