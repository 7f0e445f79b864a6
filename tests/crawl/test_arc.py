"""ARC files, the Internet Archive's format before WARC: pages a local server served, written into ARC
files byte by byte (version 1 and 2 header lines, gzip per record and not), read like WARC files."""

import gzip
import io

import pytest
from warcio.archiveiterator import ArchiveIterator

from vornel.inspector import VornInspector

from helpers.crawl_archives import ArcFile, fetch_raw, html_page, json_lines, sorted_links, warc
from helpers.crawl_site import serve, site


@pytest.fixture(scope="module")
def served():
    """(base URL, resources, the raw response of each path) of the test site."""
    resources = site()
    with serve(resources) as base:
        return base, resources, {path: fetch_raw(base, path) for path in resources}


def arc_of(served, version, compress):
    base, _, responses = served
    arc = ArcFile(version, compress, name=f"site-v{version}.arc")
    arc.record("dns:127.0.0.1", b"20240501120000\n127.0.0.1\n", content_type="text/dns")
    for number, (path, raw) in enumerate(responses.items()):
        arc.record(f"{base}{path}", raw, date=f"200{number % 10}0102030405")
    return arc


@pytest.mark.parametrize("compress", [False, True], ids=["arc", "arc.gz"])
@pytest.mark.parametrize("version", [1, 2])
def test_each_page_of_an_arc_file_is_summarized_as_it_was_served(tmp_path, served, version, compress):
    base, resources, _ = served
    arc = arc_of(served, version, compress)
    path = tmp_path / ("crawl.arc.gz" if compress else "crawl.arc")  # recognised by content, not by name
    (tmp_path / "crawl.data").write_bytes(arc.data())
    path.write_bytes(arc.data())
    for name in (path, tmp_path / "crawl.data"):
        result = warc(name, "--jobs", "1")
        assert result.returncode == 0, result.stderr
        lines = {line["url"]: line for line in json_lines(result.stdout)}
        pages = {f"{base}{p}": resource for p, resource in resources.items()
                 if resource.text is not None and resource.status == 200}
        assert set(lines) == set(pages)
        assert f"{len(resources) + 2} records read" in result.stderr.decode()
    data = arc.data()
    for url, line in lines.items():
        offset = line["warc_record_offset"]
        assert line["warc_record_id"] == f"<urn:arc:crawl.data:{offset}>" and offset in arc.offsets
        assert line["warc_date"][4:] == "-01-02T03:04:05Z" and line["status"] == 200
        assert sorted_links(line["summary"]) == sorted_links(VornInspector(pages[url].text, url).get_summary())
        record = data[offset:offset + line["warc_record_length"]]  # one range request
        assert (gzip.decompress(record) if compress else record).startswith(f"{url} 127.0.0.1 ".encode())


def test_warcio_reads_the_same_records_from_the_version_1_file(served):
    """The reference reader agrees with the files the tests write."""
    arc = arc_of(served, 1, True)
    urls = [record.rec_headers.get_header("WARC-Target-URI")
            for record in ArchiveIterator(io.BytesIO(arc.data()), arc2warc=True) if record.rec_type == "response"
            and not record.rec_headers.get_header("WARC-Target-URI").startswith("dns:")]
    assert urls == [f"{served[0]}{path}" for path in served[2]]


def test_a_large_arc_gz_is_read_in_slices_and_past_damage(tmp_path):
    """... and its header lines are read as written: a URL may hold spaces, a date may be short."""
    arc = ArcFile(2, compress=True)
    urls = [f"http://example.com/{number}" + (" with spaces" if number == 7 else "") for number in range(60)]
    for number, url in enumerate(urls):
        body = html_page(f"page {number}", "x" * 2000 + f"<p>{number}</p>").encode()
        arc.record(url, b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + body,
                   date="19961104" if number == 8 else "20240501120000")
    data = arc.data()
    damaged = data[:arc.offsets[30]] + b"garbage" + data[arc.offsets[30]:]
    for name, contents in (("whole.arc.gz", data), ("damaged.arc.gz", damaged)):
        (tmp_path / name).write_bytes(contents)
        whole = warc(tmp_path / name, "--jobs", "1", "-q")
        for jobs, size in (("1", "5K"), ("2", "9K")):
            sliced = warc(tmp_path / name, "--jobs", jobs, "--slice-size", size, "-q")
            assert sliced.stdout == whole.stdout and sliced.returncode == whole.returncode
        lines = json_lines(whole.stdout)
        assert [line["url"] for line in lines] == urls
        assert [line["warc_date"] for line in lines[7:9]] == ["2024-05-01T12:00:00Z", "1996-11-04T00:00:00Z"]
    assert whole.returncode == 1
    assert f"damaged.arc.gz: skipped 7 damaged bytes at byte offset {arc.offsets[30]} (" in whole.stderr.decode()
