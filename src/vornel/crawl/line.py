"""One output line: a page's record locator and fields with its summary, or with the error that
stopped it. The keys come in a fixed order (see the README's table of line fields)."""

import codecs
from typing import TYPE_CHECKING, Any

from w3lib.encoding import html_encoding

from vornel.crawl.counts import SUMMARY_RAISED
from vornel.crawl.formats.jsonl import dumps
from vornel.crawl.records import Page
from vornel.inspector import VornInspector, _summarize_utf8

if TYPE_CHECKING:
    from vornel.inspector import Summary


def _error(error: BaseException) -> dict[str, str]:
    return {"type": type(error).__name__, "message": str(error)}


def page_line(page: Page) -> tuple[bytes, str | None]:
    """The JSON line of a page (newline included) and the kind of error it reports, if any."""
    fields, kind = page_fields(page)
    return dumps(fields), kind


def page_fields(page: Page) -> tuple[dict[str, Any], str | None]:
    """The line of a page, as a dict for an output format to encode, and the kind of error it
    reports, if any."""
    fields: dict[str, Any] = {
        "url": page.url,
        "warc_filename": page.filename,
        "warc_record_offset": page.offset,
        "warc_record_length": page.length,
        "warc_record_id": page.record_id,
        "warc_date": page.date,
        "status": page.status,
        "content_type": page.content_type,
        "warc_payload_digest": page.payload_digest,
        "encoding": None,
    }
    if page.repairs:
        fields["repairs"] = list(page.repairs)
    kind = None
    if page.error is not None:
        fields["error"] = _error(page.error)
        kind = page.error.kind
    else:
        # The encoding that page.decode() would use; a UTF-8 page goes to the parser as bytes.
        fields["encoding"] = html_encoding(page.content_type, page.body, url=page.url)
        try:
            fields["summary"] = _summary(page, fields["encoding"])
        except MemoryError:  # the page is too large for its worker's bound: the caller says so
            raise
        except Exception as error:  # one bad page never stops the run
            fields["error"] = _error(error)
            kind = SUMMARY_RAISED
    return fields, kind


def _summary(page: Page, encoding: str) -> "Summary":
    """VornInspector(text, page.url).get_summary() for the decoded text of the page."""
    if encoding == "utf-8":
        body = page.body[len(codecs.BOM_UTF8):] if page.body.startswith(codecs.BOM_UTF8) else page.body
        summary = _summarize_utf8(body, page.url)  # None when the body is not valid UTF-8
        if summary is not None:
            return summary
    _, text = page.decode()
    return VornInspector(text, page.url).get_summary()
