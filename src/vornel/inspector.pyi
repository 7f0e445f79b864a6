# Types of vornel.inspector. The record types below exist for type checkers only: the module
# returns plain dicts and lists, so import them under `if TYPE_CHECKING:`.
from typing import TypedDict, type_check_only
from urllib.parse import urljoin as urljoin, urlparse as urlparse

from selectolax.lexbor import LexborHTMLParser as LexborHTMLParser
from typing_extensions import disjoint_base

@type_check_only
class InputRecord(TypedDict):
    """A named input, select or textarea of a form."""

    name: str
    # None when the attribute is present without a value; "text" when it is absent.
    type: str | None
    # None when the attribute is present without a value; "" when it is absent.
    placeholder: str | None
    required: bool

@type_check_only
class FormRecord(TypedDict):
    # The action resolved against the page URL; None only when the page URL is empty and the
    # action attribute has no value.
    action: str | None
    method: str
    inputs: list[InputRecord]

@type_check_only
class Links(TypedDict):
    internal: list[str]
    external: list[str]

@type_check_only
class Media(TypedDict):
    images: list[str]
    count: int

@type_check_only
class HeadingRecord(TypedDict):
    tag: str  # "H1", "H2" or "H3"
    text: str

@type_check_only
class TableRecord(TypedDict):
    id: int  # 1, 2, 3, ... in document order
    columns: list[str]  # never empty: ["Generic/No Headers"] for a table without header texts

@type_check_only
class Structure(TypedDict):
    tables: int
    json_ld: int
    lists: int
    headings: list[HeadingRecord]  # at most 15
    detailed_tables: list[TableRecord]

@type_check_only
class Summary(TypedDict):
    title: str
    metadata: dict[str, str]
    forms: list[FormRecord]
    links: Links
    media: Media
    structure: Structure

# Instances carry native state, so the class cannot be combined with another such base.
@disjoint_base
class VornInspector:
    parser: LexborHTMLParser
    url: str
    domain: str
    def __init__(self, html: str, url: str) -> None: ...
    def get_summary(self) -> Summary: ...
    def _get_meta(self) -> dict[str, str]: ...
    def _get_forms(self) -> list[FormRecord]: ...
    def _get_links(self) -> Links: ...
    def _get_heading_hierarchy(self) -> list[HeadingRecord]:
        """Maps out the heading tree on the page"""
    def _get_tables_detailed(self) -> list[TableRecord]:
        """Finds table headers so user knows the data columns"""

# The crawl layer's way in for a page that is UTF-8 bytes: VornInspector(page.decode(), url).get_summary(),
# or None when the page is not valid UTF-8 (decode it then).
def _summarize_utf8(page: bytes, url: str) -> Summary | None: ...
