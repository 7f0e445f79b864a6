"""Inputs at crawl size and filters: glob patterns, folders and input lists (Common Crawl's
warc.paths.gz), locally and through fsspec; pages chosen by URL, status and type from the headers
alone, the others counted as skipped."""

import gzip

import pytest

from helpers.crawl_archives import Archive, html_page, json_lines, warc

URLS = {
    "https://a.example/one": ("200 OK", "text/html"),
    "https://a.example/two": ("200 OK", "text/html; charset=utf-8"),
    "https://b.example/moved": ("301 Moved Permanently", "text/html"),
    "https://b.example/missing": ("404 Not Found", "text/html"),
    "https://b.example/data.json": ("200 OK", "application/json"),
    "https://c.example/plain": ("200 OK", "text/plain"),
    "https://c.example/xhtml": ("200 OK", "application/xhtml+xml"),
}


def filter_archive():
    archive = Archive()
    for url, (status, content_type) in URLS.items():
        archive.response(url, html_page(url).encode(), content_type=content_type, status=status)
    return archive


@pytest.fixture(scope="module")
def crawl(tmp_path_factory):
    """A folder of archives at two depths, with other files beside them."""
    folder = tmp_path_factory.mktemp("crawl")
    (folder / "2024" / "05").mkdir(parents=True)
    for number, path in enumerate(["b.warc.gz", "a.warc.gz", "2024/c.warc", "2024/05/d.arc.gz.warc.gz"]):
        archive = Archive(compress=path.endswith(".gz"))
        archive.response(f"https://example.com/{path}", html_page(f"page {number}").encode())
        archive.save(folder / path)
    (folder / "index.cdx.gz").write_bytes(gzip.compress(b"not an archive"))
    (folder / "notes.txt").write_text("not an archive")
    return folder


SORTED = ["2024/05/d.arc.gz.warc.gz", "2024/c.warc", "a.warc.gz", "b.warc.gz"]


@pytest.mark.parametrize("filters, kept, skipped", [
    ([], ["a.example/one", "a.example/two", "c.example/xhtml"], "status not 2xx 2, not HTML 2)"),
    (["--url", "^https://a\\."], ["a.example/one", "a.example/two"], "not HTML 0, filtered 5)"),
    (["--exclude-url", "two|xhtml"], ["a.example/one"], "status not 2xx 2, not HTML 2, filtered 2)"),
    (["--status", "200,3xx"], ["a.example/one", "a.example/two", "b.example/moved", "c.example/xhtml"],
     "status not 2xx 0, not HTML 2, filtered 1)"),
    (["--mime", "application/json,text/*"], ["a.example/one", "a.example/two", "b.example/data.json",
                                             "c.example/plain"], "status not 2xx 2, not HTML 0, filtered 1)"),
    (["--status", "4xx", "--mime", "*/*", "--url", "b\\.example"], ["b.example/missing"], "filtered 6)"),
])
def test_filters_choose_the_pages_and_count_the_others(tmp_path, filters, kept, skipped):
    path = filter_archive().save(tmp_path / "filters.warc.gz")
    result = warc(path, "--jobs", "1", *filters)
    assert result.returncode == 0, result.stderr
    assert [line["url"].removeprefix("https://") for line in json_lines(result.stdout)] == kept
    assert skipped in result.stderr.decode()


def test_a_filtered_record_is_never_decoded(tmp_path):
    from vornel.crawl import read_pages
    from vornel.crawl.filters import make_filters

    archive = Archive(compress=False)
    archive.raw("https://bad.example/head", b"HTTP/1.1 OK\r\n\r\n")  # an error line if it were read
    archive.response("https://bad.example/gzip", b"\x1f\x8b not gzip", headers=[("Content-Encoding", "gzip")])
    archive.response("https://good.example/", html_page("good").encode())
    path = archive.save(tmp_path / "bad.warc")
    reader = read_pages(str(path), filters=make_filters(exclude_url="bad"))
    assert [page.url for page in reader] == ["https://good.example/"]
    assert reader.counts.skipped["filtered"] == 2 and reader.counts.errors.total() == 0


@pytest.mark.parametrize("arguments", [
    ["{crawl}"], ["{crawl}/"], ["{crawl}/2024/**/*.warc*", "{crawl}/[ab].warc.gz"], ["file://{crawl}/"],
    ["--input-list", "list.txt"], ["--input-list", "list.txt.gz"], ["--input-list", "-"],
    ["--input-list", "relative.txt", "--prefix", "{crawl}"],
], ids=["folder", "folder/", "globs", "file-url-folder", "list", "gzip-list", "stdin-list", "list-with-prefix"])
def test_patterns_folders_and_lists_stand_for_their_archives_sorted(crawl, tmp_path, arguments):
    listing = "# the crawl's archives\n\n" + "".join(f"{crawl}/{name}\n" for name in SORTED)
    (tmp_path / "list.txt").write_text(listing)
    (tmp_path / "list.txt.gz").write_bytes(gzip.compress(listing.encode()))
    (tmp_path / "relative.txt").write_text("".join(f"{name}\n" for name in SORTED))
    arguments = [argument.format(crawl=crawl) for argument in arguments]
    result = warc(*arguments, "--jobs", "1", input=listing.encode(), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert [line["url"].removeprefix("https://example.com/") for line in json_lines(result.stdout)] == SORTED


def test_fsspec_patterns_and_folders_are_expanded_through_the_file_system():
    fsspec = pytest.importorskip("fsspec")
    from vornel.crawl.input_paths import expand_inputs

    memory = fsspec.filesystem("memory")
    for name in ["crawl/b.warc.gz", "crawl/a.warc.gz", "crawl/sub/c.arc", "crawl/index.cdx"]:
        memory.pipe(f"/{name}", b"data")
    assert expand_inputs(["memory:///crawl/*.warc.gz"]) == ["memory:///crawl/a.warc.gz", "memory:///crawl/b.warc.gz"]
    assert expand_inputs(["memory:///crawl/"]) == ["memory:///crawl/a.warc.gz", "memory:///crawl/b.warc.gz",
                                                  "memory:///crawl/sub/c.arc"]
    assert expand_inputs(["memory:///crawl/a.warc.gz", "-"]) == ["memory:///crawl/a.warc.gz", "-"]  # as they are


@pytest.mark.parametrize("arguments, message", [
    (["{crawl}/*.arc"], "{crawl}/*.arc matches no WARC or ARC file (.warc, .warc.gz, .arc, .arc.gz)"),
    (["file://{empty}/"], "file://{empty}/ holds no WARC or ARC file"),
    (["file://{crawl}/none-*.warc.gz"], "file://{crawl}/none-*.warc.gz matches no WARC or ARC file"),
    (["--input-list", "{empty}/missing.txt"], "{empty}/missing.txt: No such file or directory"),
    (["--input-list", "{crawl}/notes.txt.gz"], "names no input"),
    (["--input-list", "{crawl}/binary.gz"], "binary.gz: not a list of paths ("),
])
def test_inputs_that_stand_for_nothing_are_one_line(crawl, tmp_path, arguments, message):
    (crawl / "notes.txt.gz").write_bytes(gzip.compress(b"# only a comment\n\n"))
    (crawl / "binary.gz").write_bytes(gzip.compress(b"\xff\xfe\x00\x81 no text"))
    places = {"crawl": crawl, "empty": tmp_path}
    result = warc(*[argument.format(**places) for argument in arguments])
    assert result.returncode == 2
    assert result.stderr.decode().startswith("vornel: ") and message.format(**places) in result.stderr.decode()
    assert result.stderr.count(b"\n") == 1 and result.stdout == b""
