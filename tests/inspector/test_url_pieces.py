"""Every short reference built from awkward pieces resolves, under awkward page URLs, as
urllib.parse resolves it: form actions through urljoin, links through urljoin and their
internal or external class through urlparse. No example is drawn at random."""

import itertools
from urllib.parse import urljoin, urlparse

import pytest

from vornel.inspector import VornInspector

PIECES = [".", "..", "/", "?", "#", ":", "//", "%2e", ";p", "HTTP:", "a"]
REFERENCES = ["".join(pieces) for length in range(4) for pieces in itertools.product(PIECES, repeat=length)]

BASES = [
    "http://a",  # no path; the host is also a piece, so "//a" is internal
    "https://example.com/dir/page.html",
    "http://a/b/c/d?q#f",
    "HTTPS://user:pw@Example.COM:8080/x/y/",
    "http://a?q=1#f",  # a query and a fragment but no path
    "https://a/b/./c/../d",  # dot segments in the base's own path
    "http://a/b/c;p?q",  # parameters: the Python functions' road
]


def expected_links(base, reference):
    if not reference or reference.startswith(("#", "javascript:", "mailto:")):
        return {"internal": [], "external": []}
    link = urljoin(base, reference)
    internal = urlparse(base).netloc in urlparse(link).netloc
    return {"internal": [link] if internal else [], "external": [] if internal else [link]}


@pytest.mark.parametrize("base", BASES)
def test_every_combination_of_up_to_three_pieces(base):
    differences = []
    for reference in REFERENCES:
        inspector = VornInspector(f'<a href="{reference}"></a><form action="{reference}"></form>', base)
        links, action = inspector._get_links(), inspector._get_forms()[0]["action"]
        if links != expected_links(base, reference):
            differences.append(f"link {reference!r}: {links} instead of {expected_links(base, reference)}")
        if action != urljoin(base, reference):
            differences.append(f"action {reference!r}: {action!r} instead of {urljoin(base, reference)!r}")
    assert not differences, f"{len(differences)} differences under {base!r}:\n" + "\n".join(differences[:20])
