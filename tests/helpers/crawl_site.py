"""A small web site on 127.0.0.1 for a real crawler to archive: linked pages in several charsets,
a gzip-encoded and a chunked response, a redirect, a 404 and an image."""

import gzip
import http.server
import threading
from contextlib import contextmanager
from dataclasses import dataclass, field


@dataclass
class Resource:
    body: bytes
    content_type: str = "text/html; charset=utf-8"
    status: int = 200
    headers: dict[str, str] = field(default_factory=dict)
    chunked: bool = False
    text: str | None = None  # the page as its author wrote it, for HTML pages
    encoding: str | None = None  # the Python codec a browser decodes it with


def page(title, links=(), extra=""):
    anchors = "".join(f'<a href="{href}">{href}</a> ' for href in links)
    return (f"<!DOCTYPE html><html><head>{extra}<title>{title}</title></head><body><h1>{title}</h1>"
            f"<p>{anchors}</p><form action=/search method=post><input name=q placeholder='Search'></form>"
            "<table><tr><th>Size</th><th>Price</th></tr></table></body></html>")


def html(text, encoding, content_type, codec=None, **options):
    return Resource(text.encode(encoding), content_type, text=text, encoding=codec or encoding, **options)


LATIN = "Crème brûlée à la façade — «naïve» café, Müller & Søn"
JAPANESE = "日本語のページです。東京の天気は晴れ。"


def site():
    """The site's resources by path. Every HTML page links to the others."""
    paths = ["/latin.html", "/meta-sjis.html", "/utf16.html", "/undeclared.html", "/gzip.html", "/chunked.html",
             "/old-page", "/missing.html", "/logo.png", "https://other.example/elsewhere"]
    index = page("Index", paths)
    gzipped = page("Gzip " + LATIN, ["/"])
    resources = {
        "/": html(index, "utf-8", "text/html; charset=utf-8"),
        "/latin.html": html(page(LATIN, ["/", "/utf16.html"]), "cp1252", "text/html; charset=windows-1252"),
        "/meta-sjis.html": html(page(JAPANESE, ["/"], '<meta charset="Shift_JIS">'), "shift_jis", "text/html",
                                codec="cp932"),
        "/utf16.html": Resource("\ufeff".encode("utf-16-le") + page("UTF-16 " + LATIN, ["/"]).encode("utf-16-le"),
                                "text/html", text=page("UTF-16 " + LATIN, ["/"]), encoding="utf-16-le"),
        "/undeclared.html": html(page("Sans déclaration " + LATIN + " " + LATIN, ["/"]), "cp1252", "text/html"),
        "/gzip.html": Resource(gzip.compress(gzipped.encode()), headers={"Content-Encoding": "gzip"},
                               text=gzipped, encoding="utf-8"),
        "/chunked.html": html(page("Chunked " + LATIN, ["/", "/moved.html"]), "utf-8", "text/html; charset=utf-8",
                              chunked=True),
        "/old-page": Resource(b"", status=301, headers={"Location": "/moved.html"}),
        "/moved.html": html(page("Moved here", ["/"]), "utf-8", "text/html; charset=utf-8"),
        "/missing.html": Resource(page("Not found").encode(), status=404),
        "/logo.png": Resource(b"\x89PNG\r\n\x1a\n" + bytes(64), "image/png"),
    }
    return resources


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    resources: dict[str, Resource] = {}

    def do_GET(self):
        resource = self.resources.get(self.path) or Resource(b"no such page", "text/plain", 404)
        self.send_response(resource.status)
        self.send_header("Content-Type", resource.content_type)
        for name, value in resource.headers.items():
            self.send_header(name, value)
        if resource.chunked:
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for start in range(0, len(resource.body), 100):
                piece = resource.body[start:start + 100]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.send_header("Content-Length", str(len(resource.body)))
            self.end_headers()
            self.wfile.write(resource.body)

    def log_message(self, *args):
        pass


@contextmanager
def serve(resources):
    """Serves the resources on a free port of 127.0.0.1; yields the base URL."""
    handler = type("SiteHandler", (Handler,), {"resources": resources})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join()
