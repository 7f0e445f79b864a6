"""Parquet: one row per page with typed columns, for pandas, DuckDB, Spark and Arrow.

The record's fields are columns of their own, `warc_date` a UTC timestamp; the summary's six keys
are six top-level columns of a fixed nested type, null (with `error` set) for a page that failed.
A worker encodes its batch as an Arrow IPC stream, framed by its length; the writer gathers the
batches into row groups of a bounded size as they arrive, so memory does not grow with the job.
"""

import re
import struct
from datetime import UTC, datetime
from typing import Any, BinaryIO

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.ipc as ipc  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

_text = pa.string()
_count = pa.int64()

SUMMARY_TYPES = {
    "title": _text,
    "metadata": pa.map_(_text, _text),
    "forms": pa.list_(pa.struct([
        ("action", _text), ("method", _text),
        ("inputs", pa.list_(pa.struct([("name", _text), ("type", _text), ("placeholder", _text),
                                       ("required", pa.bool_())]))),
    ])),
    "links": pa.struct([("internal", pa.list_(_text)), ("external", pa.list_(_text))]),
    "media": pa.struct([("images", pa.list_(_text)), ("count", _count)]),
    "structure": pa.struct([
        ("tables", _count), ("json_ld", _count), ("lists", _count),
        ("headings", pa.list_(pa.struct([("tag", _text), ("text", _text)]))),
        ("detailed_tables", pa.list_(pa.struct([("id", _count), ("columns", pa.list_(_text))]))),
    ]),
}

SCHEMA = pa.schema([
    ("url", _text),
    ("warc_filename", _text),
    ("warc_record_offset", _count),
    ("warc_record_length", _count),
    ("warc_record_id", _text),
    ("warc_date", pa.timestamp("us", tz="UTC")),
    ("status", pa.int32()),
    ("content_type", _text),
    ("warc_payload_digest", _text),
    ("encoding", _text),
    ("repairs", pa.list_(_text)),
    *SUMMARY_TYPES.items(),
    ("error", pa.struct([("type", _text), ("message", _text)])),
])

# The record's fields, taken from the line as they are (warc_date is converted).
RECORD_FIELDS = ("url", "warc_filename", "warc_record_offset", "warc_record_length", "warc_record_id",
                 "status", "content_type", "warc_payload_digest", "encoding", "repairs", "error")
# A row group is written once this many rows, or this many bytes of Arrow data, have arrived.
ROW_GROUP_ROWS = 20_000
ROW_GROUP_BYTES = 8 << 20
# A batch's rows are counted at about this many bytes each, to cut the worker's batches.
ROW_SIZE_ESTIMATE = 4 << 10
COMPRESSION = "zstd"
_FRAME = struct.Struct("<Q")
# Seconds beyond microseconds: Arrow's timestamps here hold microseconds.
_FRACTION = re.compile(r"(\.\d{6})\d+")


def warc_timestamp(text: str | None) -> datetime | None:
    """A WARC-Date (`2024-05-01T12:00:00Z`, with or without a fraction, or less precise) as a UTC
    datetime; None when it is not a date."""
    if not text:
        return None
    text = _FRACTION.sub(r"\1", text.strip())
    if text[-1:] in ("Z", "z"):
        text = text[:-1] + "+00:00"
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        return None
    return moment.replace(tzinfo=UTC) if moment.tzinfo is None else moment


def row(fields: dict[str, Any]) -> dict[str, Any]:
    """A line's fields as a row of SCHEMA: the summary's keys spread into columns."""
    values = {name: fields.get(name) for name in RECORD_FIELDS}
    values["warc_date"] = warc_timestamp(fields.get("warc_date"))
    summary = fields.get("summary")
    if summary is not None:
        for name in SUMMARY_TYPES:
            values[name] = summary.get(name)
    return values


def record_batch(rows: list[dict[str, Any]]) -> pa.RecordBatch:
    return pa.RecordBatch.from_pylist(rows, schema=SCHEMA)


class ParquetEncoder:
    """Rows of a batch, encoded as one framed Arrow IPC stream."""

    def __init__(self) -> None:
        self.batch: list[dict[str, Any]] = []
        self.rows = 0
        self.size = 0

    def add(self, fields: dict[str, Any]) -> None:
        self.batch.append(row(fields))
        self.rows += 1
        self.size += ROW_SIZE_ESTIMATE

    def take(self) -> bytes:
        if not self.batch:
            return b""
        sink = pa.BufferOutputStream()
        with ipc.new_stream(sink, SCHEMA) as stream:
            stream.write_batch(record_batch(self.batch))
        self.batch.clear()
        self.rows = self.size = 0
        data = sink.getvalue()
        framed = _FRAME.pack(data.size) + bytes(data.to_pybytes())
        pa.default_memory_pool().release_unused()  # Arrow's allocator would keep it for the next batch
        return framed


class ParquetWriter:
    """Framed Arrow batches into a Parquet file, in row groups of bounded size."""

    def __init__(self, stream: BinaryIO) -> None:
        self.file = pq.ParquetWriter(stream, SCHEMA, compression=COMPRESSION)
        self.pending: list[pa.RecordBatch] = []
        self.pending_rows = self.pending_bytes = 0
        self.buffer = bytearray()

    def write(self, data: bytes) -> None:
        self.buffer += data
        while len(self.buffer) >= _FRAME.size:
            (length,) = _FRAME.unpack_from(self.buffer)
            end = _FRAME.size + length
            if len(self.buffer) < end:
                return
            frame = bytes(self.buffer[_FRAME.size:end])
            del self.buffer[:end]
            for batch in ipc.open_stream(frame):
                self._add(batch)

    def _add(self, batch: pa.RecordBatch) -> None:
        self.pending.append(batch)
        self.pending_rows += batch.num_rows
        self.pending_bytes += batch.nbytes
        if self.pending_rows >= ROW_GROUP_ROWS or self.pending_bytes >= ROW_GROUP_BYTES:
            self._flush()

    def _flush(self) -> None:
        if self.pending_rows:
            self.file.write_table(pa.Table.from_batches(self.pending, SCHEMA), row_group_size=self.pending_rows)
        self.pending.clear()
        self.pending_rows = self.pending_bytes = 0
        pa.default_memory_pool().release_unused()

    def close(self) -> None:
        if self.buffer:
            self.abandon()
            raise ValueError(f"{len(self.buffer)} bytes of an unfinished batch at the end of the output")
        self._flush()
        self.file.close()

    def abandon(self) -> None:
        """Lets go of a file that will be removed: its footer is not written."""
        self.pending.clear()
        try:
            self.file.close()
        except (OSError, ValueError):  # the stream is closed already
            pass


class Parquet:
    name = "parquet"
    suffix = ".parquet"
    compressible = False  # its columns are compressed inside the file

    def encoder(self) -> ParquetEncoder:
        return ParquetEncoder()

    def writer(self, stream: BinaryIO) -> ParquetWriter:
        return ParquetWriter(stream)


FORMAT = Parquet()
