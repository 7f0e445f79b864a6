"""Opening the job's inputs: local paths, `-` for standard input, and URLs through fsspec."""

import os
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, BinaryIO

STDIN = "-"


class _Counted:
    """A pipe that counts what it has read, for readers that ask where they are, and hands out what
    has arrived rather than waiting for a full buffer, so that a slow writer's records go through."""

    def __init__(self, raw: BinaryIO) -> None:
        self._raw = raw
        self._position = 0

    def read(self, size: int = -1) -> bytes:
        read1 = getattr(self._raw, "read1", None)
        data = read1(size) if read1 is not None else self._raw.read(size)
        self._position += len(data)
        return data

    def tell(self) -> int:
        return self._position

    def seekable(self) -> bool:
        return False

    def peek(self, size: int) -> bytes:
        peek = getattr(self._raw, "peek", None)
        return peek(size)[:size] if peek is not None else b""


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


@contextmanager
def open_input(path: str) -> Iterator[BinaryIO]:
    """The input opened for reading bytes."""
    if path == STDIN:
        # A stream of its own on a copy of the descriptor: a thread may still wait on it when the
        # interpreter exits, which must not find the buffer of sys.stdin busy.
        with open(os.dup(sys.stdin.fileno()), "rb") as stream:
            yield _Counted(stream)  # type: ignore[misc]
        return
    if is_url(path):
        filesystem, inner = _filesystem(path)
        with filesystem.open(inner, "rb") as stream:
            yield stream
        return
    with open(path, "rb") as stream:
        yield stream


def input_size(path: str) -> int | None:
    """The input's size in bytes, or None for standard input."""
    if path == STDIN:
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
