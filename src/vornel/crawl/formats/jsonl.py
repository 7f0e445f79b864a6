"""JSON Lines: one JSON object per page and line, UTF-8, in the key order of the line."""

import json
from typing import Any, BinaryIO

import orjson


def dumps(fields: dict[str, Any]) -> bytes:
    """A line's JSON with its newline."""
    try:
        return orjson.dumps(fields) + b"\n"
    except orjson.JSONEncodeError:  # a lone surrogate from a header: JSON escapes it
        return json.dumps(fields).encode() + b"\n"


class JsonLinesEncoder:
    def __init__(self) -> None:
        self.lines: list[bytes] = []
        self.rows = 0
        self.size = 0

    def add(self, fields: dict[str, Any]) -> None:
        line = dumps(fields)
        self.lines.append(line)
        self.rows += 1
        self.size += len(line)

    def take(self) -> bytes:
        data = b"".join(self.lines)
        self.lines.clear()
        self.rows = self.size = 0
        return data


class JsonLinesWriter:
    """Lines go to the stream as they come."""

    def __init__(self, stream: BinaryIO) -> None:
        self.stream = stream

    def write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:  # an unbuffered stream may take part of it
            written = self.stream.write(view)
            view = view[len(view) if written is None else written:]

    def close(self) -> None:
        pass

    def abandon(self) -> None:
        pass


class JsonLines:
    name = "jsonl"
    suffix = ".jsonl"
    compressible = True

    def encoder(self) -> JsonLinesEncoder:
        return JsonLinesEncoder()

    def writer(self, stream: BinaryIO) -> JsonLinesWriter:
        return JsonLinesWriter(stream)


FORMAT = JsonLines()
