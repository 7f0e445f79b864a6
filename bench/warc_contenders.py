"""The ways of turning a WARC file into page summaries that bench_warc.py times, each a function of
(archive path, scratch folder) that returns the number of pages it handled."""

import json
import os

import project_paths  # noqa: F401  (the plain Python model's folder on the path)
from peers.beautifulsoup import BeautifulSoupInspector
from summary_model import PurePythonInspector


def vornel_jobs(jobs):
    def run(archive, scratch):
        from vornel.crawl import summarize_warcs

        with open(os.devnull, "wb") as out:
            report = summarize_warcs([str(archive)], out, jobs=jobs)
        assert report.complete
        return report.counts.pages
    return run


def vornel_file(format, **options):
    """--jobs 1 into a file of `format` in the scratch folder; its size is reported beside the time.
    With `options` (filters), the rate counts the records read rather than the pages written."""
    def run(archive, scratch):
        from vornel.crawl import summarize_warcs

        out = scratch / f"pages.{format}"
        report = summarize_warcs([str(archive)], str(out), jobs=1, format=format, **options)
        assert report.complete
        run.output_bytes = out.stat().st_size
        return report.counts.records if options else report.counts.pages
    return run


# The archive's URLs cycle through 97 hosts: one of them is about 1% of the pages.
ONE_PERCENT = r"^https://site0\.example/"


def vornel_dask(trim_threshold=None):
    """A local cluster of two single-threaded worker processes, started before the clocks run.

    Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_=65536, so that glibc hands freed
    memory back at once; any of glibc's malloc variables also fixes its mmap threshold at 128 KiB,
    so every larger page buffer is mapped and unmapped again. With `trim_threshold`, the workers
    get that value instead; with "unset", no such variable at all.
    """
    def run(archive, scratch):
        import dask.config
        from distributed import Client, LocalCluster

        from vornel.crawl import summarize_warcs

        environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        if trim_threshold == "unset":
            environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        elif trim_threshold is not None:
            environ["MALLOC_TRIM_THRESHOLD_"] = trim_threshold
        with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}), \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            client.wait_for_workers(2)
            started, cpu = timer(), cpu_seconds()
            report = summarize_warcs([str(archive)], str(scratch / "parts"), client=client)
            assert report.complete
            run.seconds, run.cpu_seconds = timer() - started, cpu_seconds() - cpu
            return report.counts.pages
    return run


def timer():
    import time
    return time.perf_counter()


def cpu_seconds():
    """The CPU time of this process and its descendants (the cluster's workers) so far."""
    from process_tree import tree_cpu_seconds
    return tree_cpu_seconds(os.getpid())


def fastwarc_pages(archive):
    """(url, content type, body) of every HTML response, transfer and content encodings removed."""
    from fastwarc.warc import ArchiveIterator, WarcRecordType

    with open(archive, "rb") as stream:
        for record in ArchiveIterator(stream, record_types=WarcRecordType.response, auto_decode="all"):
            content_type = record.http_content_type or ""
            if record.http_headers.status_code == 200 and content_type.startswith("text/html"):
                url, content_type = record.headers.get("WARC-Target-URI"), record.http_headers.get("Content-Type")
                yield url, content_type, record.reader.read()


def decoded_pages(archive):
    from w3lib.encoding import html_to_unicode

    for url, content_type, body in fastwarc_pages(archive):
        yield url, html_to_unicode(content_type, body, url=url)[1]


def read_and_decode(archive, scratch):
    return sum(1 for _ in decoded_pages(archive))


def read_decode_parse(archive, scratch):
    from selectolax.lexbor import LexborHTMLParser

    return sum(1 for _, text in decoded_pages(archive) if LexborHTMLParser(text) is not None)


def read_parse_bytes(archive, scratch):
    """The floor of a crawl whose pages are UTF-8: the body goes to the parser as it was read."""
    from selectolax.lexbor import LexborHTMLParser

    return sum(1 for _, _, body in fastwarc_pages(archive) if LexborHTMLParser(body) is not None)


def read_decode_summary(archive, scratch):
    """The plain loop that the whole pipeline is held against: no JSON, no writing, one process."""
    from vornel.inspector import VornInspector

    return sum(1 for url, text in decoded_pages(archive) if VornInspector(text, url).get_summary() is not None)


def warcio_loop(inspector_class):
    """What users write today: warcio's iterator, a page class over the body, a JSON line per page."""
    def run(archive, scratch):
        from warcio.archiveiterator import ArchiveIterator

        pages = 0
        with open(archive, "rb") as stream, open(os.devnull, "w") as out:
            for record in ArchiveIterator(stream):
                if record.rec_type != "response" or record.http_headers.get_statuscode() != "200":
                    continue
                if not (record.http_headers.get_header("Content-Type") or "").startswith("text/html"):
                    continue
                url = record.rec_headers.get_header("WARC-Target-URI")
                summary = inspector_class(record.content_stream().read(), url).get_summary()
                out.write(json.dumps({"url": url, "summary": summary}, ensure_ascii=False) + "\n")
                pages += 1
        return pages
    return run


CONTENDERS = {
    "vornel --jobs 1": vornel_jobs(1),
    "vornel --jobs 2": vornel_jobs(2),
    "vornel --jobs 1, JSON Lines file": vornel_file("jsonl"),
    "vornel --jobs 1, Parquet file": vornel_file("parquet"),
    "vornel --jobs 1, --url keeping 1% (records)": vornel_file("jsonl", url=ONE_PERCENT),
    "vornel on Dask (2 workers x 1 thread)": vornel_dask(),
    "vornel on Dask, workers' trim threshold 32 MB": vornel_dask(32 << 20),
    "vornel on Dask, no MALLOC_TRIM_THRESHOLD_": vornel_dask("unset"),
    "floor: read + decode": read_and_decode,
    "floor: read + decode + LexborHTMLParser": read_decode_parse,
    "floor: read + LexborHTMLParser(bytes)": read_parse_bytes,
    "plain loop: read + decode + summary": read_decode_summary,
    "warcio + BeautifulSoup (lxml)": warcio_loop(BeautifulSoupInspector),
    "warcio + pure Python over selectolax": warcio_loop(PurePythonInspector),
}
