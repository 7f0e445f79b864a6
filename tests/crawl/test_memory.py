"""Records stream through `vornel warc`: its peak resident memory does not grow with the archive, nor
with the lines a slice makes."""

import os
import subprocess
import sys
import time

import pytest

from bench.process_tree import end_process_tree, tree_rss_kb
from helpers import UNDER_SANITIZER
from helpers.crawl_archives import Archive, hostile_archive, html_page, long_images

# AddressSanitizer keeps freed memory in quarantine, so resident memory says nothing there.
pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="resident memory is not measured under the sanitizer")


def link_heavy_archive(path, pages):
    """Pages of 1,000 distinct links each, so that every output line is about 70 KB."""
    archive = Archive()
    for number in range(pages):
        links = [f"/catalogue/items/{number}/{link}/details" for link in range(1000)]
        archive.response(f"https://example.com/{number}", html_page(f"page {number}", links=links).encode())
    return archive.save(path)


def peak_rss_mb(*args):
    """Runs vornel and returns its peak resident memory (with that of the children it waited for)."""
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", *map(str, args), "--quiet", "-o", os.devnull])
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    assert process.returncode == 0
    return usage.ru_maxrss / 1024


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_peak_memory_does_not_grow_with_the_archive(tmp_path, jobs):
    small = link_heavy_archive(tmp_path / "small.warc.gz", 80)
    large = link_heavy_archive(tmp_path / "large.warc.gz", 800)  # about 55 MB of output lines
    args = ("--jobs", jobs, "--slice-size", "100K")
    assert os.path.getsize(small) > 2 * 100 << 10  # so both runs use the pool with --jobs 2
    assert os.path.getsize(large) > 8 * 100 << 10  # more slices than are ever in flight
    growth = peak_rss_mb(large, *args) - peak_rss_mb(small, *args)
    assert growth < 20, f"peak memory grew by {growth:.0f} MB with ten times the records"


def tree_peak_rss_mb(*args):
    """Runs vornel and samples the resident memory of its whole process tree; returns the peak."""
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", *map(str, args), "--quiet", "-o", os.devnull])
    peak = 0
    try:
        while process.poll() is None:
            peak = max(peak, tree_rss_kb(process.pid))
            time.sleep(0.02)
    finally:
        end_process_tree([process.pid])
        process.wait(timeout=60)
    assert process.returncode == 0
    return peak / 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
def test_a_slice_of_hostile_records_streams_through_bounded_memory(tmp_path):
    """40 records of a few hundred bytes each make 16 MB lines, 300 MB of lines per 16 KiB slice: they
    go to the output in batches, and no process of the job holds a slice's lines."""
    archive = hostile_archive(*[long_images(16)] * 40, before=0, after=0).save(tmp_path / "hostile.warc.gz")
    assert os.path.getsize(archive) > 2 * 16 << 10
    peak = tree_peak_rss_mb(archive, "--jobs", "2", "--slice-size", "16K")
    assert peak < 900, f"the job's processes took {peak:.0f} MB together"
