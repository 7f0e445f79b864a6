"""Page summaries of whole web archives (WARC files), on all cores or on a Dask cluster.

    from vornel.crawl import read_pages, summarize_warcs

    for page in read_pages("crawl.warc.gz"):          # the HTML pages of one file
        encoding, text = page.decode()

    report = summarize_warcs(["a.warc.gz", "b.warc.gz"], "pages.jsonl.gz")   # a whole job
    summarize_warcs(["crawls/"], "pages/", format="parquet", url="[.]gov/", resume=True)
"""

from vornel.crawl.counts import Counts
from vornel.crawl.dask_job import ClusterLostError
from vornel.crawl.filters import Filters, make_filters
from vornel.crawl.input_paths import NoInputsError, expand_inputs, read_input_list
from vornel.crawl.job import summarize_warcs
from vornel.crawl.limits import PageTimeoutError, WorkerDiedError
from vornel.crawl.output import OutputIsInputError
from vornel.crawl.parts import OtherJobError
from vornel.crawl.payload import ContentDecodingError, HTTPHeaderError, PageTooLargeError, PayloadError
from vornel.crawl.progress import JobReport
from vornel.crawl.records import Page, PageReader, WarcError, read_pages

__all__ = [
    "ClusterLostError", "ContentDecodingError", "Counts", "Filters", "HTTPHeaderError", "JobReport",
    "NoInputsError", "OtherJobError", "OutputIsInputError", "Page", "PageReader", "PageTimeoutError",
    "PageTooLargeError", "PayloadError", "WarcError", "WorkerDiedError", "expand_inputs", "make_filters",
    "read_input_list", "read_pages", "summarize_warcs",
]
