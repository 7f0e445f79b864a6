"""A plain Python model of the page summary, used as an oracle in the tests."""

from urllib.parse import urljoin, urlparse

from selectolax.lexbor import LexborHTMLParser


def text_of(node):
    return node.text().strip()


def links(parser, url, domain):
    internal, external = set(), set()
    for a in parser.css("a"):
        href = a.attributes.get("href")
        if not href or href.startswith(("#", "javascript:", "mailto:")):
            continue
        try:
            resolved = urljoin(url, href)
            netloc = urlparse(resolved).netloc
        except ValueError:
            continue
        (internal if domain in netloc else external).add(resolved)
    return {"internal": sorted(internal), "external": sorted(external)}


def forms(parser, url):
    result = []
    for form in parser.css("form"):
        action = form.attributes.get("action", "")
        try:
            action = urljoin(url, action)
        except ValueError:
            pass
        method = form.attributes.get("method", "GET")
        if method is None:
            method = "GET"
        inputs = []
        for field in form.css("input, select, textarea"):
            attrs = field.attributes
            if attrs.get("name"):
                inputs.append({"name": attrs["name"], "type": attrs.get("type", "text"),
                               "placeholder": attrs.get("placeholder", ""), "required": "required" in attrs})
        result.append({"action": action, "method": method.upper(), "inputs": inputs})
    return result


def summary(html, url):
    """The summary of a page, with both link lists sorted."""
    parser = LexborHTMLParser(html)
    domain = urlparse(url).netloc
    json_ld = len(parser.css('script[type="application/ld+json"]'))
    for node in parser.css("script, style"):
        node.decompose()
    meta = {}
    for node in parser.css("meta"):
        key = node.attributes.get("name") or node.attributes.get("property")
        content = node.attributes.get("content")
        if key and content:
            meta[key] = content
    title = parser.css_first("title")
    images = parser.css("img")
    return {
        "title": text_of(title) if title is not None else "No Title",
        "metadata": meta,
        "forms": forms(parser, url),
        "links": links(parser, url, domain),
        "media": {"images": [i.attributes.get("src") for i in images if i.attributes.get("src")],
                  "count": len(images)},
        "structure": {
            "tables": len(parser.css("table")),
            "json_ld": json_ld,
            "lists": len(parser.css("ul, ol")),
            "headings": [{"tag": h.tag.upper(), "text": text_of(h)} for h in parser.css("h1, h2, h3")][:15],
            "detailed_tables": [
                {"id": i, "columns": [t for th in table.css("th") if (t := text_of(th))] or ["Generic/No Headers"]}
                for i, table in enumerate(parser.css("table"), 1)
            ],
        },
    }
