"""Shared helpers for the vornel tests."""

import importlib.util
import os
import pathlib

import pytest

import vornel.inspector

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "pages"
SAMPLE_PAGE = ROOT / "examples" / "pages" / "sample.html"

# Set when scripts/sanitize runs the suite with AddressSanitizer preloaded: its allocator keeps
# freed memory in quarantine, and programs started from the tests inherit the preload.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")


def corpus_pages():
    """The real pages beside the project, or none in a user's clone."""
    return sorted(CORPUS.glob("*.html")) if CORPUS.is_dir() else []


def read_page(path):
    return path.read_text(encoding="utf-8", errors="replace")


def load_fresh_inspector():
    """A second, independent module object of vornel.inspector, not entered in sys.modules."""
    found = importlib.util.spec_from_file_location("vornel.inspector", vornel.inspector.__file__)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture
def fresh_inspector():
    return load_fresh_inspector()


@pytest.fixture
def summarize():
    def run(html, url="https://example.com/dir/page.html"):
        return vornel.inspector.VornInspector(html, url).get_summary()

    return run
