"""Where the lines go when they make one output: standard output, or a file (gzip-compressed when
its name ends in .gz). A folder of part files is `parts`.

A file is written under a temporary name beside it and renamed into place when the job ends, so
that an old file stays whole until a new one is complete, and an input is never truncated by
being named as the output.
"""

import os
import secrets
import stat
import sys
from collections.abc import Callable, Iterable
from typing import BinaryIO, cast

from zlib_ng import gzip_ng

from vornel.crawl.formats import OutputFormat
from vornel.crawl.slices import Slice


class OutputIsInputError(ValueError):
    """The output names one of the inputs (the same file, perhaps through a link)."""


def compressed(target: str | None, compress: bool) -> bool:
    return compress or (target is not None and target.endswith(".gz"))


def _same_file(one: os.stat_result, other: os.stat_result) -> bool:
    return (one.st_dev, one.st_ino) == (other.st_dev, other.st_ino)


def check_not_an_input(target: str | None, inputs: Iterable[str]) -> None:
    """Raises OutputIsInputError when the output (a file, or standard output when `target` is None
    or `-`) is one of the local `inputs` or standard input."""
    try:
        output = os.fstat(sys.stdout.fileno()) if target is None or target == "-" else os.stat(target)
    except (OSError, ValueError, AttributeError):
        return  # not there yet, so not an input
    if not stat.S_ISREG(output.st_mode):
        return
    for path in inputs:
        try:
            source = os.fstat(sys.stdin.fileno()) if path == "-" else os.stat(path)
        except (OSError, ValueError, AttributeError):
            continue
        if _same_file(output, source):
            shown = "standard input" if path == "-" else path
            raise OutputIsInputError(f"is also an input ({shown}): writing it would destroy what is to be read")


def _standard_output() -> int:
    try:
        return sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):  # replaced by an object without a descriptor
        return 1


class Output:
    """The job's output stream. A regular file is written as a temporary file beside the target;
    `commit` renames it into place, `discard` removes it, and `keep` keeps an interrupted job's
    lines without destroying an older file. Standard output and other special files are written
    directly."""

    def __init__(self, target: str | None, compress: bool = False) -> None:
        self.target = None if target == "-" else target
        self.temporary: str | None = None
        self.existed = False
        self._mode: int | None = None
        if self.target is None:
            # A buffered stream of its own: sys.stdout.buffer is unbuffered under PYTHONUNBUFFERED
            # or -u, and an unbuffered write may write part of its bytes without a word.
            sys.stdout.flush()
            raw: BinaryIO = open(_standard_output(), "wb", closefd=False)
        elif self._special(self.target):
            raw = open(self.target, "wb")
        else:
            raw = self._open_temporary(self.target)
        self._raw = raw
        self._compressed = compressed(self.target, compress)
        self.stream: BinaryIO = raw
        if self._compressed:
            name = self.target or ""
            self.stream = cast(BinaryIO, gzip_ng.GzipNGFile(  # type: ignore[no-untyped-call]
                filename=name, fileobj=raw, mode="wb", compresslevel=6))
        self._closed = False

    @staticmethod
    def _special(target: str) -> bool:
        try:
            return not stat.S_ISREG(os.stat(target).st_mode)
        except FileNotFoundError:
            return False

    def _open_temporary(self, target: str) -> BinaryIO:
        real = os.path.realpath(target)  # through a link, the file it points at is replaced
        folder, name = os.path.split(real)
        try:
            old = os.stat(real)
            self.existed, self._mode = True, stat.S_IMODE(old.st_mode)
        except FileNotFoundError:
            pass
        while True:
            path = os.path.join(folder, f"{name}.vornel-{secrets.token_hex(4)}.partial")
            try:
                handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
            except FileExistsError:
                continue
            except OSError as error:
                raise OSError(error.errno, error.strerror, target) from None
            break
        self.temporary = path
        self._real = real
        if self._mode is not None:
            os.chmod(handle, self._mode) if os.chmod in os.supports_fd else os.chmod(path, self._mode)
        return os.fdopen(handle, "wb")

    def flush(self) -> None:
        """Hands what has been written to the system (not done for gzip, which would compress worse)."""
        if not self._compressed:
            self.stream.flush()

    def _close(self) -> None:
        if self._closed:
            return
        self._closed = True
        try:
            if self.stream is not self._raw:
                self.stream.close()  # the gzip trailer
            if self.temporary is not None:
                self._raw.flush()
                os.fsync(self._raw.fileno())
        finally:
            self._raw.close()  # standard output's descriptor stays open

    def commit(self) -> None:
        """Closes the output; a file takes the place of the target."""
        self._close()
        if self.temporary is not None:
            os.replace(self.temporary, self._real)
            self.temporary = None

    def discard(self) -> None:
        """Closes the output and leaves the target as it was."""
        try:
            self._close()
        finally:
            if self.temporary is not None:
                _remove(self.temporary)
                self.temporary = None

    def keep(self) -> str | None:
        """Keeps the lines written so far: in the target when there was no file there, else in the
        temporary file, whose name is returned, so that the older file stays as it was."""
        if self.temporary is not None and self.existed:
            try:
                self._close()
            except OSError:
                self.discard()
                return None
            kept, self.temporary = self.temporary, None
            return kept
        try:
            self.commit()
        except OSError:
            self.discard()
        return None


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass


class StreamSink:
    """The local job's output as one stream: every slice's lines, in order, through one writer of
    the format; `flush` (if given) follows every write."""

    def __init__(self, stream: BinaryIO, format: OutputFormat, flush: Callable[[], None] | None = None,
                 held: bool = False) -> None:
        self.writer = format.writer(stream)
        self.flush = flush
        self.held = held

    def write(self, piece: Slice, data: bytes) -> None:
        self.writer.write(data)
        if self.flush is not None:
            self.flush()

    def finish(self, piece: Slice, fault: str | None = None) -> None:
        pass

    def close(self) -> None:
        """Ends the output (a Parquet file's footer); the stream stays open."""
        self.writer.close()

    def abandon(self) -> None:
        self.writer.abandon()
