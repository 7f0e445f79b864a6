"""Where the JSON lines go: standard output, a file (gzip-compressed when its name ends in .gz),
or, for a Dask job, part files in a folder that any fsspec file system can hold."""

import re
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, BinaryIO, cast

from zlib_ng import gzip_ng

PART_NAME = re.compile(r"part-\d{5,}\.jsonl(\.gz)?$")


def compressed(target: str | None, compress: bool) -> bool:
    return compress or (target is not None and target.endswith(".gz"))


@contextmanager
def open_output(target: str | None, compress: bool = False) -> Iterator[BinaryIO]:
    """A binary stream on `target` (None or `-`: standard output), closed (and so flushed) at the end."""
    to_stdout = target is None or target == "-"
    raw = sys.stdout.buffer if to_stdout or target is None else open(target, "wb")
    try:
        if compressed(None if to_stdout else target, compress):
            with gzip_ng.GzipNGFile(fileobj=raw, mode="wb", compresslevel=6) as stream:  # type: ignore[no-untyped-call]
                yield cast(BinaryIO, stream)
        else:
            yield raw
    finally:
        if to_stdout:
            raw.flush()
        else:
            raw.close()


def part_name(index: int, compress: bool) -> str:
    return f"part-{index:05d}.jsonl" + (".gz" if compress else "")


def output_folder(folder: str) -> tuple[Any, str]:
    """The fsspec file system and path of a job's output folder, created when missing.

    Raises FileExistsError when it already holds part files, so that no run mixes its parts
    with those of another.
    """
    import fsspec  # type: ignore[import-untyped]

    filesystem, root = fsspec.core.url_to_fs(folder)
    filesystem.makedirs(root, exist_ok=True)
    old = [name for name in filesystem.ls(root, detail=False) if PART_NAME.search(str(name))]
    if old:
        raise FileExistsError(f"already holds part files ({len(old)}); remove them or choose another folder")
    return filesystem, root


def write_part(filesystem: Any, path: str, lines: bytes, compress: bool) -> None:
    with filesystem.open(path, "wb", compression="gzip" if compress else None) as stream:
        stream.write(lines)
