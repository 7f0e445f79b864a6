"""One output line: a page's record fields with its summary, or with the error that stopped it."""

import json
from typing import Any

import orjson

from vornel.crawl.counts import SUMMARY_RAISED
from vornel.crawl.records import Page
from vornel.inspector import VornInspector


def _error(error: BaseException) -> dict[str, str]:
    return {"type": type(error).__name__, "message": str(error)}


def _dumps(fields: dict[str, Any]) -> bytes:
    try:
        return orjson.dumps(fields)
    except orjson.JSONEncodeError:  # a lone surrogate from a header: JSON escapes it
        return json.dumps(fields).encode()


def page_line(page: Page) -> tuple[bytes, str | None]:
    """The JSON line of a page (newline included) and the kind of error it reports, if any."""
    fields: dict[str, Any] = {
        "url": page.url,
        "warc_record_id": page.record_id,
        "warc_date": page.date,
        "status": page.status,
        "encoding": None,
    }
    kind = None
    if page.error is not None:
        fields["error"] = _error(page.error)
        kind = page.error.kind
    else:
        fields["encoding"], text = page.decode()
        try:
            fields["summary"] = VornInspector(text, page.url).get_summary()
        except MemoryError:  # the page is too large for its worker's bound: the caller says so
            raise
        except Exception as error:  # one bad page never stops the run
            fields["error"] = _error(error)
            kind = SUMMARY_RAISED
    return _dumps(fields) + b"\n", kind
