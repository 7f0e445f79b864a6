"""Typing: the stubs agree with the modules, the examples pass mypy --strict, and the summaries
of real and awkward pages have exactly the shape that the stub's TypedDicts describe."""

import importlib.util
import subprocess
import sys

import pytest

from vornel.inspector import VornInspector

from helpers import ROOT
from helpers.modules import EXTENSION_MODULES
from helpers.pages import AWKWARD_PAGE, read_page, real_pages
from helpers.summary_shape import assert_summary_shape

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
# The package and each extension module, as the README says.
@pytest.mark.parametrize("module", ["vornel", *EXTENSION_MODULES])
def test_stubs_match_the_module(module, tmp_path):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not built in this tree")
    allowlist = ["--allowlist", str(ALLOWLIST)] if ALLOWLIST.exists() else []
    result = run_python("-m", "mypy.stubtest", module, *allowlist, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


PAGES = [
    pytest.param(AWKWARD_PAGE, id="awkward"),
    pytest.param("", id="empty"),
    *(pytest.param(read_page(page), id=page.name) for page in real_pages()),
]


@pytest.mark.parametrize("url", ["https://example.com/dir/page.html", ""])
@pytest.mark.parametrize("html", PAGES)
def test_summaries_have_the_shape_of_the_stub(html, url):
    assert_summary_shape(VornInspector(html, url).get_summary())


def test_the_awkward_page_reaches_the_optional_branches():
    forms = VornInspector(AWKWARD_PAGE, "").get_summary()["forms"]
    assert forms[0]["action"] is None and forms[0]["inputs"][0]["type"] is None
    assert forms[0]["inputs"][0]["placeholder"] is None
