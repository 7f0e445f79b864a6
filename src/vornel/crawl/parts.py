"""A job's output folder: one part file per slice, `part-00000.jsonl` (or `.parquet`) and so on in
input order, and a small manifest that tells which job the parts belong to.

A part is written under a hidden temporary name (`.part-00000.parquet.vornel-XXXXXXXX.partial`,
which the readers of a dataset pass over) and renamed into place once complete, so a part that
exists is whole: `resume` runs only the slices without one. The folder is a local path or any
fsspec URL.
"""

import json
import os
import re
import secrets
from typing import Any, BinaryIO, cast

from zlib_ng import gzip_ng

from vornel.crawl.formats import OutputFormat
from vornel.crawl.inputs import _filesystem, is_url
from vornel.crawl.slices import Slice

PART_NAME = re.compile(r"part-(\d{5,})\.[a-z]+(\.gz)?")
TEMPORARY_NAME = re.compile(r"\.part-\d{5,}\.[a-z]+(\.gz)?\.vornel-[0-9a-f]{8}\.partial")
# Leading "_": pyarrow, pandas and Spark pass over it when they read the folder as a dataset.
MANIFEST = "_vornel_job.json"
# Beside a part whose slice stopped at a fault: the part keeps the pages read before it, and
# --resume reads the slice again. Hidden from dataset readers by its leading "_".
UNREAD_NAME = re.compile(r"_unread-(\d{5,})")
MANIFEST_VERSION = 1


def part_name(index: int, format: OutputFormat, compress: bool) -> str:
    return f"part-{index:05d}{format.suffix}" + (".gz" if compress else "")


def is_folder_output(output: str) -> bool:
    """Whether an output names a folder: it ends in "/" or is a folder that exists."""
    return output.endswith("/") or (not is_url(output) and os.path.isdir(output))


class PartFolder:
    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.filesystem: Any = None
        self.root = folder.rstrip("/") or "/"
        if is_url(folder):
            self.filesystem, self.root = _filesystem(folder)
            self.root = self.root.rstrip("/")

    def path(self, name: str) -> str:
        return f"{self.root}/{name}"

    def make(self) -> None:
        if self.filesystem is not None:
            self.filesystem.makedirs(self.root, exist_ok=True)
        else:
            os.makedirs(self.root, exist_ok=True)

    def names(self) -> list[str]:
        if self.filesystem is not None:
            return [str(path).rstrip("/").rsplit("/", 1)[-1] for path in self.filesystem.ls(self.root, detail=False)]
        return os.listdir(self.root)

    def read(self, name: str) -> bytes | None:
        try:
            if self.filesystem is not None:
                return cast(bytes, self.filesystem.cat_file(self.path(name)))
            with open(self.path(name), "rb") as stream:
                return stream.read()
        except FileNotFoundError:
            return None

    def remove(self, name: str) -> None:
        try:
            if self.filesystem is not None:
                self.filesystem.rm(self.path(name))
            else:
                os.remove(self.path(name))
        except (OSError, FileNotFoundError):
            pass

    def create(self, name: str, compress: bool = False) -> "PartFile":
        return PartFile(self, name, compress)

    def write(self, name: str, data: bytes) -> None:
        """A small file written whole, under a temporary name first."""
        part = self.create(name)
        try:
            part.stream.write(data)
            part.commit()
        except BaseException:
            part.discard()
            raise


class PartFile:
    """A part file being written: `stream` takes its bytes, `commit` puts it in place, `discard`
    removes it."""

    def __init__(self, folder: PartFolder, name: str, compress: bool) -> None:
        self.folder = folder
        self.final = folder.path(name)
        self.temporary = folder.path(f".{name}.vornel-{secrets.token_hex(4)}.partial")
        self._raw: BinaryIO
        if folder.filesystem is not None:
            self._raw = folder.filesystem.open(self.temporary, "wb", compression="gzip" if compress else None)
            self.stream = self._raw
        else:
            self._raw = open(self.temporary, "xb")
            self.stream = self._raw
            if compress:
                self.stream = cast(BinaryIO, gzip_ng.GzipNGFile(  # type: ignore[no-untyped-call]
                    filename=name, fileobj=self._raw, mode="wb", compresslevel=6))
        self._open = True

    def _close(self) -> None:
        if not self._open:
            return
        self._open = False
        try:
            if self.stream is not self._raw:
                self.stream.close()  # the gzip trailer
            if self.folder.filesystem is None:
                self._raw.flush()
                os.fsync(self._raw.fileno())  # whole on disk before its name says it is complete
        finally:
            self._raw.close()

    def commit(self) -> None:
        self._close()
        if self.folder.filesystem is not None:
            self.folder.filesystem.mv(self.temporary, self.final)
        else:
            os.replace(self.temporary, self.final)

    def discard(self) -> None:
        try:
            self._close()
        except OSError:
            pass
        finally:
            name = self.temporary.rsplit("/", 1)[-1]
            self.folder.remove(name)


