"""Our extension modules, fresh copies of them, and the summaries the tests hold vornel's against:
the plain Python model's and the selector queries'."""

import functools
import importlib
import importlib.util

from summary_model import PurePythonInspector

# Every extension module the package builds, by import name.
EXTENSION_MODULES = ["vornel.inspector", "vornel.onionprep"]


def extension_modules():
    """The extension modules, imported."""
    return [importlib.import_module(name) for name in EXTENSION_MODULES]


def fresh_module(name="vornel.inspector"):
    """A second, independent module object of one of our modules, not entered in sys.modules."""
    spec = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@functools.cache
def query_path_module():
    """A second vornel.inspector whose import check of selectolax failed (it was shown a release
    that the native walk was not written for), so that it summarizes with selector queries only."""
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


def model_summary(html, url):
    """The plain Python model's summary of a page."""
    return PurePythonInspector(html, url).get_summary()
