"""The page summary as a whole: its shape, the order of the extractors, real pages."""

import json

import pytest

import vornel.inspector as inspector_module
from vornel.inspector import VornInspector

from helpers.modules import model_summary, query_path_summary
from helpers.pages import read_page, real_pages


@pytest.mark.parametrize("url", ["https://www.example.com/section/page.html", "", "relative/path"])
@pytest.mark.parametrize("page", real_pages(), ids=lambda p: p.name)
def test_real_pages_match_the_plain_python_model_and_the_queries(page, url):
    html = read_page(page)
    inspector = VornInspector(html, url)
    first, second = inspector.get_summary(), inspector.get_summary()
    assert first == second and first is not second
    assert first["links"] is not second["links"] and first["forms"] is not second["forms"]
    assert first == model_summary(html, url)
    assert first == query_path_summary(html, url)  # the native walk against the selector queries
    json.dumps(first)  # plain values only


def test_keys_come_in_order_and_an_empty_page_gives_empty_records(summarize):
    summary = summarize("", "")
    assert list(summary) == ["title", "metadata", "forms", "links", "media", "structure"]
    assert list(summary["media"]) == ["images", "count"]
    assert list(summary["structure"]) == ["tables", "json_ld", "lists", "headings", "detailed_tables"]
    assert summary == {
        "title": "No Title", "metadata": {}, "forms": [], "links": {"internal": [], "external": []},
        "media": {"images": [], "count": 0},
        "structure": {"tables": 0, "json_ld": 0, "lists": 0, "headings": [], "detailed_tables": []},
    }


@pytest.mark.parametrize(
    "markup, title",
    [
        ("<title>\n  Hello <b>there</b>\n</title>", "Hello <b>there</b>"),
        ("<title></title>", ""),
        ("<title>\xa0 A \xa0</title>", "A"),
        ("<title>First</title><title>Second</title>", "First"),
        ("<p>no title</p>", "No Title"),
    ],
)
def test_the_title_is_the_first_title_element_stripped_or_no_title(summarize, markup, title):
    assert summarize(markup)["title"] == title


@pytest.mark.parametrize(
    "markup, text",
    [
        ("<h2>Hello <em>World</em></h2>", "Hello World"),
        ("<h2>\n  Two   spaces\n inside </h2>", "Two   spaces\n inside"),
        ("<h2>\xa0<span>a</span> <span>b</span>\xa0</h2>", "a b"),
        ("<h2>  </h2>", ""),
    ],
)
def test_texts_keep_inner_white_space(summarize, markup, text):
    structure = summarize(f"{markup}<table><tr>{markup.replace('h2', 'th')}</tr></table>")["structure"]
    assert structure["headings"] == [{"tag": "H2", "text": text}]
    assert structure["detailed_tables"][0]["columns"] == ([text] if text else ["Generic/No Headers"])


WHITE_SPACE = [chr(code) for code in range(0x110000) if chr(code).isspace()]


@pytest.mark.parametrize("around", WHITE_SPACE + ["\u200b", "\u180e", "\ufeff"], ids=lambda c: f"U+{ord(c):04X}")
def test_texts_lose_exactly_what_str_strip_removes(summarize, around):
    # The native walk strips the UTF-8 bytes, so every white space character of Python's is tried.
    markup = f"{around}{around}x{around}y{around}"
    summary = summarize(f"<title>{markup}</title><h1>{markup}</h1><table><th>{markup}</th></table>")
    expected = markup.replace("\r", "\n").strip()  # the parser reads a carriage return as a line feed
    assert summary["title"] == expected and summary["structure"]["headings"][0]["text"] == expected
    assert summary["structure"]["detailed_tables"][0]["columns"] == [expected]