def manifest(inputs: list[str], slices: list[Slice], slice_size: int, format: OutputFormat,
             compress: bool) -> dict[str, Any]:
    """What makes a job's parts: its inputs, how they are cut and filtered, and the format."""
    first = slices[0] if slices else Slice("", 0, None, 0)
    described = {"vornel_job": MANIFEST_VERSION, "inputs": inputs, "slice_size": slice_size,
                 "slices": len(slices), "strict": first.strict, "filters": first.filters.describe(),
                 "format": format.name, "compress": compress}
    return json.loads(json.dumps(described))  # type: ignore[no-any-return]


def unread_name(index: int) -> str:
    return f"_unread-{index:05d}"


def commit_part(folder: PartFolder, part: "PartFile", index: int, fault: str | None) -> None:
    """Puts a part in place; one whose slice stopped at a fault is marked, before it is in place,
    so that a part without its marker is always whole."""
    if fault is not None:
        folder.write(unread_name(index), fault.encode() + b"\n")
    part.commit()
    if fault is None:
        folder.remove(unread_name(index))


class OtherJobError(FileExistsError):
    """The output folder holds the parts of another job."""


def prepare(folder: PartFolder, job: dict[str, Any], resume: bool) -> set[str]:
    """Makes the folder ready for the job and returns the names of the parts already there.

    Without `resume`, a folder that holds part files is refused; with it, the parts must be of
    the same job (by the manifest), and the temporary files of a run cut short are removed.
    Raises OtherJobError (a FileExistsError) when the folder cannot be used.
    """
    folder.make()
    names = folder.names()
    parts = {name for name in names if PART_NAME.fullmatch(name)}
    if not resume:
        if parts:
            raise OtherJobError(f"already holds part files ({len(parts)}); remove them, choose another folder, "
                                "or add --resume to finish the job that wrote them")
    else:
        data = folder.read(MANIFEST)
        try:
            old = json.loads(data) if data is not None else None
        except ValueError:
            old = {}
        if old is None and parts:
            raise OtherJobError(f"holds part files ({len(parts)}) but no {MANIFEST}: cannot tell which job they "
                                "belong to; remove them or choose another folder")
        if old is not None and old != job:
            differ = [key for key in job if not isinstance(old, dict) or old.get(key) != job[key]]
            raise OtherJobError(f"holds the parts of another job, with another {', '.join(differ) or 'manifest'}; "
                                "remove them or choose another folder")
        for name in names:
            if TEMPORARY_NAME.fullmatch(name):
                folder.remove(name)
    folder.write(MANIFEST, json.dumps(job, indent=1).encode() + b"\n")
    if not resume:
        return set()
    unread = {found[1] for found in map(UNREAD_NAME.fullmatch, names) if found}
    return {name for name in parts if name.split("-", 1)[1].split(".", 1)[0] not in unread}


class PartsSink:
    """The local job's output as a part per slice: a slice's lines go into its part, which is put
    in place when the slice is done."""

    held = True

    def __init__(self, folder: PartFolder, format: OutputFormat, compress: bool) -> None:
        self.folder = folder
        self.format = format
        self.compress = compress
        self.index: int | None = None
        self.part: PartFile | None = None
        self.writer: Any = None

    def _open(self, piece: Slice) -> Any:
        if self.index != piece.index:
            self.discard()
            self.part = self.folder.create(part_name(piece.index, self.format, self.compress), self.compress)
            self.writer = self.format.writer(self.part.stream)
            self.index = piece.index
        return self.writer

    def write(self, piece: Slice, data: bytes) -> None:
        self._open(piece).write(data)

    def finish(self, piece: Slice, fault: str | None = None) -> None:
        self._open(piece).close()
        assert self.part is not None
        commit_part(self.folder, self.part, piece.index, fault)
        self.part, self.index = None, None

    def discard(self) -> None:
        """Removes a part that is not complete."""
        if self.part is not None:
            self.writer.abandon()
            self.part.discard()
            self.part, self.index = None, None
