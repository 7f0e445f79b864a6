"""Shared helpers for the vornel tests: the pages, the plain Python model of the summary, fresh
module objects, and the check of a summary against the record types of the stub."""

import __future__
import ast
import functools
import importlib.util
import os
import pathlib
import sys
import types
import typing

import pytest

import vornel.inspector

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "pages"
SAMPLE_PAGE = ROOT / "examples" / "pages" / "sample.html"

# Set when scripts/sanitize runs the suite with AddressSanitizer preloaded: its allocator keeps
# freed memory in quarantine, and programs started from the tests inherit the preload.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# The plain Python model of the summary is the benchmark's pure-Python peer.
sys.path.insert(0, str(ROOT / "bench"))
from peers.pure_python import PurePythonInspector  # noqa: E402


def corpus_pages():
    """The real pages beside the project, or none in a user's clone."""
    return sorted(CORPUS.glob("*.html")) if CORPUS.is_dir() else []


def real_pages():
    """The project's sample page, then the corpus pages."""
    return [SAMPLE_PAGE, *corpus_pages()]


def read_page(path):
    return path.read_text(encoding="utf-8", errors="replace")


# A page that takes every less common road: attributes without a value (an action that stays None
# with an empty page URL, a field's type and placeholder), a malformed link and action (left out
# and kept as written), empty texts, a table without header cells, nested lists, a JSON-LD block.
AWKWARD_PAGE = """<title></title><meta name=a content=b><meta property=og:x content=y>
<form action method><input name=q type placeholder required><select name=s></select><input></form>
<form method=post action=/send><textarea name=t placeholder=""></textarea></form>
<form action="http://[bad" method><input name=r required></form>
<a href=/p>p</a><a href=https://other.example/o>o</a><a href=#top>t</a><a href="http://[oops">bad</a>
<h1>One</h1><h2></h2><h3>Three</h3><table><tr><th>A</th><th> </th></tr></table><table><td>1</td></table>
<ul><li><ol></ol></ul><img src=a.png><img><script type="application/ld+json">{}</script><style>p {}</style>"""


def model_summary(html, url):
    """The plain Python model's summary of a page."""
    return PurePythonInspector(html, url).get_summary()


def fresh_module(name="vornel.inspector"):
    """A second, independent module object of one of our modules, not entered in sys.modules."""
    spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@functools.cache
def query_path_module():
    """A second vornel.inspector whose import check of selectolax failed (it was shown a release
    that the native walk was not written for), so that it summarises with selector queries only."""
    import selectolax

    release = selectolax.__version__
    selectolax.__version__ = "0.9.0"
    try:
        return fresh_module()
    finally:
        selectolax.__version__ = release


def query_path_summary(html, url):
    """The summary that the selector queries give: what the native walk must give too."""
    return query_path_module().VornInspector(html, url).get_summary()


@pytest.fixture
def summarize():
    def run(html, url="https://example.com/dir/page.html"):
        return vornel.inspector.VornInspector(html, url).get_summary()

    return run


@functools.cache
def stub_records():
    """The TypedDicts of the installed inspector stub, made into classes."""
    stub = pathlib.Path(vornel.inspector.__file__).with_name("inspector.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    records = [
        node for node in tree.body
        if isinstance(node, ast.ClassDef) and any(getattr(base, "id", None) == "TypedDict" for base in node.bases)
    ]
    # A module name outside sys.modules, so that forward references resolve in this namespace.
    namespace = {"__name__": "inspector_stub", "TypedDict": typing.TypedDict, "type_check_only": lambda cls: cls}
    code = compile(ast.Module(records, type_ignores=[]), str(stub), "exec", __future__.annotations.compiler_flag)
    exec(code, namespace)
    return namespace


@functools.cache
def record_fields(record):
    return typing.get_type_hints(record, globalns=stub_records())


def assert_has_type(value, hint, where):
    """Asserts that `value` has exactly the type `hint`: keys in declared order, no subclasses."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if typing.is_typeddict(hint):
        fields = record_fields(hint)
        assert type(value) is dict and list(value) == list(fields), where
        for key, field in fields.items():
            assert_has_type(value[key], field, f"{where}[{key!r}]")
    elif origin is list:
        assert type(value) is list, where
        for index, item in enumerate(value):
            assert_has_type(item, args[0], f"{where}[{index}]")
    elif origin is dict:
        assert type(value) is dict, where
        for key, item in value.items():
            assert_has_type(key, args[0], f"{where} key {key!r}")
            assert_has_type(item, args[1], f"{where}[{key!r}]")
    elif origin in (typing.Union, types.UnionType):
        assert type(value) in args, f"{where}: {type(value).__name__} is not one of {args}"
    else:
        assert type(value) is hint, f"{where}: {type(value).__name__} is not {hint.__name__}"


def assert_summary_shape(summary):
    """The summary has exactly the shape of the stub's Summary record."""
    assert_has_type(summary, stub_records()["Summary"], "summary")
