"""Fixtures shared by the vornel tests; their builders and checks are in helpers/."""

import pytest

import vornel.inspector


@pytest.fixture
def summarize():
    def run(html, url="https://example.com/dir/page.html"):
        return vornel.inspector.VornInspector(html, url).get_summary()

    return run
