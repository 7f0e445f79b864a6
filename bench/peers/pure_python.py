"""The page summary in plain Python over selectolax, the way a competent Python developer writes it."""

from urllib.parse import urljoin, urlparse

from selectolax.lexbor import LexborHTMLParser

SKIPPED_LINK_PREFIXES = ("#", "javascript:", "mailto:")


def text_of(node):
    return node.text().strip()


class PurePythonInspector:
    def __init__(self, html, url):
        self.parser = LexborHTMLParser(html)
        self.url = url
        self.domain = urlparse(url).netloc
        self._json_ld = len(self.parser.css('script[type="application/ld+json"]'))
        for node in self.parser.css("script, style"):
            node.decompose()

    def get_summary(self):
        title = self.parser.css_first("title")
        summary = {
            "title": text_of(title) if title is not None else "No Title",
            "metadata": self._get_meta(),
            "forms": self._get_forms(),
            "links": self._get_links(),
        }
        images = self.parser.css("img")
        sources = [img.attributes.get("src") for img in images]
        summary["media"] = {"images": [src for src in sources if src], "count": len(images)}
        summary["structure"] = {
            "tables": len(self.parser.css("table")),
            "json_ld": self._json_ld,
            "lists": len(self.parser.css("ul, ol")),
            "headings": self._get_heading_hierarchy(),
            "detailed_tables": self._get_tables_detailed(),
        }
        return summary

    def _get_meta(self):
        meta = {}
        for node in self.parser.css("meta"):
            attrs = node.attributes
            key = attrs.get("name") or attrs.get("property")
            content = attrs.get("content")
            if key and content:
                meta[key] = content
        return meta

    def _get_forms(self):
        forms = []
        for form in self.parser.css("form"):
            attrs = form.attributes
            action = attrs.get("action", "")
            try:
                action = urljoin(self.url, action)
            except ValueError:  # a malformed action is kept as written
                pass
            method = attrs.get("method")
            if method is None:  # absent, or present without a value
                method = "GET"
            inputs = []
            for field in form.css("input, select, textarea"):
                field_attrs = field.attributes
                if field_attrs.get("name"):
                    inputs.append({
                        "name": field_attrs["name"],
                        "type": field_attrs.get("type", "text"),
                        "placeholder": field_attrs.get("placeholder", ""),
                        "required": "required" in field_attrs,
                    })
            forms.append({"action": action, "method": method.upper(), "inputs": inputs})
        return forms

    def _get_links(self):
        internal, external = set(), set()
        for anchor in self.parser.css("a"):
            href = anchor.attributes.get("href")
            if not href or href.startswith(SKIPPED_LINK_PREFIXES):
                continue
            try:
                link = urljoin(self.url, href)
                netloc = urlparse(link).netloc
            except ValueError:  # a malformed link is left out
                continue
            if self.domain in netloc:
                internal.add(link)
            else:
                external.add(link)
        return {"internal": list(internal), "external": list(external)}

    def _get_heading_hierarchy(self):
        headings = [{"tag": h.tag.upper(), "text": text_of(h)} for h in self.parser.css("h1, h2, h3")]
        return headings[:15]

    def _get_tables_detailed(self):
        tables = []
        for number, table in enumerate(self.parser.css("table"), 1):
            columns = [text for th in table.css("th") if (text := text_of(th))]
            tables.append({"id": number, "columns": columns or ["Generic/No Headers"]})
        return tables
