"""Summaries built from many threads at once, and the module in sub-interpreters."""

import json
import subprocess
import sys
import threading

import pytest

import vornel
from vornel.inspector import VornInspector

from helpers.pages import SAMPLE_PAGE, read_page, real_pages

URL = "https://www.example.com/section/page.html"
THREADS = 8


def test_eight_threads_at_once_build_the_same_summaries_as_one():
    htmls = [read_page(path) for path in real_pages()]
    expected = [VornInspector(html, URL).get_summary() for html in htmls]
    shared = VornInspector(htmls[0], URL)  # one instance summarised by every thread too
    start = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def work(number):
        try:
            start.wait()
            # Each thread starts at another page, so that different pages are parsed at the same time.
            order = [(number + i) % len(htmls) for i in range(len(htmls))]
            summaries = {i: VornInspector(htmls[i], URL).get_summary() for i in order}
            results[number] = ([summaries[i] for i in range(len(htmls))], shared.get_summary())
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    for summaries, shared_summary in results:
        assert summaries == expected
        assert shared_summary == expected[0]


# selectolax loads into one interpreter per process, so the real parser is tried in a fresh
# process whose main interpreter never imports it.
SUBINTERPRETER_SUMMARY = '''if True:
    import sys, _interpreters
    interpreter = _interpreters.create("legacy")
    _interpreters.set___main___attrs(interpreter, {"folder": sys.argv[1], "url": sys.argv[2]})
    failure = _interpreters.run_string(interpreter, """if True:
        import json, pathlib
        from vornel.inspector import VornInspector
        folder = pathlib.Path(folder)
        html = (folder / "page.html").read_text(encoding="utf-8")
        summary = VornInspector(html, url).get_summary()
        (folder / "summary.json").write_text(json.dumps(summary), encoding="utf-8")
    """)
    _interpreters.destroy(interpreter)
    sys.exit(failure.errdisplay if failure else 0)
'''

# A stand-in for selectolax.lexbor, which refuses isolated interpreters: an empty document.
FAKE_LEXBOR = """if True:
    import sys, types
    class LexborHTMLParser:
        def __init__(self, html):
            self.html = html
        def css(self, selector):
            return []
        def css_first(self, selector):
            return None
    lexbor = types.ModuleType("selectolax.lexbor")
    lexbor.LexborHTMLParser = LexborHTMLParser
    sys.modules["selectolax.lexbor"] = lexbor
"""


@pytest.fixture
def interpreters():
    return pytest.importorskip("_interpreters", reason="the sub-interpreter API of CPython 3.13")


def run_in_subinterpreter(interpreters, config, code):
    interpreter = interpreters.create(config)
    try:
        return interpreters.run_string(interpreter, code)
    finally:
        interpreters.destroy(interpreter)


def test_summary_in_a_subinterpreter_sharing_the_gil(interpreters, tmp_path):
    html = read_page(SAMPLE_PAGE)
    (tmp_path / "page.html").write_text(html, encoding="utf-8")
    subprocess.run([sys.executable, "-c", SUBINTERPRETER_SUMMARY, str(tmp_path), URL], check=True, timeout=120)
    summary = json.loads((tmp_path / "summary.json").read_text(encoding="utf-8"))
    assert summary == VornInspector(html, URL).get_summary()


def test_package_and_modules_in_an_isolated_interpreter_with_its_own_gil(interpreters):
    code = FAKE_LEXBOR + f"""if True:
        import vornel
        assert vornel.__version__ == {vornel.__version__!r}
        import vornel.inspector as inspector
        summary = inspector.VornInspector("<p>", "https://example.com/").get_summary()
        assert summary["title"] == "No Title" and summary["links"] == {{"internal": [], "external": []}}
        assert inspector.LexborHTMLParser is lexbor.LexborHTMLParser
        import vornel.onionprep as onionprep
        assert list(vars(onionprep))[-5:] == ["os", "subprocess", "time", "logger", "ensure_tor_env"]
    """
    # Twice: the module is initialised again in a new interpreter and freed with it.
    for _ in range(2):
        failure = run_in_subinterpreter(interpreters, "isolated", code)
        assert failure is None, failure.errdisplay


# Isolated interpreters started at once from threads of a fresh process, so that a crash fails
# the test instead of ending the suite.
AT_ONCE = """if True:
    import sys, threading, _interpreters
    code, count = sys.argv[1], int(sys.argv[2])
    interpreters = [_interpreters.create("isolated") for _ in range(count)]
    start, failures = threading.Barrier(count), []

    def run(interpreter):
        start.wait()
        failure = _interpreters.run_string(interpreter, code)
        if failure:
            failures.append(failure.errdisplay)

    threads = [threading.Thread(target=run, args=(interpreter,)) for interpreter in interpreters]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for interpreter in interpreters:
        _interpreters.destroy(interpreter)
    sys.exit("\\n".join(failures) if failures else 0)
"""


def run_at_once(code, count=4):
    result = subprocess.run([sys.executable, "-c", AT_ONCE, code, str(count)], capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr[-3000:]}"


def test_four_isolated_interpreters_import_the_package_and_summarize_at_once(interpreters):
    # The package's import reads no installed metadata: importlib.metadata in several such
    # interpreters at once crashes CPython 3.13.0.
    run_at_once(FAKE_LEXBOR + f"""if True:
        import vornel, vornel.inspector
        assert vornel.__version__ == {vornel.__version__!r} and "importlib.metadata" not in sys.modules
        for _ in range(300):
            vornel.inspector.VornInspector("<p>", "https://example.com/").get_summary()
    """)


@pytest.mark.interpreter_fault
def test_four_isolated_interpreters_import_onionprep_at_once(interpreters):
    """Out of the default run: loguru imports datetime, and CPython 3.13.0 crashes when isolated
    interpreters import datetime at once (plain `import datetime` does it too)."""
    run_at_once("""if True:
        import vornel.onionprep
        assert list(vars(vornel.onionprep))[-5:] == ["os", "subprocess", "time", "logger", "ensure_tor_env"]
    """)


def test_selectolax_still_refuses_isolated_interpreters(interpreters):
    """When this fails, selectolax has learnt to run in isolated interpreters: test the real parser there."""
    failure = run_in_subinterpreter(interpreters, "isolated", "import selectolax.lexbor")
    assert failure is not None and failure.type.__name__ == "ImportError", failure
    assert "subinterpreters" in failure.msg
