"""What the benchmark times: one callable per contender, each running construction plus get_summary."""

import importlib.util
import sys
from pathlib import Path

from selectolax.lexbor import LexborHTMLParser

import project_paths  # noqa: F401  (the plain Python model's folder on the path)


def summarizer(inspector_class):
    return lambda html, url: inspector_class(html, url).get_summary()


def parse_only(html, url):
    LexborHTMLParser(html)


def parse_and_queries(html, url):
    """What any implementation must do: the parse and every query the summary is made of, nothing else."""
    parser = LexborHTMLParser(html)
    parser.css('script[type="application/ld+json"]')
    for node in parser.css("script, style"):
        node.decompose()
    parser.css_first("title")
    for selector in ("meta", "a", "img", "table", "ul, ol", "h1, h2, h3"):
        parser.css(selector)
    for form in parser.css("form"):
        form.css("input, select, textarea")
    for table in parser.css("table"):
        table.css("th")


def load_other_build(folder):
    """The VornInspector of another built vornel in folder/vornel, loaded beside the current one."""
    modules = sorted(Path(folder, "vornel").glob("inspector*.so"))
    if not modules:
        sys.exit(f"no built vornel/inspector*.so in {folder}")
    # A distinct module name lets both builds live in one process; the init function is still PyInit_inspector.
    spec = importlib.util.spec_from_file_location("vornel_before.inspector", modules[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.VornInspector


def inspector_classes(before_build=None):
    """Name -> a class like VornInspector; "vornel" comes first."""
    from vornel.inspector import VornInspector

    from peers.beautifulsoup import BeautifulSoupInspector
    from summary_model import PurePythonInspector

    classes = {"vornel": VornInspector}
    if before_build:
        classes["before"] = load_other_build(before_build)
    classes["pure-python"] = PurePythonInspector
    classes["bs4+lxml"] = BeautifulSoupInspector
    return classes


def contenders(before_build=None):
    """Name -> callable(html, url), in the order of the table's columns: the builds, the parse floor,
    the parse with the summary's fixed queries, then the peers."""
    runs = {name: summarizer(cls) for name, cls in inspector_classes(before_build).items()}
    builds = [name for name in ("vornel", "before") if name in runs]
    ordered = {name: runs.pop(name) for name in builds}
    return {**ordered, "floor": parse_only, "queries": parse_and_queries, **runs}
