"""ARC files, the Internet Archive's format before WARC: recognised by their first record
(`filedesc://...`), read record by record, their fields mapped to those of a WARC record.

An ARC record is one header line, then as many bytes as its last field says, then a line feed.
Version 1 header lines have five fields (URL, IP address, 14-digit date, content type, length);
version 2 lines ten (URL, IP address, date, content type, result code, checksum, location,
offset, file name, length). Both are told apart by their fields, so a file whose version block
is damaged still reads. A URL may hold spaces: the fields are counted from the end.

warcio reads ARC too, but its header parser knows the version 1 fields only and it cannot go on
after damage; the header line is simple enough to read here, with the same checks as WARC.
"""

import re
from pathlib import PurePosixPath

from vornel.crawl.framing import HEADER_LIMIT, Buffer, Damage, Record

ARC_START = b"filedesc://"
DATE = re.compile(r"\d{8,17}")
URL_START = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]{0,30}:\S")
LINE_START = re.compile(rb"\n(?=[A-Za-z][A-Za-z0-9+.\-]{0,30}:\S)")


def parse_line(line: str) -> dict[str, str] | None:
    """The fields of an ARC header line (url, ip, date, type, length), or None when it is not one."""
    parts = line.split(" ")
    if len(parts) >= 10 and DATE.fullmatch(parts[-8]) and parts[-1].isdigit():  # version 2
        url, ip, date, kind = " ".join(parts[:-9]), parts[-9], parts[-8], parts[-7]
    elif len(parts) >= 5 and DATE.fullmatch(parts[-3]) and parts[-1].isdigit():  # version 1
        url, ip, date, kind = " ".join(parts[:-4]), parts[-4], parts[-3], parts[-2]
    else:
        return None
    if not URL_START.match(url):
        return None
    return {"url": url, "ip": ip, "date": date, "type": kind, "length": parts[-1]}


def iso_date(digits: str) -> str:
    """An ARC date (YYYYMMDDhhmmss, sometimes shorter) in the form WARC-Date has."""
    digits = digits[:14].ljust(14, "0")
    return f"{digits[:4]}-{digits[4:6]}-{digits[6:8]}T{digits[8:10]}:{digits[10:12]}:{digits[12:14]}Z"


def record_id(path: str, offset: int) -> str:
    """The id of the ARC record at `offset` of the file at `path`: ARC records have none, so one
    is made that stays the same for the file and offset, `<urn:arc:NAME:OFFSET>`."""
    return f"<urn:arc:{PurePosixPath(path.rstrip('/')).name or path}:{offset}>"


def _header_line(data: bytes) -> str | None:
    end = data.find(b"\n")
    if end < 0:
        return None
    return data[:end].rstrip(b"\r").decode("utf-8", "replace")


class ArcFormat:
    name = "ARC"
    garbage = "not an ARC record"

    def parse(self, buffer: Buffer) -> Record:
        start = buffer.position
        ahead = buffer.fill(1)
        end = buffer.data.find(b"\n", buffer.at, buffer.at + ahead)
        while end < 0 and ahead < HEADER_LIMIT and not buffer.eof:  # no more than the line: a pipe may wait
            ahead = buffer.fill(ahead + 1)
            end = buffer.data.find(b"\n", buffer.at, buffer.at + min(ahead, HEADER_LIMIT))
        if end < 0:
            raise Damage("ARC header cut short" if buffer.eof else "ARC header line too long", start)
        line = bytes(buffer.data[buffer.at:end]).rstrip(b"\r").decode("utf-8", "replace")
        fields = parse_line(line)
        if fields is None:
            raise Damage(self.garbage, start)
        buffer.at = end + 1
        return Record(start, buffer.position, int(fields["length"]), fields)

    def starts(self, head: bytes) -> bool:
        line = _header_line(head)
        return line is not None and parse_line(line) is not None

    def search(self, data: bytearray, start: int, end: int) -> int:
        for found in LINE_START.finditer(data, max(0, start - 1), end):
            line = _header_line(bytes(data[found.end():min(found.end() + 4096, end)]))
            if line is not None and parse_line(line) is not None:
                return found.end()
        return -1
