"""The pages the benchmark reads: the shared corpus beside the project, and the project's own pages."""

from project_paths import ROOT

CORPUS = ROOT.parent / "shared" / "corpus" / "pages"  # absent in a user's clone
PROJECT_PAGES = ROOT / "examples" / "pages"
PAGE_URL = "https://www.example.com/section/page.html"  # the corpus records no URL; any will do


def find_pages(pattern="*.html"):
    """(group, path) for every page whose file name matches pattern, corpus first."""
    groups = [("corpus", CORPUS), ("project", PROJECT_PAGES)]
    return [(group, path) for group, folder in groups if folder.is_dir() for path in sorted(folder.glob(pattern))]


def read_page(path):
    return path.read_text(encoding="utf-8", errors="replace")
