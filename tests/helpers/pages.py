"""The pages the tests summarise: the project's sample page, the shared corpus (when it is there),
and one small page that takes every less common road."""

from helpers import ROOT

CORPUS = ROOT.parent / "shared" / "corpus" / "pages"
SAMPLE_PAGE = ROOT / "examples" / "pages" / "sample.html"


def corpus_pages():
    """The real pages beside the project, or none in a user's clone."""
    return sorted(CORPUS.glob("*.html")) if CORPUS.is_dir() else []


def real_pages():
    """The project's sample page, then the corpus pages."""
    return [SAMPLE_PAGE, *corpus_pages()]


def read_page(path):
    return path.read_text(encoding="utf-8", errors="replace")


# A page that takes every less common road: attributes without a value (an action that stays None
# with an empty page URL, a field's type and placeholder), a malformed link and action (left out
# and kept as written), empty texts, a table without header cells, nested lists, a JSON-LD block.
AWKWARD_PAGE = """<title></title><meta name=a content=b><meta property=og:x content=y>
<form action method><input name=q type placeholder required><select name=s></select><input></form>
<form method=post action=/send><textarea name=t placeholder=""></textarea></form>
<form action="http://[bad" method><input name=r required></form>
<a href=/p>p</a><a href=https://other.example/o>o</a><a href=#top>t</a><a href="http://[oops">bad</a>
<h1>One</h1><h2></h2><h3>Three</h3><table><tr><th>A</th><th> </th></tr></table><table><td>1</td></table>
<ul><li><ol></ol></ul><img src=a.png><img><script type="application/ld+json">{}</script><style>p {}</style>"""
