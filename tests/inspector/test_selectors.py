"""Each query of the summary takes its own elements and none of their neighbours, on a small
page per query (the title and meta queries have theirs in test_summary.py and test_metadata.py)."""

import pytest

from vornel.inspector import VornInspector


def structure(key):
    return lambda page: page.get_summary()["structure"][key]


CASES = [
    pytest.param(
        "<h4>four</h4><h2>two</h2><h5>five</h5><h1>one</h1><h6>six</h6><h3>three</h3>"
        "<header>header</header><hgroup><p>group</p></hgroup>",
        structure("headings"),
        [{"tag": "H2", "text": "two"}, {"tag": "H1", "text": "one"}, {"tag": "H3", "text": "three"}],
        id="headings-h1-to-h3-in-document-order",
    ),
    pytest.param(
        "<ul><li>a</ul><dl><dt>term<dd>definition</dl><menu><li>m</menu><ol><li>b</ol><select><option>o</select>",
        structure("lists"), 2, id="lists-ul-and-ol",
    ),
    pytest.param(
        '<script type="application/ld+json">{}</script><script>var a</script>'
        '<script type="application/json">{}</script><script type="text/ld+json">{}</script>'
        '<script type="application/ld+json;profile=x">{}</script><script src="ld.json"></script>'
        '<script type="application/ld+json">[]</script>',
        structure("json_ld"), 2, id="json-ld-scripts-only",
    ),
    pytest.param(
        "<a href=/in>a</a><link rel=next href=/link><area href=/area><base href=/base><div href=/div>d</div>",
        lambda page: page._get_links(), {"internal": ["https://example.com/in"], "external": []}, id="links-a-only",
    ),
    pytest.param(
        "<img src=a.png><picture><source srcset=b.png src=c.png><img src=d.png></picture><input type=image src=e.png>"
        "<iframe src=f.html></iframe><embed src=g.swf><video poster=h.png src=i.mp4></video><audio src=j.mp3></audio>",
        lambda page: page.get_summary()["media"], {"images": ["a.png", "d.png"], "count": 2}, id="images-img-only",
    ),
    pytest.param(
        "<table><caption>caption</caption><thead><tr><th>Head</th><td>data</td></tr></thead>"
        "<tbody><tr><td>cell</td><th scope=row>Row</th></tr></tbody><tfoot><tr><td>foot</td></tr></tfoot></table>",
        structure("detailed_tables"), [{"id": 1, "columns": ["Head", "Row"]}], id="table-headers-th-only",
    ),
    pytest.param(
        "<form action=/f><input name=i><select name=s><option name=o>o</option></select><textarea name=t></textarea>"
        "<button name=b>b</button><fieldset name=fs></fieldset><output name=out></output><object name=obj></object>"
        "<img name=img></form><fieldset><input name=outside></fieldset>",
        lambda page: [[field["name"] for field in form["inputs"]] for form in page._get_forms()], [["i", "s", "t"]],
        id="forms-and-their-fields",
    ),
    pytest.param(
        "<h1>A<script>s</script><style>t</style><noscript>B</noscript><code>C</code><textarea>D</textarea></h1>"
        '<h2 style="color: red" class="script style">E</h2><link rel=stylesheet href=s.css>',
        structure("headings"), [{"tag": "H1", "text": "ABCD"}, {"tag": "H2", "text": "E"}],
        id="removal-of-script-and-style-only",
    ),
]


@pytest.mark.parametrize("page, read, expected", CASES)
def test_each_query_takes_its_elements_and_leaves_their_neighbours(page, read, expected):
    assert read(VornInspector(page, "https://example.com/page")) == expected
