"""Opening the job's inputs: local paths, `-` for standard input, and URLs through fsspec.

Standard input and any local path that is not a regular file (a FIFO, a process substitution such
as `<(zcat x.warc.gz)`, a character device) are read in one pass, in this process.
"""

import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, BinaryIO

STDIN = "-"


class _PositionedPipe:
    """A pipe that counts what it has read, for readers that ask where they are, and hands out what
    has arrived rather than waiting for a full buffer, so that a slow writer's records go through."""

    def __init__(self, raw: BinaryIO) -> None:
        self._raw = raw
        self._position = 0
        self._ahead = b""  # read by peek, not yet handed out

    def _read1(self, size: int) -> bytes:
        read1 = getattr(self._raw, "read1", None)
        return read1(size) if read1 is not None else self._raw.read(size)

    def read(self, size: int = -1) -> bytes:
        if self._ahead:
            data = self._ahead if size < 0 else self._ahead[:size]
            self._ahead = self._ahead[len(data):]
        else:
            data = self._read1(size)
        self._position += len(data)
        return data

    def tell(self) -> int:
        return self._position

    def seekable(self) -> bool:
        return False

    def peek(self, size: int) -> bytes:
        """The next `size` bytes (fewer at the end), waiting for them: a pipe may hand out a
        single byte first."""
        while len(self._ahead) < size:
            data = self._read1(size - len(self._ahead))
            if not data:
                break
            self._ahead += data
        return self._ahead[:size]


def is_url(path: str) -> bool:
    return "://" in path


def _filesystem(path: str) -> tuple[Any, str]:
    """The fsspec file system of a URL and the path in it; OSError, in words a user can act on,
    when fsspec or the URL's backend is not installed or the scheme is unknown."""
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise OSError(f"reading {path} needs fsspec (pip install 'vornel[dask]')") from None
    scheme = path.split("://", 1)[0]
    try:
        return fsspec.core.url_to_fs(path)  # type: ignore[no-any-return]
    except ImportError as error:
        from fsspec.registry import known_implementations  # type: ignore[import-untyped]

        known = known_implementations.get(scheme, {})
        package = known.get("class", "").split(".")[0] or getattr(error, "name", None)
        needs = f"the package {package} (pip install {package})" if package else f"a package ({error})"
        raise OSError(f"{scheme}:// URLs need {needs}") from None
    except ValueError as error:
        if scheme in fsspec.available_protocols():
            raise OSError(f"not a {scheme}:// URL that fsspec can open ({error})") from None
        raise OSError(f"unknown URL scheme {scheme}://") from None


def is_stream(path: str) -> bool:
    """Whether the input can be read only once, in order: standard input, a pipe, a device."""
    if path == STDIN:
        return True
    if is_url(path):
        return False
    try:
        mode = os.stat(path).st_mode
        return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)
    except OSError:
        return False  # opening it will say what is wrong


@contextmanager
def open_input(path: str) -> Iterator[BinaryIO]:
    """The input opened for reading bytes."""
    if path == STDIN:
        # A stream of its own on a copy of the descriptor: a thread may still wait on it when the
        # interpreter exits, which must not find the buffer of sys.stdin busy.
        with open(os.dup(sys.stdin.fileno()), "rb") as stream:
            yield _PositionedPipe(stream)  # type: ignore[misc]
        return
    if is_url(path):
        filesystem, inner = _filesystem(path)
        with filesystem.open(inner, "rb") as stream:
            yield stream
        return
    with open(path, "rb") as stream:
        yield _PositionedPipe(stream) if not stream.seekable() else stream  # type: ignore[misc]


def input_size(path: str) -> int | None:
    """The input's size in bytes, or None for standard input and pipes."""
    if is_stream(path):
        return None
    if is_url(path):
        filesystem, inner = _filesystem(path)
        return int(filesystem.size(inner))
    return os.stat(path).st_size


def peek(stream: BinaryIO, size: int) -> bytes:
    """The first `size` bytes of a stream that has not been read yet, leaving it unread."""
    if stream.seekable():
        data = stream.read(size)
        stream.seek(0)
        return data
    return stream.peek(size)[:size]  # type: ignore[attr-defined,no-any-return]
