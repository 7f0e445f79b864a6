"""Page summaries of whole web archives (WARC files), on all cores or on a Dask cluster.

    from vornel.crawl import read_pages, summarize_warcs

    for page in read_pages("crawl.warc.gz"):          # the HTML pages of one file
        encoding, text = page.decode()

    report = summarize_warcs(["a.warc.gz", "b.warc.gz"], "pages.jsonl.gz")   # a whole job
"""

from vornel.crawl.counts import Counts
from vornel.crawl.dask_job import ClusterLostError
from vornel.crawl.job import summarize_warcs
from vornel.crawl.limits import PageTimeoutError, WorkerDiedError
from vornel.crawl.output import OutputIsInputError
from vornel.crawl.payload import ContentDecodingError, HTTPHeaderError, PageTooLargeError, PayloadError
from vornel.crawl.progress import JobReport
from vornel.crawl.records import Page, PageReader, WarcError, read_pages

__all__ = [
    "ClusterLostError", "ContentDecodingError", "Counts", "HTTPHeaderError", "JobReport", "OutputIsInputError",
    "Page", "PageReader", "PageTimeoutError", "PageTooLargeError", "PayloadError", "WarcError", "WorkerDiedError",
    "read_pages", "summarize_warcs",
]
