"""VornInspector._get_meta: the page's meta elements as one name -> content dict."""

from types import SimpleNamespace

import pytest

from vornel.inspector import VornInspector


def meta_of(html):
    return VornInspector(html, "https://example.com/")._get_meta()


@pytest.mark.parametrize(
    "markup, expected",
    [
        ("<title>T</title><link rel=icon href=x>", {}),
        ('<meta charset="utf-8"><meta http-equiv="refresh" content="5">', {}),
        ('<meta name="" property="og:title" content="T">', {"og:title": "T"}),
        ('<meta name property="og:title" content="T">', {"og:title": "T"}),
        ('<meta name="description" property="og:description" content="D">', {"description": "D"}),
        ('<meta name="a" content=""><meta name="b" content><meta name="c">', {}),
        ('<meta property="p" content=""><meta name="" property="" content="x">', {}),
        ('<meta name="  " content="blank key">', {"  ": "blank key"}),
        ('<meta name="Desc" content=" A "><meta name="desc" content="b">', {"Desc": " A ", "desc": "b"}),
        ('<meta name="e" content="&amp;&lt;&#x263A;" lang="en" itemprop="y">', {"e": "&<\u263a"}),
    ],
)
def test_a_meta_element_gives_its_name_or_property_and_content(markup, expected):
    assert meta_of(markup) == expected


def test_duplicates_and_body_meta_keep_the_first_position_and_the_last_value():
    result = meta_of(
        '<head><meta name="a" content="1"><meta property="b" content="2"></head><body>'
        '<div><meta name="a" content="3"></div><meta property="a" content="4"><meta name="a" content="">'
        '<meta name="c" content="5"></body>'
    )
    assert list(result.items()) == [("a", "4"), ("b", "2"), ("c", "5")]


def test_each_call_returns_a_new_dict_read_from_the_current_parser():
    page = VornInspector('<meta name="a" content="1">', "")
    page._get_meta()["added"] = "x"
    assert page._get_meta() == {"a": "1"}
    page.parser = page.parser.__class__('<meta name="z" content="26">')
    assert page._get_meta() == {"z": "26"}


def test_attributes_that_are_not_a_plain_dict_are_read_through_get():
    asked = []

    class Attributes(dict):
        def get(self, name):
            asked.append(name)
            return super().get(name)

    nodes = [SimpleNamespace(attributes=Attributes(a)) for a in (
        {"name": "n", "property": "ignored", "content": "1"}, {"name": "", "property": "p", "content": "2"})]
    page = VornInspector("", "")
    page.parser = SimpleNamespace(css=lambda selector: iter(nodes) if selector == "meta" else None)
    assert page._get_meta() == {"n": "1", "p": "2"}
    assert asked == ["name", "content", "name", "property", "content"]
    page.parser = None
    with pytest.raises(AttributeError):
        page._get_meta()
