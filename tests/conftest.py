import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "corpus" / "pages"
SAMPLE_PAGE = ROOT / "examples" / "pages" / "sample.html"


def corpus_pages():
    """The real pages beside the project, or none in a user's clone."""
    return sorted(CORPUS.glob("*.html")) if CORPUS.is_dir() else []


def read_page(path):
    return path.read_text(encoding="utf-8", errors="replace")


@pytest.fixture
def summarize():
    from vornel.inspector import VornInspector

    def run(html, url="https://example.com/dir/page.html"):
        return VornInspector(html, url).get_summary()

    return run
