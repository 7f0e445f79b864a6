"""Argument binding, error texts and the function type of VornInspector's methods."""

import builtins
import functools
import inspect
import pydoc
import sys
import types

import pytest

from vornel import inspector
from vornel.inspector import VornInspector

from helpers.modules import fresh_module

HTML, URL = "<p>page</p>", "http://example.com/"
INSPECTOR = VornInspector(HTML, URL)


class Str(str):
    pass


def takes_exactly(name, expected, given):
    return f"{name}() takes exactly {expected} positional argument{'s' * (expected != 1)} ({given} given)"


def incorrect_type(name, got):
    return f"Argument '{name}' has incorrect type (expected str, got {got})"


@pytest.mark.parametrize(
    "call, message",
    [
        # a missing parameter: N is the index of the first one without a value
        (lambda: VornInspector(), takes_exactly("__init__", 3, 1)),
        (lambda: VornInspector(HTML), takes_exactly("__init__", 3, 2)),
        (lambda: VornInspector(url=URL), takes_exactly("__init__", 3, 1)),
        (lambda: VornInspector.__init__(html=HTML, url=URL), takes_exactly("__init__", 3, 0)),
        (lambda: VornInspector._get_meta(), takes_exactly("_get_meta", 1, 0)),
        # too many positionals comes before everything else
        (lambda: VornInspector(HTML, URL, 1), takes_exactly("__init__", 3, 4)),
        (lambda: VornInspector(None, None, None, bogus=1), takes_exactly("__init__", 3, 4)),
        (lambda: INSPECTOR._get_meta(1), takes_exactly("_get_meta", 1, 2)),
        # then keywords, in call order
        (lambda: VornInspector(HTML, bogus=1, html=HTML), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: VornInspector(HTML, html=HTML, bogus=1), "__init__() got multiple values for keyword argument 'html'"),
        (lambda: VornInspector(bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: VornInspector(HTML, URL, self=INSPECTOR),
         "__init__() got multiple values for keyword argument 'self'"),
        (lambda: INSPECTOR._get_meta(self=INSPECTOR), "_get_meta() got multiple values for keyword argument 'self'"),
        # then missing parameters, and only then types: html first
        (lambda: VornInspector(html=None), takes_exactly("__init__", 3, 2)),
        (lambda: VornInspector(b"<p>", URL), incorrect_type("html", "bytes")),
        (lambda: VornInspector(HTML, None), incorrect_type("url", "NoneType")),
        (lambda: VornInspector(url=1, html=None), incorrect_type("html", "NoneType")),
        (lambda: VornInspector(HTML, Str(URL)), incorrect_type("url", "Str")),
        (lambda: VornInspector(Str(HTML), 5), incorrect_type("html", "Str")),
    ],
)
def test_binding_errors_have_exact_text_and_order(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == message.endswith("got Str)")
    assert all("subclass" in note for note in notes)


@pytest.mark.parametrize(
    "call",
    [
        lambda: VornInspector(url=URL, html=HTML),
        lambda: VornInspector(**{"".join(["ht", "ml"]): HTML, "url": URL}),  # keyword not interned
        lambda: VornInspector(**{Str("html"): HTML, "url": URL}),
        lambda: functools.partial(VornInspector, url=URL)(HTML),
    ],
)
def test_every_parameter_binds_by_position_or_keyword(call):
    assert call().url == URL


def test_instance_binds_by_keyword():
    obj = VornInspector.__new__(VornInspector)
    assert VornInspector.__init__(self=obj, url=URL, html='<meta name="a" content="b">') is None
    assert VornInspector._get_meta(self=obj) == {"a": "b"}


def test_methods_bind_on_the_class_and_on_subclasses():
    meta = VornInspector.__dict__["_get_meta"]
    assert meta.__get__(None, VornInspector) is meta and VornInspector._get_meta is meta
    assert isinstance(INSPECTOR._get_meta, types.MethodType)
    assert INSPECTOR._get_meta.__self__ is INSPECTOR and INSPECTOR._get_meta.__func__ is meta

    class Page(VornInspector):
        def __init__(self, html, url):
            super().__init__(url=url, html=html)
            self.extra = 1

    page = Page('<meta name="k" content="v">', URL)
    assert page._get_meta() == {"k": "v"} and list(vars(page)) == ["parser", "url", "domain", "extra"]


@pytest.mark.parametrize(
    "name, parameters, annotations",
    [("__init__", ["self", "html", "url"], {"html": "str", "url": "str"}), ("_get_meta", ["self"], {})],
)
def test_function_attributes_and_signature(name, parameters, annotations):
    function = getattr(VornInspector, name)
    assert (function.__name__, function.__qualname__) == (name, f"VornInspector.{name}")
    assert function.__module__ == "vornel.inspector" and function.__doc__ is None
    assert list(function.__annotations__.items()) == list(annotations.items())
    signature = inspect.signature(function)
    assert list(signature.parameters) == parameters
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in signature.parameters.values())


def test_class_signature_and_help_show_the_real_parameters():
    assert str(inspect.signature(VornInspector)) == "(html, url)"
    assert "__init__(self, html, url)" in pydoc.plain(pydoc.render_doc(VornInspector))


def test_rebound_module_attributes_are_used_by_later_calls(monkeypatch):
    parser = types.SimpleNamespace(css=lambda selector: [])
    monkeypatch.setattr(inspector, "LexborHTMLParser", {HTML: parser}.get)
    monkeypatch.setattr(inspector, "urlparse", lambda url: types.SimpleNamespace(netloc="rebound"))
    page = VornInspector(HTML, URL)
    assert page.parser is parser and page.domain == "rebound"


def test_deleted_global_gives_name_error_then_falls_back_to_builtins(monkeypatch):
    fresh_inspector = fresh_module()
    del fresh_inspector.urlparse
    with pytest.raises(NameError, match=r"^name 'urlparse' is not defined$") as info:
        fresh_inspector.VornInspector(HTML, URL)
    assert info.value.name == "urlparse"
    monkeypatch.setattr(builtins, "urlparse", lambda url: types.SimpleNamespace(netloc="builtin"), raising=False)
    assert fresh_inspector.VornInspector(HTML, URL).domain == "builtin"


def test_calls_and_errors_do_not_leak_references():
    html, url, junk = "".join(["<p>", "x</p>"]), "".join(["http://", "leak/"]), object()
    calls = [lambda: VornInspector(html, junk), lambda: VornInspector(html, url, junk),
             lambda: VornInspector(html, Str(url)), lambda: VornInspector(html, html=url)]

    def run(times):
        for _ in range(times):
            VornInspector(html, url)._get_meta()
            for call in calls:
                with pytest.raises(TypeError):
                    call()

    run(1)  # fills caches, such as the one behind urlparse
    before = [sys.getrefcount(o) for o in (html, url, junk)]
    run(200)
    assert [sys.getrefcount(o) for o in (html, url, junk)] == before
