"""Fixtures of the crawl tests."""

import pytest

from helpers.crawl_archives import SHARED_ARCHIVE_PAGES, many_pages


@pytest.fixture(scope="session")
def archive(tmp_path_factory):
    """A .warc.gz of SHARED_ARCHIVE_PAGES request and response pairs, one gzip member per record."""
    return many_pages(SHARED_ARCHIVE_PAGES).save(tmp_path_factory.mktemp("shared") / "many.warc.gz")
