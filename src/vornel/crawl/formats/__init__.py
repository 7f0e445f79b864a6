"""The output formats of a job, chosen once by name or by the output's suffix.

A format has two halves. Its encoder runs where pages are summarised (a worker process, a Dask
task): it takes page lines (the dicts of `vornel.crawl.line.page_fields`) and hands out batches of
bytes. Its writer runs where the output file is written: it takes those bytes, in order, and makes
the file. The bytes are all that travels between the two, so a new format is a module with an
encoder and a writer, named in FORMATS below.
"""

import importlib
from typing import Any, BinaryIO, Protocol

# Format name: the module that implements it.
FORMATS = {"jsonl": "vornel.crawl.formats.jsonl", "parquet": "vornel.crawl.formats.parquet"}
DEFAULT_FORMAT = "jsonl"


class Encoder(Protocol):
    """Page lines into bytes, a batch at a time."""

    rows: int  # lines added since the last batch was taken
    size: int  # about how many bytes those lines take

    def add(self, fields: dict[str, Any]) -> None: ...

    def take(self) -> bytes:
        """The lines added since the last call, encoded (b"" when there are none)."""
        ...


class Writer(Protocol):
    """An output file made of encoded batches."""

    def write(self, data: bytes) -> None:
        """Takes encoded bytes in order, in pieces of any size (a batch may be split or joined)."""
        ...

    def close(self) -> None:
        """Ends the file (a footer, if the format has one); the stream itself stays open."""
        ...

    def abandon(self) -> None:
        """Lets go of a file that is not to be kept, without finishing it."""
        ...


class OutputFormat(Protocol):
    name: str
    suffix: str  # of a part file, ".jsonl"
    compressible: bool  # whether gzip around the whole file makes sense

    def encoder(self) -> Encoder: ...

    def writer(self, stream: BinaryIO) -> Writer: ...


def output_format(name: str | None = None) -> OutputFormat:
    """The format of this name (default JSON Lines); ValueError for an unknown one."""
    name = name or DEFAULT_FORMAT
    if name not in FORMATS:
        raise ValueError(f"unknown output format {name!r} (one of {', '.join(FORMATS)})")
    return importlib.import_module(FORMATS[name]).FORMAT  # type: ignore[no-any-return]


def format_of_path(path: str | None) -> str | None:
    """The format an output's name asks for by its suffix (`pages.parquet`), if any."""
    if path is None:
        return None
    stem = path.rstrip("/").removesuffix(".gz")
    for name in FORMATS:
        if stem.endswith("." + name):
            return name
    return None