def test_media_and_structure_count_every_element(summarize):
    page = (
        '<img><img src><img src=""><img src="a.png"><img src="a.png"><img src=" ">'
        '<ul><li><ol><li>x</ol></ul><table><tr><td><table></table></td></tr></table>'
        '<script type="application/ld+json">{}</script><script type="application/ld+json">[]</script>'
    )
    summary = summarize(page)
    assert summary["media"] == {"images": ["a.png", "a.png", " "], "count": 6}
    assert summary["structure"]["tables"] == 2
    assert summary["structure"]["lists"] == 2
    assert summary["structure"]["json_ld"] == 2


def test_scripts_and_styles_are_gone_before_any_extractor_runs(summarize):
    page = "<title>T</title><style>h1 {}</style><script>document.write('<h1>x</h1>')</script><h1>Real</h1>"
    assert summarize(page)["structure"]["headings"] == [{"tag": "H1", "text": "Real"}]


class Recording(VornInspector):
    """Records extractor calls and can make one of them fail."""

    failing = None

    def __init__(self, html, url):
        super().__init__(html, url)
        self.calls = []

    def _call(self, name):
        self.calls.append(name)
        if name == self.failing:
            raise LookupError(name)
        return getattr(VornInspector, name)(self)

    def _get_meta(self): return self._call("_get_meta")
    def _get_forms(self): return self._call("_get_forms")
    def _get_links(self): return self._call("_get_links")
    def _get_heading_hierarchy(self): return self._call("_get_heading_hierarchy")
    def _get_tables_detailed(self): return self._call("_get_tables_detailed")


ORDER = ["_get_meta", "_get_forms", "_get_links", "_get_heading_hierarchy", "_get_tables_detailed"]


@pytest.mark.parametrize("failing", [None, *ORDER])
def test_extractors_run_in_order_and_a_failure_stops_the_later_ones(failing):
    inspector = Recording("<h1>x</h1>", "https://example.com/")
    inspector.failing = failing
    if failing is None:
        inspector.get_summary()
        assert inspector.calls == ORDER
    else:
        with pytest.raises(LookupError):
            inspector.get_summary()
        assert inspector.calls == ORDER[: ORDER.index(failing) + 1]


def test_extractor_results_are_stored_as_returned():
    marker = object()

    class Custom(VornInspector):
        def _get_links(self):
            return marker

    assert Custom("", "").get_summary()["links"] is marker


def test_url_functions_are_looked_up_when_used(monkeypatch):
    inspector = VornInspector('<a href="/x">x</a><form action="/f"></form>', "https://example.com/")
    monkeypatch.setattr(inspector_module, "urljoin", lambda base, ref: f"joined:{ref}")
    summary = inspector.get_summary()
    assert summary["forms"][0]["action"] == "joined:/f"
    assert summary["links"] == {"internal": [], "external": ["joined:/x"]}


def test_get_summary_takes_only_self():
    inspector = VornInspector("", "")
    assert VornInspector.get_summary(self=inspector)["title"] == "No Title"
    with pytest.raises(TypeError, match=r"^get_summary\(\) takes exactly 1 positional argument \(2 given\)$"):
        inspector.get_summary(1)
    with pytest.raises(TypeError, match=r"^get_summary\(\) takes exactly 1 positional argument \(0 given\)$"):
        VornInspector.get_summary()
    with pytest.raises(TypeError, match=r"^get_summary\(\) got multiple values for keyword argument 'self'$"):
        VornInspector.get_summary(inspector, self=inspector)
    with pytest.raises(AttributeError):
        VornInspector.__new__(VornInspector).get_summary()


@pytest.mark.parametrize("count", [5000])
def test_large_pages_keep_every_link_and_column_and_15_headings(summarize, count):
    page = (
        "".join(f'<a href="/p{i}">{i}</a><h2>H{i}</h2>' for i in range(count))
        + "<table>" + "".join(f"<tr><th>c{i}</th><td>{i}</td></tr>" for i in range(count)) + "</table>"
    )
    summary = summarize(page)
    assert len(summary["links"]["internal"]) == count
    assert len(summary["structure"]["headings"]) == 15
    assert len(summary["structure"]["detailed_tables"][0]["columns"]) == count
