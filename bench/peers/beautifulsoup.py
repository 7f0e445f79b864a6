"""The page summary written with BeautifulSoup over lxml, as many users would otherwise write it.

Only the parsing and the queries are BeautifulSoup's; what is made of their results is shared
with the plain Python peer (records.py).
"""

from urllib.parse import urlparse

from bs4 import BeautifulSoup

from summary_model.records import (classify_links, form_record, heading_records, input_record, metadata_record,
                           summary_record, table_records)


def text_of(tag):
    return tag.get_text().strip()


class BeautifulSoupInspector:
    def __init__(self, html, url):
        self.soup = BeautifulSoup(html, "lxml")
        self.url = url
        self.domain = urlparse(url).netloc
        self._json_ld = len(self.soup.find_all("script", type="application/ld+json"))
        for tag in self.soup.find_all(["script", "style"]):
            tag.decompose()

    def get_summary(self):
        title = self.soup.find("title")
        return summary_record(
            title=None if title is None else text_of(title),
            metadata=self._get_meta(),
            forms=self._get_forms(),
            links=self._get_links(),
            image_sources=[img.get("src") for img in self.soup.find_all("img")],
            tables=len(self.soup.find_all("table")),
            json_ld=self._json_ld,
            lists=len(self.soup.find_all(["ul", "ol"])),
            headings=self._get_heading_hierarchy(),
            detailed_tables=self._get_tables_detailed(),
        )

    def _get_meta(self):
        return metadata_record([(tag.get("name") or tag.get("property"), tag.get("content"))
                                for tag in self.soup.find_all("meta")])

    def _get_forms(self):
        # BeautifulSoup gives "" for an attribute without a value, so a bare `method` stays "".
        return [
            form_record(self.url, form.get("action", ""), form.get("method", "GET"), [
                input_record(field["name"], field.get("type", "text"), field.get("placeholder", ""),
                             field.has_attr("required"))
                for field in form.find_all(["input", "select", "textarea"]) if field.get("name")
            ])
            for form in self.soup.find_all("form")
        ]

    def _get_links(self):
        return classify_links(self.url, self.domain, [anchor.get("href") for anchor in self.soup.find_all("a")])

    def _get_heading_hierarchy(self):
        return heading_records([(tag.name, text_of(tag)) for tag in self.soup.find_all(["h1", "h2", "h3"])])

    def _get_tables_detailed(self):
        return table_records([[text_of(th) for th in table.find_all("th")] for table in self.soup.find_all("table")])
