"""Links and form actions resolve exactly as urllib.parse resolves them, quirks included."""

import builtins
import functools
import html as html_module
import os
import sys
import types
import urllib.parse
from urllib.parse import urljoin, urlparse

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from selectolax.lexbor import LexborHTMLParser

import vornel.inspector as inspector_module
from vornel.inspector import VornInspector

from helpers.modules import fresh_module, query_path_module
from helpers.pages import read_page, real_pages
from summary_model import PurePythonInspector


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


@settings(max_examples=int(os.environ.get("VORNEL_URL_EXAMPLES", 300)), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(bases, st.lists(st.one_of(urls(), st.text(max_size=30)), min_size=1, max_size=20))
def test_generated_references_resolve_as_urllib_does(base, references):
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
def test_urljoin_quirks_are_kept(base, reference, resolved):
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


# What the guard must not take for urllib.parse's own code, at import or later. Each case changes
# what urljoin or urlparse answer for a plain link on a plain page.
BASE, HREF = "http://a.example/dir/page", "/x"
_real_urljoin = urllib.parse.urljoin
_real_min = min
_real_splitnetloc = urllib.parse._splitnetloc


@functools.wraps(_real_urljoin)
def urljoin_with_marker(base, url, allow_fragments=True):
    return _real_urljoin(base, url, allow_fragments) + "#wrapped"


def min_that_urllib_parse_gets_wrong(*args, **keywords):
    """The built-in min, except when urllib.parse calls it."""
    if sys._getframe(1).f_globals is vars(urllib.parse):
        return max(*args, **keywords)
    return _real_min(*args, **keywords)


def upper_netloc_splitnetloc(url, start=0):
    netloc, rest = _real_splitnetloc(url, start)
    return netloc.upper(), rest


def refuse(*args):
    raise RuntimeError("no comparing")


# Scheme lists that compare equal, or cannot be compared, but behave otherwise (or alike).
NoSchemes = type("NoSchemes", (list,), {"__contains__": lambda self, item: False})
EqualToAnything = type("EqualToAnything", (),
                       {"__eq__": lambda self, other: True, "__contains__": NoSchemes.__contains__})
RefusesComparison = type("RefusesComparison", (list,), {"__eq__": refuse, "__hash__": None})


def upper_path_new(_cls, scheme, netloc, path, query, fragment):
    return _tuple_new(_cls, (scheme, netloc, path.upper(), query, fragment))  # noqa: F821 (the class's globals)


def upper_path(result_class):
    """A subclass of a result class, or of its namedtuple base, whose constructor upper-cases the path."""
    def __new__(cls, *fields):
        return super(made, cls).__new__(cls, *fields[:2], fields[2].upper(), *fields[3:])

    made = type("UpperPath" + result_class.__name__, (result_class,), {"__new__": __new__, "__slots__": ()})
    return made


class Slot:
    """Something that monkeypatch cannot set and restore by itself, as an attribute `value`."""

    def __init__(self, get, put):
        self.get, self.put = get, put

    value = property(lambda self: self.get(), lambda self, value: self.put(value))


def bases_of(cls):
    return Slot(lambda: cls.__bases__, lambda bases: setattr(cls, "__bases__", bases))


def item_of(items, value):
    index = items.index(value)
    return Slot(lambda: items[index], lambda item: items.__setitem__(index, item))


def shim_of_urllib_parse(monkeypatch):
    shim = types.ModuleType("urllib.parse")
    vars(shim).update(vars(urllib.parse))
    shim.urljoin = urljoin_with_marker
    monkeypatch.setitem(sys.modules, "urllib.parse", shim)


def object_for_urllib_parse(monkeypatch):
    """Not a module: an object that only lends urljoin and urlparse, as lazy importers put in sys.modules."""
    monkeypatch.setitem(sys.modules, "urllib.parse", types.SimpleNamespace(urljoin=urljoin_with_marker,
                                                                            urlparse=urllib.parse.urlparse))


def namedtuple_new(result_base):
    return vars(result_base)["__new__"].__func__


CHANGES = {
    "urljoin-wrapped": lambda m: m.setattr(urllib.parse, "urljoin", urljoin_with_marker),
    "_splitnetloc": lambda m: m.setattr(urllib.parse, "_splitnetloc", upper_netloc_splitnetloc),
    "_noop": lambda m: m.setattr(urllib.parse, "_noop", shouting_result),
    "ParseResult-subclass": lambda m: m.setattr(urllib.parse, "ParseResult", upper_path(urllib.parse.ParseResult)),
    "urlsplit-cached-wrapper": lambda m: m.setattr(
        urllib.parse, "urlsplit",
        functools.lru_cache(typed=True)(lambda *a: UpperPathSplitResult(*_real_urlsplit(*a)))),
    "shadowing-builtin": lambda m: m.setattr(urllib.parse, "min", max, raising=False),
    "builtin-replaced": lambda m: m.setattr(builtins, "min", min_that_urllib_parse_gets_wrong),
    "_noop-with-urllib.parse-globals": lambda m: m.setattr(  # a function that only looks like its own
        urllib.parse, "_noop", types.FunctionType(shouting_result.__code__, vars(urllib.parse))),
    "sys.modules-shim": shim_of_urllib_parse,
    "sys.modules-object": object_for_urllib_parse,
    "uses_netloc-list-subclass": lambda m: m.setattr(urllib.parse, "uses_netloc", NoSchemes(urllib.parse.uses_netloc)),
    "uses_netloc-changed-in-place": lambda m: m.setattr(item_of(urllib.parse.uses_netloc, "http"), "value", "gopher"),
    "uses_netloc-equal-to-anything": lambda m: m.setattr(urllib.parse, "uses_netloc", EqualToAnything()),
    "code-of-namedtuple-new": lambda m: m.setattr(namedtuple_new(urllib.parse._SplitResultBase), "__code__",
                                                  upper_path_new.__code__),
    "_tuple_new-of-namedtuple-new": lambda m: m.setitem(
        namedtuple_new(urllib.parse._SplitResultBase).__globals__, "_tuple_new",
        lambda cls, values: tuple.__new__(cls, [value.upper() for value in values])),
    "bases-of-ParseResult": lambda m: m.setattr(
        bases_of(urllib.parse.ParseResult), "value",
        (upper_path(urllib.parse._ParseResultBase), urllib.parse._NetlocResultMixinStr)),
    "bases-of-SplitResult": lambda m: m.setattr(
        bases_of(urllib.parse.SplitResult), "value",
        (upper_path(urllib.parse._SplitResultBase), urllib.parse._NetlocResultMixinStr)),
}
_real_urlsplit = urllib.parse.urlsplit.__wrapped__


def answers_of(module, hrefs=(HREF,), base=BASE):
    """The action and links of a page with `hrefs` by vornel, then by the module's own urljoin and
    urlparse, asserted equal; vornel goes first, so that it sees urllib.parse's caches as they were."""
    page = "".join(f'<a href="{href}"></a><form action="{href}"></form>' for href in hrefs)
    got = actions_and_links(module.VornInspector(page, base))
    links = {"internal": [], "external": []}
    domain = module.urlparse(base).netloc
    for href in hrefs:
        link = module.urljoin(base, href)
        links["internal" if domain in module.urlparse(link).netloc else "external"].append(link)
    expected = ([module.urljoin(base, href) for href in hrefs],
                {kind: list(dict.fromkeys(urls)) for kind, urls in links.items()})
    assert got == expected
    return expected


# Replacing urljoin itself, or urllib.parse in sys.modules, after import changes nothing that the
# module binds or consults.
BINDINGS = {"urljoin-wrapped", "sys.modules-shim", "sys.modules-object"}


@pytest.mark.parametrize("when, change", [("before-import", change) for change in CHANGES] +
                         [("after-import", change) for change in CHANGES if change not in BINDINGS])
def test_links_follow_urllib_parse_changed_before_or_after_import(monkeypatch, change, when):
    unchanged = answers_of(inspector_module)
    if when == "before-import":
        CHANGES[change](monkeypatch)
        urllib.parse.urlsplit.cache_clear()  # cached answers would hide the change
        module = fresh_module()
    else:
        module = inspector_module
        CHANGES[change](monkeypatch)
        urllib.parse.urlsplit.cache_clear()
    try:
        assert answers_of(module) != unchanged  # the change shows in urllib.parse's answers
    finally:
        monkeypatch.undo()
        urllib.parse.urlsplit.cache_clear()
    assert answers_of(inspector_module) == unchanged


@pytest.mark.parametrize("when", ["before-import", "after-import"])
def test_a_scheme_list_that_refuses_comparison_changes_nothing(monkeypatch, when):
    unchanged = answers_of(inspector_module)
    if when == "before-import":
        monkeypatch.setattr(urllib.parse, "uses_relative", RefusesComparison(urllib.parse.uses_relative))
        module = fresh_module()
    else:
        module = inspector_module
        monkeypatch.setattr(urllib.parse, "uses_relative", RefusesComparison(urllib.parse.uses_relative))
    assert answers_of(module) == unchanged  # no error where urljoin has none


def refill(counts, base):
    """Empties urlsplit's cache and calls it until it shows `counts` again, with urlparse(base)
    its last miss (and hit), as urllib.parse answers now."""
    urllib.parse.urlsplit.cache_clear()
    for number in range(counts.misses - 1):
        urllib.parse.urlsplit(f"http://refill-{number}.example/")
    for _ in range(counts.hits + 1):
        urllib.parse.urlparse(base)
    assert urllib.parse.urlsplit.cache_info()[:2] == counts[:2]


# The cache is either emptied first (its counts go back) or not (its misses grow), or emptied and
# filled again to the very counts that vornel saw last. The answers are cached by calls of
# urllib.parse's functions, or by vornel's constructor, whose urlparse(url) must not count as a
# call of urllib.parse's own while urllib.parse is changed (emptied first, the constructor's one
# miss could bring the counts back to those that vornel saw last).
@pytest.mark.parametrize("filled_by, emptied", [("urllib.parse", "first"), ("urllib.parse", "not"), ("vornel", "not"),
                                                ("vornel", "and-refilled")])
def test_answers_cached_while_urllib_parse_was_changed_are_not_kept(monkeypatch, emptied, filled_by):
    base = f"http://cached-{filled_by}-{emptied}.example/dir/page"  # a page URL not seen before
    if emptied == "and-refilled":
        urllib.parse.urlsplit.cache_clear()
        VornInspector(page_of([HREF]), f"http://seen-{emptied}.example/")._get_links()
        seen = urllib.parse.urlsplit.cache_info()  # as vornel saw the cache last
    monkeypatch.setattr(urllib.parse, "_splitnetloc", upper_netloc_splitnetloc)
    if emptied == "first":
        urllib.parse.urlsplit.cache_clear()
    if filled_by == "vornel":
        VornInspector(page_of([HREF]), base)
    else:
        urllib.parse.urlparse(urllib.parse.urljoin(base, HREF))  # both answers are in urlsplit's cache now
    if emptied == "and-refilled":
        refill(seen, base)
    monkeypatch.undo()
    netloc = base.split("/")[2]
    assert urllib.parse.urlparse(base).netloc == netloc.upper() != netloc  # urllib.parse answers from its cache
    fresh = base.removesuffix("/dir/page") + HREF
    # Undone is undone, for vornel and for urllib.parse.
    assert answers_of(inspector_module, base=base) == ([fresh], {"internal": [fresh], "external": []})
    assert "urljoin" not in python_calls_during(VornInspector(page_of([HREF]), base)._get_links)
