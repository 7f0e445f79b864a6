"""What the summary makes of the values a parser reports, whichever parser reports them: the
resolved and classified links, the form, input, heading and table records, and the summary's frame."""

from urllib.parse import urljoin, urlparse

SKIPPED_LINK_PREFIXES = ("#", "javascript:", "mailto:")
MAX_HEADINGS = 15


def classify_links(url, domain, hrefs):
    """The href values resolved against url, split by whether domain occurs in their host; each
    list holds every URL once, in the order in which it first occurs."""
    internal, external = {}, {}
    for href in hrefs:
        if not href or href.startswith(SKIPPED_LINK_PREFIXES):
            continue
        try:
            link = urljoin(url, href)
            netloc = urlparse(link).netloc
        except ValueError:  # a malformed link is left out
            continue
        (internal if domain in netloc else external).setdefault(link)
    return {"internal": list(internal), "external": list(external)}


def metadata_record(entries):
    """name -> content from (key, content) pairs; the last content wins, the first place stays."""
    return {key: content for key, content in entries if key and content}


def form_record(url, action, method, inputs):
    try:
        action = urljoin(url, action)
    except ValueError:  # a malformed action is kept as written
        pass
    return {"action": action, "method": method.upper(), "inputs": inputs}


def input_record(name, field_type, placeholder, required):
    return {"name": name, "type": field_type, "placeholder": placeholder, "required": required}


def heading_records(tags_and_texts):
    return [{"tag": tag.upper(), "text": text} for tag, text in tags_and_texts][:MAX_HEADINGS]


def table_records(header_texts_per_table):
    return [{"id": number, "columns": [text for text in texts if text] or ["Generic/No Headers"]}
            for number, texts in enumerate(header_texts_per_table, 1)]


def summary_record(title, metadata, forms, links, image_sources, tables, json_ld, lists, headings,
                   detailed_tables):
    """The summary; title is None for a page without a title element."""
    return {
        "title": "No Title" if title is None else title,
        "metadata": metadata,
        "forms": forms,
        "links": links,
        "media": {"images": [source for source in image_sources if source], "count": len(image_sources)},
        "structure": {
            "tables": tables, "json_ld": json_ld, "lists": lists, "headings": headings,
            "detailed_tables": detailed_tables,
        },
    }

