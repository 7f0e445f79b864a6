"""Which records become pages: by target URL, HTTP status and content type.

Each test needs only what the record's WARC header or HTTP head says, so a record that is left
out is never decoded or parsed. Without a filter of their own, the status and type tests are the
default ones (2xx; HTML, or a body of unknown type that looks like HTML), and what they leave out
is counted as before ("status not 2xx", "not HTML"); what a chosen filter leaves out is counted as
"filtered".
"""

import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from vornel.crawl.counts import FILTERED, NOT_2XX, NOT_HTML
from vornel.crawl.text import UNKNOWN_TYPES, is_html, media_type

_STATUS = re.compile(r"([1-5])(\d\d|xx)", re.IGNORECASE)


def parse_statuses(text: str) -> tuple[tuple[int, int], ...]:
    """`200,3xx` as ranges of statuses, ((200, 200), (300, 399)); ValueError for anything else."""
    ranges = []
    for item in text.split(","):
        match = _STATUS.fullmatch(item.strip())
        if not match:
            raise ValueError(f"not an HTTP status or class: {item.strip()!r} (such as 200 or 3xx)")
        first = int(match[1]) * 100
        ranges.append((first, first + 99) if match[2].lower() == "xx" else (first + int(match[2]),) * 2)
    return tuple(ranges)


def parse_types(text: str | Iterable[str]) -> frozenset[str]:
    """`text/html,application/*` as a set of media types (a `*` subtype matches any)."""
    items = text.split(",") if isinstance(text, str) else list(text)
    types = frozenset(item.strip().lower() for item in items if item.strip())
    for item in types:
        if item.count("/") != 1 or item.startswith("/") or item.endswith("/"):
            raise ValueError(f"not a media type: {item!r} (such as text/html or text/*)")
    if not types:
        raise ValueError("no media type given")
    return types


def _pattern(value: "str | re.Pattern[str] | None") -> "re.Pattern[str] | None":
    if value is None or isinstance(value, re.Pattern):
        return value
    try:
        return re.compile(value)
    except re.error as error:
        raise ValueError(f"not a regular expression: {value!r} ({error})") from None


@dataclass(frozen=True, slots=True)
class Filters:
    url: "re.Pattern[str] | None" = None  # kept: URLs where it matches
    exclude_url: "re.Pattern[str] | None" = None  # left out: URLs where it matches
    statuses: tuple[tuple[int, int], ...] | None = None  # None: 2xx
    types: frozenset[str] | None = None  # None: HTML

    def keeps_url(self, url: str) -> bool:
        if self.url is not None and self.url.search(url) is None:
            return False
        return self.exclude_url is None or self.exclude_url.search(url) is None

    def keeps_status(self, status: int) -> bool:
        if self.statuses is None:
            return 200 <= status < 300
        return any(first <= status <= last for first, last in self.statuses)

    def keeps_type(self, content_type: str | None, body: bytes) -> bool:
        """Whether a response of this Content-Type, with this (decoded) body start, is kept."""
        if self.types is None:
            return is_html(content_type, body)
        media = media_type(content_type)
        if media in UNKNOWN_TYPES:  # what a browser would take it for
            media = "text/html" if is_html(None, body) else ""
        return media in self.types or any(
            kind.endswith("/*") and media.startswith(kind[:-1]) for kind in self.types) or "*/*" in self.types

    @property
    def status_reason(self) -> str:
        return NOT_2XX if self.statuses is None else FILTERED

    @property
    def type_reason(self) -> str:
        return NOT_HTML if self.types is None else FILTERED

    def describe(self) -> dict[str, Any]:
        """The filters in words, for a job's manifest."""
        return {"url": self.url.pattern if self.url is not None else None,
                "exclude_url": self.exclude_url.pattern if self.exclude_url is not None else None,
                "status": [list(item) for item in self.statuses] if self.statuses is not None else None,
                "mime": sorted(self.types) if self.types is not None else None}


NO_FILTERS = Filters()


def make_filters(url: "str | re.Pattern[str] | None" = None, exclude_url: "str | re.Pattern[str] | None" = None,
                 status: str | Iterable[int] | None = None, mime: str | Iterable[str] | None = None) -> Filters:
    """Filters from a job's arguments; ValueError, in words, for one that is not valid. `status` is
    `"200,3xx"` or statuses as numbers, `mime` `"text/html,text/*"` or a list of media types."""
    statuses: tuple[tuple[int, int], ...] | None = None
    if isinstance(status, str):
        statuses = parse_statuses(status)
    elif status is not None:
        statuses = tuple((int(item), int(item)) for item in status)
    return Filters(_pattern(url), _pattern(exclude_url), statuses, parse_types(mime) if mime is not None else None)
