"""A real crawler writes a real archive: Debian's wget mirrors a small site served on 127.0.0.1 into
a WARC file, and `vornel warc` summarises each page as it was served."""

import os
import re
import shutil
import subprocess

import pytest

from vornel.inspector import VornInspector

from helpers.crawl_archives import json_lines, sorted_links, warc
from helpers.crawl_site import serve, site

pytestmark = pytest.mark.skipif(shutil.which("wget") is None, reason="wget is not installed")


@pytest.fixture(scope="module")
def crawl(tmp_path_factory):
    """The site, its base URL and the archive wget wrote of it."""
    folder = tmp_path_factory.mktemp("wget")
    resources = site()
    # wget is not ours to check, and hangs with the sanitizer's runtime preloaded.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    with serve(resources) as base:
        subprocess.run(["wget", "--mirror", "--no-verbose", "--execute", "robots=off", "--no-directories",
                        "--delete-after", "--tries=1", "--timeout=20", "--warc-file=site", f"{base}/"],
                       cwd=folder, capture_output=True, timeout=120, env=env)
    return resources, base, folder / "site.warc.gz"


def test_each_page_is_summarized_as_it_was_served(crawl):
    resources, base, archive = crawl
    result = warc(archive, "--jobs", "2")
    assert result.returncode == 0, result.stderr
    lines = {line["url"]: line for line in json_lines(result.stdout)}
    pages = {f"{base}{path}": resource for path, resource in resources.items() if resource.text is not None}
    assert set(lines) == set(pages)  # not the redirect, the 404, the image or the external link
    for url, resource in pages.items():
        line = lines[url]
        assert (line["status"], line["encoding"]) == (200, resource.encoding), url
        assert line["warc_record_id"].startswith("<urn:uuid:") and line["warc_date"].startswith("20")
        expected = VornInspector(resource.text, url).get_summary()
        assert sorted_links(line["summary"]) == sorted_links(expected), url


def test_the_report_counts_what_wget_recorded_besides_the_pages(crawl):
    report = warc(crawl[2], "--jobs", "1", "--output", "/dev/null").stderr.decode()
    # Besides the responses, wget writes a request per fetch, a warcinfo record and its log; the
    # redirect and the 404 have other statuses, and the image is no HTML. /moved.html came twice.
    assert "pages summarised  9 " in report
    skipped = re.search(r"not a response (\d+), revisit 0, status not 2xx 2, not HTML 1\)", report)
    assert skipped and int(skipped[1]) >= 12, report
