"""The page summary written with BeautifulSoup over lxml, as many users would otherwise write it."""

from urllib.parse import urljoin, urlparse

from bs4 import BeautifulSoup

SKIPPED_LINK_PREFIXES = ("#", "javascript:", "mailto:")


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
        summary = {
            "title": text_of(title) if title is not None else "No Title",
            "metadata": self._get_meta(),
            "forms": self._get_forms(),
            "links": self._get_links(),
        }
        images = self.soup.find_all("img")
        summary["media"] = {"images": [img.get("src") for img in images if img.get("src")], "count": len(images)}
        summary["structure"] = {
            "tables": len(self.soup.find_all("table")),
            "json_ld": self._json_ld,
            "lists": len(self.soup.find_all(["ul", "ol"])),
            "headings": self._get_heading_hierarchy(),
            "detailed_tables": self._get_tables_detailed(),
        }
        return summary

    def _get_meta(self):
        meta = {}
        for tag in self.soup.find_all("meta"):
            key = tag.get("name") or tag.get("property")
            content = tag.get("content")
            if key and content:
                meta[key] = content
        return meta

    def _get_forms(self):
        forms = []
        for form in self.soup.find_all("form"):
            # BeautifulSoup gives "" for an attribute without a value, so a bare `method` stays "".
            action = form.get("action", "")
            try:
                action = urljoin(self.url, action)
            except ValueError:  # a malformed action is kept as written
                pass
            inputs = []
            for field in form.find_all(["input", "select", "textarea"]):
                if field.get("name"):
                    inputs.append({
                        "name": field["name"],
                        "type": field.get("type", "text"),
                        "placeholder": field.get("placeholder", ""),
                        "required": field.has_attr("required"),
                    })
            forms.append({"action": action, "method": form.get("method", "GET").upper(), "inputs": inputs})
        return forms

    def _get_links(self):
        internal, external = set(), set()
        for anchor in self.soup.find_all("a"):
            href = anchor.get("href")
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
        headings = [{"tag": h.name.upper(), "text": text_of(h)} for h in self.soup.find_all(["h1", "h2", "h3"])]
        return headings[:15]

    def _get_tables_detailed(self):
        tables = []
        for number, table in enumerate(self.soup.find_all("table"), 1):
            columns = [text for th in table.find_all("th") if (text := text_of(th))]
            tables.append({"id": number, "columns": columns or ["Generic/No Headers"]})
        return tables
