"""Typing: the stubs agree with the modules, the examples pass mypy --strict, and the summaries
of real and awkward pages have exactly the shape that the stub's TypedDicts describe."""

import __future__
import ast
import functools
import importlib.util
import subprocess
import sys
import types
import typing
from pathlib import Path

import pytest

import vornel.inspector
from vornel.inspector import VornInspector

from conftest import ROOT, SAMPLE_PAGE, corpus_pages, read_page

ALLOWLIST = ROOT / "tests" / "stubtest_allowlist.txt"
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run_python(*args, cwd):
    # Run outside the source tree, so that the installed package and its stubs are what is checked.
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300)


@needs_mypy
def test_examples_pass_mypy_strict(tmp_path):
    examples = sorted(str(path) for path in (ROOT / "examples").glob("*.py"))
    result = run_python("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_the_crawl_package_and_the_command_pass_mypy_strict(tmp_path):
    result = run_python("-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                        "-p", "vornel.crawl", "-m", "vornel.cli", "-m", "vornel.__main__", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


@needs_mypy
@pytest.mark.parametrize("module", ["vornel.inspector", "vornel.onionprep"])
def test_stubs_match_the_module(module, tmp_path):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not built in this tree")
    allowlist = ["--allowlist", str(ALLOWLIST)] if ALLOWLIST.exists() else []
    result = run_python("-m", "mypy.stubtest", module, *allowlist, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@functools.cache
def stub_records():
    """The TypedDicts of the installed inspector stub, made into classes."""
    stub = Path(vornel.inspector.__file__).with_name("inspector.pyi")
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


def check_shape(value, hint, namespace, where="summary"):
    """Asserts that `value` has exactly the type `hint`: keys in declared order, no subclasses."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if typing.is_typeddict(hint):
        fields = typing.get_type_hints(hint, globalns=namespace)
        assert type(value) is dict and list(value) == list(fields), where
        for key, field in fields.items():
            check_shape(value[key], field, namespace, f"{where}[{key!r}]")
    elif origin is list:
        assert type(value) is list, where
        for index, item in enumerate(value):
            check_shape(item, args[0], namespace, f"{where}[{index}]")
    elif origin is dict:
        assert type(value) is dict, where
        for key, item in value.items():
            check_shape(key, args[0], namespace, f"{where} key {key!r}")
            check_shape(item, args[1], namespace, f"{where}[{key!r}]")
    elif origin in (typing.Union, types.UnionType):
        assert type(value) in args, f"{where}: {type(value).__name__} is not one of {args}"
    else:
        assert type(value) is hint, f"{where}: {type(value).__name__} is not {hint.__name__}"


# Values that take the less common branch of a record's type: attributes without a value, an
# action that stays None with an empty page URL, empty texts, a table without header cells.
AWKWARD_PAGE = """<title></title><meta name=a content=b><meta property=og:x content=y>
<form action method><input name=q type placeholder required><select name=s></select><input></form>
<form method=post action=/send><textarea name=t placeholder=""></textarea></form>
<a href=/p>p</a><a href=https://other.example/o>o</a><a href=#top>t</a>
<h1>One</h1><h2></h2><h3>Three</h3><table><tr><th>A</th><th></th></tr></table><table><td>1</td></table>
<ul><li><ol></ol></ul><img src=a.png><img><script type="application/ld+json">{}</script>"""


PAGES = [
    pytest.param(AWKWARD_PAGE, id="awkward"),
    pytest.param("", id="empty"),
    *(pytest.param(read_page(page), id=page.name) for page in [SAMPLE_PAGE, *corpus_pages()]),
]


@pytest.mark.parametrize("url", ["https://example.com/dir/page.html", ""])
@pytest.mark.parametrize("html", PAGES)
def test_summaries_have_the_shape_of_the_stub(html, url):
    namespace = stub_records()
    assert {"Summary", "FormRecord", "InputRecord", "Links", "Media", "Structure", "HeadingRecord",
            "TableRecord"} <= namespace.keys()
    check_shape(VornInspector(html, url).get_summary(), namespace["Summary"], namespace)


def test_the_awkward_page_reaches_the_optional_branches():
    forms = VornInspector(AWKWARD_PAGE, "").get_summary()["forms"]
    assert forms[0]["action"] is None and forms[0]["inputs"][0]["type"] is None
    assert forms[0]["inputs"][0]["placeholder"] is None
