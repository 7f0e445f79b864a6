"""A job's inputs as a user names them: paths and URLs, glob patterns and folders that stand for
the WARC and ARC files they match or hold, and lists of them such as Common Crawl's
`warc.paths.gz`.

Patterns and folders are expanded here, locally with `glob` and `os.walk`, and for URLs through
fsspec's own `glob` and `find`, so that `s3://bucket/crawl/*.warc.gz` lists the bucket once. A
folder URL is one that ends in "/": other URLs are taken as files without asking their server.
"""

import glob
import gzip
import os
import sys
from collections.abc import Iterable
from typing import Any

from vornel.crawl.inputs import STDIN, _filesystem, is_url

ARCHIVE_SUFFIXES = (".warc", ".warc.gz", ".arc", ".arc.gz")


class NoInputsError(ValueError):
    """A pattern or folder that stands for no WARC or ARC file, or a list that names none."""


def is_archive_name(path: str) -> bool:
    return path.lower().endswith(ARCHIVE_SUFFIXES)


def _local(item: str) -> list[str] | None:
    """The archives a local pattern or folder stands for; None when `item` is a plain path."""
    if glob.has_magic(item) and not os.path.exists(item):
        matches = sorted(glob.glob(item, recursive=True))
    elif os.path.isdir(item):
        matches = [item]
    else:
        return None
    found = []
    for match in matches:
        if os.path.isdir(match):
            found += sorted(os.path.join(folder, name) for folder, _, names in os.walk(match)
                            for name in names if is_archive_name(name))
        elif is_archive_name(match):
            found.append(match)
    return found


def _remote(item: str) -> list[str] | None:
    """The archives a URL pattern or folder (a URL that ends in "/") stands for; None when `item`
    is a plain URL, which costs no request here."""
    if not glob.has_magic(item) and not item.endswith("/"):
        return None
    filesystem, path = _filesystem(item)
    if glob.has_magic(path):
        matches: Iterable[Any] = filesystem.glob(path, detail=True).items()
    elif filesystem.isdir(path):
        matches = [(path, {"type": "directory"})]
    else:
        return []
    found = []
    for match, info in sorted(matches):
        if info.get("type") == "directory":
            found += sorted(name for name in filesystem.find(match) if is_archive_name(name))
        elif is_archive_name(match):
            found.append(match)
    return [filesystem.unstrip_protocol(name) for name in found]


def expand_inputs(inputs: Iterable[str]) -> list[str]:
    """The inputs with each pattern and folder replaced by the WARC and ARC files (.warc, .warc.gz,
    .arc, .arc.gz) it matches or holds, at any depth, sorted. Raises NoInputsError for a pattern
    or folder URL that stands for none, and OSError for a URL whose file system cannot be listed."""
    expanded: list[str] = []
    for item in inputs:
        found = None if item == STDIN else _remote(item) if is_url(item) else _local(item)
        if found is None or (not found and os.path.isdir(item)):
            expanded.append(item)  # a local folder without archives is named as an input that cannot be read
        elif not found:
            what = "matches" if glob.has_magic(item) else "holds"
            raise NoInputsError(f"{item} {what} no WARC or ARC file ({', '.join(ARCHIVE_SUFFIXES)})")
        else:
            expanded += found
    return expanded


def _join(prefix: str | None, entry: str) -> str:
    if not prefix or is_url(entry) or os.path.isabs(entry):
        return entry
    if is_url(prefix):
        return prefix.rstrip("/") + "/" + entry.lstrip("/")
    return os.path.join(prefix, entry)


def read_input_list(source: str, prefix: str | None = None) -> list[str]:
    """The inputs named in a list: one path or URL per line (a file, `-` for standard input, or a
    URL; gzip-compressed or not), blank lines and `#` comments passed over, `prefix` put in front
    of the relative ones (`https://data.commoncrawl.org/` for Common Crawl's `warc.paths.gz`).
    Raises OSError when it cannot be read, NoInputsError when it names no input."""
    if source == STDIN:
        data = sys.stdin.buffer.read()
    elif is_url(source):
        filesystem, path = _filesystem(source)
        with filesystem.open(path, "rb") as stream:
            data = stream.read()
    else:
        with open(source, "rb") as stream:
            data = stream.read()
    try:
        if data[:2] == b"\x1f\x8b":
            data = gzip.decompress(data)
        text = data.decode("utf-8-sig")
    except (OSError, EOFError, UnicodeDecodeError) as error:
        raise NoInputsError(f"{source}: not a list of paths ({error})") from None
    entries = [line.strip() for line in text.splitlines()]
    paths = [_join(prefix, entry) for entry in entries if entry and not entry.startswith("#")]
    if not paths:
        raise NoInputsError(f"{source}: names no input")
    return paths
