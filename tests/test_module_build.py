"""The built extension: its shared-library dependencies, exports and multi-phase initialisation."""

import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import vornel.inspector
import vornel.onionprep
from conftest import UNDER_SANITIZER, load_fresh_inspector

MODULES = [vornel.inspector, vornel.onionprep]
# The sanitizer build needs the sanitizer runtimes as well.
ALLOWED = {"libc.so.6", "libpthread.so.0"} | ({"libasan.so.8", "libubsan.so.1"} if UNDER_SANITIZER else set())


def readelf(option, module):
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    command = ["readelf", "-W", option, module.__file__]
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_needs_only_libc_and_libpthread(module):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", module))
    assert needed and set(needed) <= ALLOWED


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_exports_only_the_init_function(module):
    # columns: Num: Value Size Type Bind Vis Ndx Name
    rows = [line.split() for line in readelf("--dyn-syms", module).splitlines()]
    exported = [r[7] for r in rows if len(r) >= 8 and r[4] in ("GLOBAL", "WEAK") and r[6] != "UND"]
    assert exported == ["PyInit_" + module.__name__.rpartition(".")[2]]


def test_each_load_makes_an_independent_module():
    first, second = load_fresh_inspector(), load_fresh_inspector()
    assert len({vornel.inspector.VornInspector, first.VornInspector, second.VornInspector}) == 3
    first.urlparse = None
    assert second.VornInspector("", "http://host/").domain == "host"
    page = second.VornInspector('<meta name="a" content="b">', "")
    assert first.VornInspector._get_meta(page) == {"a": "b"}


def test_import_in_shared_gil_subinterpreter():
    # In a new process: selectolax loads into one interpreter per process only.
    code = """import vornel.inspector as m
page = m.VornInspector('<meta name="a" content="b"><script>x</script>', "http://host:1/p")
assert page._get_meta() == {"a": "b"} and page.domain == "host:1", vars(page)"""
    run = f"import _testcapi\nraise SystemExit(_testcapi.run_in_subinterp({code!r}))"
    result = subprocess.run([sys.executable, "-c", run], capture_output=True, text=True)
    if "No module named '_testcapi'" in result.stderr:
        pytest.skip("_testcapi is not available")
    assert result.returncode == 0, result.stderr


def test_import_in_isolated_subinterpreter():
    _interpreters = pytest.importorskip("_interpreters")
    # selectolax refuses isolated sub-interpreters; a stand-in parser takes its place there.
    code = """\
        import sys
        from types import SimpleNamespace as Fake
        sys.modules["selectolax.lexbor"] = Fake(LexborHTMLParser=lambda html: Fake(html=html, css=lambda s: []))
        import vornel.inspector as m
        page = m.VornInspector("<p>", "http://host:1/p")
        assert page.parser.html == "<p>" and page.domain == "host:1", vars(page)
    """
    interpreter = _interpreters.create("isolated")
    try:
        failure = _interpreters.run_string(interpreter, textwrap.dedent(code))
    finally:
        _interpreters.destroy(interpreter)
    assert failure is None, failure.formatted
