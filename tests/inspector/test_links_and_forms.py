"""Link classification and form extraction, including malformed URLs on the page."""

import pytest

from vornel.inspector import VornInspector


def links(page, url="https://example.com/dir/page.html"):
    result = VornInspector(page, url)._get_links()
    assert list(result) == ["internal", "external"]
    return result


def anchors(*hrefs):
    return "".join(f"<a href='{href}'>x</a>" for href in hrefs) + "<a>no href</a><a href>bare</a><a href=''>e</a>"


def test_references_that_are_not_pages_are_skipped_case_sensitively():
    result = links(anchors("#", "#top", "javascript:void(0)", "mailto:a@b.c", "JavaScript:x", " #top", "Mailto:x"))
    # Other letter cases are schemes of their own; a blank before "#" makes it a reference.
    assert result == {"internal": ["https://example.com/dir/page.html#top"], "external": ["JavaScript:x", "Mailto:x"]}


@pytest.mark.parametrize(
    "page_url, href, internal",
    [
        ("https://example.com/", "https://sub.example.com/x", True),  # containment, not equality
        ("https://example.com/", "https://notexample.com/", True),
        ("https://www.example.com/", "https://example.com/", False),
        ("https://example.com:8080/", "https://example.com/", False),
        ("https://example.com/", "https://user@example.com/", True),
        ("https://example.com/", "https://EXAMPLE.com/", False),
        ("https://example.com/", "tel:+123", False),
        ("https://example.com/", "//example.com/x", True),
        ("", "https://anywhere.org/", True),  # an empty domain is in every netloc
        ("relative/path", "https://anywhere.org/", True),
    ],
)
def test_a_link_is_internal_when_the_page_host_occurs_in_its_netloc(page_url, href, internal):
    result = links(anchors(href), page_url)
    assert (len(result["internal"]), len(result["external"])) == ((1, 0) if internal else (0, 1))


def test_resolution_keeps_fragments_and_removes_only_exact_duplicates():
    result = links(anchors("other.html#part", "other.html", "/dir/other.html", "other.html/", "OTHER.html"))
    # In the order of first occurrence: the absolute form of other.html adds nothing.
    assert result["internal"] == [
        "https://example.com/dir/other.html#part", "https://example.com/dir/other.html",
        "https://example.com/dir/other.html/", "https://example.com/dir/OTHER.html",
    ]


@pytest.mark.parametrize("bad", ["http://[oops", "https://[::1/x", "//[broken/"])
def test_a_malformed_link_is_skipped_and_the_rest_is_kept(bad):
    inspector = VornInspector(anchors(bad, "/good", "https://other.org/"), "https://example.com/")
    summary = inspector.get_summary()
    assert summary["links"] == {"internal": ["https://example.com/good"], "external": ["https://other.org/"]}


def forms(page, url="https://example.com/dir/page.html?q=1#f"):
    return VornInspector(page, url)._get_forms()


def test_a_form_record_lists_the_named_fields_inside_the_form_only():
    page = """
      <form method="post" action="/send"><div><table><tr><td>
        <input name="a" type="EMAIL" placeholder=" p " required="false">
      </td></tr></table></div>
        <input><input name=""><input name>
        <select name="s"></select><textarea name="t" required></textarea>
        <input name="a" type placeholder><button name="b">go</button>
      </form>
      <input name="outside" form="f1">
      <form id="f1"></form>"""
    assert forms(page) == [
        {"action": "https://example.com/send", "method": "POST", "inputs": [
            {"name": "a", "type": "EMAIL", "placeholder": " p ", "required": True},
            {"name": "s", "type": "text", "placeholder": "", "required": False},
            {"name": "t", "type": "text", "placeholder": "", "required": True},
            {"name": "a", "type": None, "placeholder": None, "required": False},
        ]},
        {"action": "https://example.com/dir/page.html?q=1#f", "method": "GET", "inputs": []},
    ]


@pytest.mark.parametrize(
    "attributes, url, action, method",
    [
        ("method=get", "https://e.com/a", "https://e.com/a", "GET"),
        ("method", "https://e.com/a", "https://e.com/a", "GET"),  # a bare method attribute means GET
        ("method='' action", "https://e.com/a", "https://e.com/a", ""),
        ("method=straße", "https://e.com/a", "https://e.com/a", "STRASSE"),
        ("action=https://other.org/x", "https://e.com/a", "https://other.org/x", "GET"),
        ("action=rel", "", "rel", "GET"),
        ("action", "", None, "GET"),
        ("", "", "", "GET"),
        ("action='http://[oops'", "https://e.com/a", "http://[oops", "GET"),  # kept as written
    ],
)
def test_a_form_action_is_resolved_and_its_method_upper_cased(attributes, url, action, method):
    assert forms(f"<form {attributes}><input name=n></form>", url)[0] | {"inputs": None} == {
        "action": action, "method": method, "inputs": None,
    }


def test_attribute_values_of_every_shape_do_not_break_the_summary():
    long_value = "x" * 200_000
    page = (
        f"<a href='{long_value}'>l</a><a href='   '>b</a><a href='http://a b/'>s</a><a href='\x00'>n</a>"
        f"<a href='http://h:99999/'>p</a><a href='ht!tp://x'>q</a><img src='{long_value}'>"
        f"<form action='{long_value}' method='{long_value}'><input name='{long_value}' type=''></form>"
        f"<meta name='{long_value}' content='   '>"
    )
    summary = VornInspector(page, "https://example.com/").get_summary()
    assert summary["metadata"] == {long_value: "   "}
    assert summary["forms"][0]["method"] == long_value.upper()
    assert len(summary["links"]["internal"]) + len(summary["links"]["external"]) == 6
