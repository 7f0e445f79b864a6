"""The page summary in plain Python over selectolax, the way a competent Python developer writes it.

It is also the model that the tests compare vornel with: every query is vornel's, and what is
made of the results is in records.py, shared with the BeautifulSoup peer.
"""

from urllib.parse import urlparse

from selectolax.lexbor import LexborHTMLParser

from summary_model.records import (classify_links, form_record, heading_records, input_record, metadata_record,
                           summary_record, table_records)


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
        return summary_record(
            title=None if title is None else text_of(title),
            metadata=self._get_meta(),
            forms=self._get_forms(),
            links=self._get_links(),
            image_sources=[img.attributes.get("src") for img in self.parser.css("img")],
            tables=len(self.parser.css("table")),
            json_ld=self._json_ld,
            lists=len(self.parser.css("ul, ol")),
            headings=self._get_heading_hierarchy(),
            detailed_tables=self._get_tables_detailed(),
        )

    def _get_meta(self):
        return metadata_record([(attrs.get("name") or attrs.get("property"), attrs.get("content"))
                                for attrs in [node.attributes for node in self.parser.css("meta")]])

    def _get_forms(self):
        forms = []
        for form in self.parser.css("form"):
            attrs = form.attributes
            method = attrs.get("method")
            inputs = [
                input_record(fields["name"], fields.get("type", "text"), fields.get("placeholder", ""),
                             "required" in fields)
                for fields in [field.attributes for field in form.css("input, select, textarea")]
                if fields.get("name")
            ]
            # A method attribute without a value counts as an absent one.
            forms.append(form_record(self.url, attrs.get("action", ""), "GET" if method is None else method, inputs))
        return forms

    def _get_links(self):
        return classify_links(self.url, self.domain, [anchor.attributes.get("href") for anchor in self.parser.css("a")])

    def _get_heading_hierarchy(self):
        return heading_records([(node.tag, text_of(node)) for node in self.parser.css("h1, h2, h3")])

    def _get_tables_detailed(self):
        return table_records([[text_of(th) for th in table.css("th")] for table in self.parser.css("table")])
