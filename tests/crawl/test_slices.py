"""Large .warc.gz inputs are read in slices: every slice size and every number of workers gives the
same output as one reader going through the file, also where the search for a slice's first
record is fooled or a member in the middle is damaged."""

import gzip
import io
import os

import pytest

from vornel.crawl.members import find_member
from vornel.crawl.records import PageReader

from helpers.crawl_archives import Archive, archived_archive, html_page, json_lines, unclosed_divs, warc

# Link lists come from sets: one hash seed for every process makes the outputs comparable byte for byte.
def run(*args):
    return warc(*args, "--quiet")


@pytest.fixture(scope="module")
def whole(archive):
    """The output of one reader going through the whole file."""
    result = run(archive, "--jobs", "1")
    assert result.returncode == 0
    return result.stdout


@pytest.mark.parametrize("slice_size", ["3K", "17K", "100K"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_every_slice_size_and_number_of_workers_gives_the_same_output(archive, whole, slice_size, jobs):
    assert os.path.getsize(archive) > 300 << 10  # several slices for each size
    result = run(archive, "--jobs", jobs, "--slice-size", slice_size)
    assert result.returncode == 0, result.stderr
    assert result.stdout == whole
    assert [line["url"] for line in json_lines(whole)] == [f"https://site{n % 7}.example/page/{n}" for n in range(300)]


@pytest.mark.parametrize("seed", ["1", "2"])
def test_the_output_does_not_depend_on_the_hash_seed(archive, whole, seed):
    """The link lists come in document order, so that runs, pools and clusters compare byte for byte."""
    result = warc(archive, "--quiet", "--jobs", "2", env={"PYTHONHASHSEED": seed})
    assert result.returncode == 0 and result.stdout == whole


def test_members_that_do_not_follow_records_give_the_same_output(tmp_path):
    """Gzip members cut every 10 KB, as block compressors write them: most records start inside a
    member, and slices must not lose or repeat them."""
    raw = Archive(compress=False)
    for number in range(120):
        raw.response(f"https://example.com/{number}", html_page(f"page {number}", "x" * (number * 40)).encode())
    data = raw.data()
    blocks = b"".join(gzip.compress(data[at:at + 10_000]) for at in range(0, len(data), 10_000))
    path = tmp_path / "blocks.warc.gz"
    path.write_bytes(blocks)
    whole = run(path, "--jobs", "1")
    assert whole.returncode == 0 and len(json_lines(whole.stdout)) == 120
    for jobs in ("1", "2"):
        sliced = run(path, "--jobs", jobs, "--slice-size", "2K")
        assert sliced.returncode == 0, sliced.stderr
        assert sliced.stdout == whole.stdout


def test_the_search_for_a_member_skips_gzip_magic_that_starts_no_warc_record(tmp_path):
    first = gzip.compress(b"WARC/1.0\r\n\r\n")
    data = b"\x1f\x8b\x08 not a member " + gzip.compress(b"not a WARC record") + first
    stream = io.BytesIO(data)
    assert find_member(stream, 0, len(data)) == len(data) - len(first)
    assert find_member(stream, 0, len(data) - len(first)) is None


# A slow inner page keeps the fooled slice running after the slice before it is done: its lines
# must still wait for the check.
# Stopped for its time, the fooled slice is read again from where its search went, not from where
# the slice before it ended: the records it numbered are those of its own start.
@pytest.mark.parametrize("inner_page, options", [(None, []), (unclosed_divs(40_000), []),
                                                 (unclosed_divs(400_000), ["--page-timeout", "1"])],
                         ids=["plain", "slow", "stopped"])
def test_a_slice_whose_search_is_fooled_by_an_archived_archive_is_read_again(tmp_path, inner_page, options):
    data, inner = archived_archive(inner_page)
    path = tmp_path / "archived.warc.gz"
    path.write_bytes(data)
    where = data.index(inner)
    with open(path, "rb") as stream:  # the search alone takes the stored member for a record
        assert find_member(stream, where - 1000, where + 1000) == where
    whole = run(path, "--jobs", "1")
    assert [line["url"] for line in json_lines(whole.stdout)] == \
        ["https://example.com/before"] + [f"https://example.com/after/{n}" for n in range(20)]
    for jobs in ("1", "2"):
        sliced = run(path, "--jobs", jobs, "--slice-size", "16K", *options)
        assert sliced.returncode == 0, sliced.stderr
        assert sliced.stdout == whole.stdout


@pytest.mark.parametrize("strict", [False, True], ids=["skipping", "strict"])
def test_a_damaged_member_loses_only_its_own_records(tmp_path, archive, whole, strict):
    data = bytearray(archive.read_bytes())
    middle = len(data) // 3
    data[middle:middle + 200] = bytes(200)  # zeros in the middle of a member's deflate data
    path = tmp_path / "damaged.warc.gz"
    path.write_bytes(data[:-300])  # and the last member cut short
    options = ["--strict"] if strict else []
    results = [warc(path, "--jobs", jobs, "--slice-size", size, *options)
               for jobs, size in (("1", "4M"), ("1", "20K"), ("2", "20K"), ("2", "7K"))]
    assert all(result.stdout == results[0].stdout for result in results)  # whatever the slices
    assert all(result.returncode == 1 for result in results)
    errors = results[0].stderr.decode()
    assert errors.count(f"vornel: {path}: ") == (1 if strict else 2) and "at byte offset" in errors
    assert ("not read to the end: 1 input\n" in errors) == strict
    kept = [{**line, "warc_filename": None} for line in json_lines(results[0].stdout)]
    expected = [{**line, "warc_filename": None} for line in json_lines(whole)]
    assert all(line in expected for line in kept) and expected[0] == kept[0]
    if strict:  # today's stop at the first fault
        assert len(kept) < len(expected) * 2 // 3
    else:  # every page but those of the damaged members
        assert expected[-2] == kept[-1] and len(expected) - 2 <= len(kept) < len(expected)


@pytest.mark.parametrize("where", ["member-before", "stored-payload"])
def test_after_a_damaged_member_no_page_comes_from_inside_a_payload(tmp_path, where):
    """Damage in the member before an archived .warc.gz, or in the stored payload before the archived
    members: the search for the next record takes neither a slice's nor the reader's start from inside."""
    data, inner = archived_archive()
    second = data.index(b"\x1f\x8b\x08", 10)  # the archived record's member
    at = second // 2 if where == "member-before" else data.index(inner) - 20_000
    damaged = bytearray(data)
    damaged[at:at + 40] = bytes(40)
    path = tmp_path / "damaged.warc.gz"
    path.write_bytes(damaged)
    results = [run(path, "--jobs", jobs, "--slice-size", size)
               for jobs, size in (("1", "1G"), ("1", "16K"), ("2", "16K"), ("2", "128K"), ("2", "5K"))]
    assert all(result.stdout == results[0].stdout and result.returncode == 1 for result in results)
    kept = ["https://example.com/before"] if where == "stored-payload" else []  # the damaged member's page is lost
    assert [line["url"] for line in json_lines(results[0].stdout)] == \
        kept + [f"https://example.com/after/{n}" for n in range(20)]


@pytest.mark.parametrize("slice_size", [None, 17 << 10])
def test_the_counts_of_a_reader_include_the_pages_it_yields(archive, slice_size):
    from vornel.crawl import read_pages
    from vornel.crawl.slices import plan_slices

    readers = [read_pages(str(archive))] if slice_size is None else \
        [PageReader(piece.path, piece.start, piece.end, search=piece.start > 0)
         for piece in plan_slices(str(archive), slice_size)]
    yielded = sum(1 for reader in readers for _ in reader)
    assert yielded == sum(reader.counts.pages for reader in readers) == 300


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
def test_a_job_count_beyond_four_per_core_is_capped(archive, whole, tmp_path):
    import subprocess
    import sys
    import time

    from vornel.crawl.job import max_jobs

    from bench.process_tree import end_process_tree
    from helpers.crawl_archives import workers_of

    out = tmp_path / "out.jsonl"
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", archive, "--jobs", "99999",
                                "--slice-size", "3K", "-q", "-o", out])
    most = 0
    try:
        while process.poll() is None:
            most = max(most, len(workers_of(process.pid)))
            time.sleep(0.01)
    finally:
        end_process_tree([process.pid])
    assert process.returncode == 0 and out.read_bytes() == whole
    assert 1 < most <= max_jobs()
