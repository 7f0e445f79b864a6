"""From an HTTP body to the text of an HTML page, as a browser gets there."""

from w3lib.encoding import html_to_unicode

HTML_TYPES = frozenset({"text/html", "application/xhtml+xml"})
# Content types that say nothing, after which a browser looks at the bytes.
UNKNOWN_TYPES = frozenset({"", "unknown/unknown", "application/unknown", "*/*"})
# The starts of an HTML document that browsers recognise in a body of unknown type; a tag name
# must be followed by a space or ">".
HTML_STARTS = tuple(
    f"<{tag}".encode() for tag in
    ("!doctype html", "html", "head", "script", "iframe", "h1", "div", "font", "table", "a", "style",
     "title", "b", "body", "br", "p")
)


def _starts_like_html(body: bytes) -> bool:
    start = body[:512].lstrip(b"\t\n\x0c\r ").lower()
    if start.startswith(b"<!--"):
        return True
    return any(start.startswith(tag) and start[len(tag):len(tag) + 1] in (b" ", b">") for tag in HTML_STARTS)


def media_type(content_type: str | None) -> str:
    """The media type of a Content-Type header, in lower case, without its parameters."""
    return (content_type or "").split(";", 1)[0].strip().lower()


def needs_sniffing(content_type: str | None) -> bool:
    """Whether a response with this Content-Type header is HTML only if its body looks so."""
    return media_type(content_type) in UNKNOWN_TYPES


def is_html(content_type: str | None, body: bytes) -> bool:
    """Whether a response with this Content-Type header and (decoded) body start is an HTML page."""
    media = media_type(content_type)
    if media in UNKNOWN_TYPES:
        return _starts_like_html(body)
    return media in HTML_TYPES


def decode_html(body: bytes, content_type: str | None, url: str) -> tuple[str, str]:
    """(encoding, text) of an HTML body.

    The encoding comes from a byte-order mark, else the charset of the Content-Type header, else
    a <meta> declaration, else the body itself (UTF-8 when it is valid UTF-8, otherwise a guess
    from its bytes and the URL's top-level domain, as Firefox makes it). Labels are read as the
    WHATWG Encoding Standard reads them, and bytes that do not decode become U+FFFD. The encoding
    is the name of the Python codec used.
    """
    return html_to_unicode(content_type, body, url=url)
