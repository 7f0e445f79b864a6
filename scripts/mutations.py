"""One-line faults that a developer could plausibly make, for scripts/mutate: each must make at
least one test fail. Add one when a fault slips past the suite; keep `before` unique in its file."""

from typing import NamedTuple


class Fault(NamedTuple):
    name: str
    path: str
    before: str
    after: str


FAULTS = [
    Fault("slice size M read as K", "src/vornel/cli.py",
          '{"": 0, "k": 10, "m": 20, "g": 30}', '{"": 0, "k": 10, "m": 10, "g": 30}'),
    Fault("status 300 taken for 2xx", "src/vornel/crawl/records.py",
          "if not 200 <= http.status < 300:", "if not 200 <= http.status <= 300:"),
    Fault("record short by one byte passes", "src/vornel/crawl/records.py",
          "if length < record.content_length:", "if length < record.content_length - 1:"),
    Fault("slice end off by one", "src/vornel/crawl/records.py",
          "if offset >= end and starts_member:", "if offset > end and starts_member:"),
    Fault("CRLF assumed after every chunk", "src/vornel/crawl/payload.py",
          'position = end + (2 if body.startswith(b"\\r\\n", end) else 1)', "position = end + 2"),
    Fault("chunked compared with its case", "src/vornel/crawl/payload.py",
          'if "chunked" in head.transfer_encoding.lower():', 'if "chunked" in head.transfer_encoding:'),
    Fault("body of exactly the limit refused", "src/vornel/crawl/payload.py",
          "if len(data) > BODY_LIMIT:", "if len(data) >= BODY_LIMIT:"),
    Fault("Content-Type compared with its case", "src/vornel/crawl/text.py",
          'split(";", 1)[0].strip().lower()', 'split(";", 1)[0].strip()'),
    Fault("pool workers take Ctrl-C", "src/vornel/crawl/local.py",
          "    # Ctrl-C reaches the whole process group; the parent ends the workers itself.\n"
          "    signal.signal(signal.SIGINT, signal.SIG_IGN)",
          "    # Ctrl-C reaches the whole process group; the parent ends the workers itself.\n    pass"),
    Fault("error lines counted as summarised", "src/vornel/crawl/counts.py",
          "return self.pages - self.errors.total()", "return self.pages"),
    Fault("<uri> kept wrapped", "src/vornel/crawl/records.py", "url = url[1:-1]", "url = url"),
    Fault("record id field misnamed", "src/vornel/crawl/line.py",
          '"warc_record_id": page.record_id,', '"record_id": page.record_id,'),
    Fault("attribute value leaked", "pyapi/calls.hpp",
          "        if (require(dict_get_ref(mapping, key, &value)) == 0) return Ref::borrow(Py_None);\n"
          "        return Ref::steal(value);",
          "        if (require(dict_get_ref(mapping, key, &value)) == 0) return Ref::borrow(Py_None);\n"
          "        return Ref::borrow(value);"),
]
