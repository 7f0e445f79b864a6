"""The shape of the vornel.inspector module and of its VornInspector class."""

import gc
import urllib.parse
import weakref

from selectolax.lexbor import LexborHTMLParser

from vornel.inspector import VornInspector

from helpers.modules import fresh_module


def test_module_namespace_in_order_without_docstring():
    module = fresh_module()
    # The public names in order, then the crawl layer's private way in for UTF-8 pages.
    assert [name for name in vars(module) if not name.startswith("__")] == [
        "urljoin", "urlparse", "LexborHTMLParser", "VornInspector", "_summarize_utf8"]
    assert module.__doc__ is None
    assert module.urljoin is urllib.parse.urljoin and module.urlparse is urllib.parse.urlparse
    assert module.LexborHTMLParser is LexborHTMLParser


def test_class_is_an_ordinary_class_with_its_methods_in_order():
    assert VornInspector.__bases__ == (object,) and type(VornInspector) is type
    assert VornInspector.__qualname__ == "VornInspector" and VornInspector.__module__ == "vornel.inspector"
    assert VornInspector.__doc__ is None
    assert [name for name in vars(VornInspector) if name not in ("__dict__", "__doc__", "__module__")] == [
        "__init__", "get_summary", "_get_meta", "_get_forms", "_get_links", "_get_heading_hierarchy",
        "_get_tables_detailed"]
    docs = {name: method.__doc__ for name, method in vars(VornInspector).items() if callable(method)}
    assert docs == {
        "__init__": None, "get_summary": None, "_get_meta": None, "_get_forms": None, "_get_links": None,
        "_get_heading_hierarchy": "Maps out the heading tree on the page",
        "_get_tables_detailed": "Finds table headers so user knows the data columns",
    }


def test_instance_dict_holds_exactly_the_three_public_attributes():
    page = VornInspector('<script type="application/ld+json">{}</script>', "http://example.com/")
    assert list(vars(page)) == ["parser", "url", "domain"] and isinstance(page.parser, LexborHTMLParser)
    assert not [name for name in dir(page) if "json" in name.lower()]


def test_weak_references_and_collection_of_cycles():
    page = VornInspector("<p>x</p>", "")
    page.me = page
    ref = weakref.ref(page)
    assert ref() is page
    del page
    gc.collect()
    assert ref() is None
