"""What one page may cost: the time to summarise it and the memory of the worker that does, and
the errors of the pages that go beyond them or take their worker down with them."""

import os
from dataclasses import dataclass

from vornel.crawl.payload import PayloadError

# Seconds a page may take; a real page takes milliseconds, a hostile one minutes.
PAGE_TIMEOUT = 60.0
# A worker's memory for its pages: at most this by default, and never less than the floor.
WORKER_MEMORY_CAP = 1 << 30
WORKER_MEMORY_FLOOR = 256 << 20


class PageTimeoutError(PayloadError):
    """The page took longer than the page timeout; its worker was stopped."""

    kind = "page timeout"


class WorkerDiedError(PayloadError):
    """The worker process died while it summarised the page (a crash, or killed from outside)."""

    kind = "worker died"


def physical_memory() -> int | None:
    try:
        return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")
    except (AttributeError, ValueError, OSError):  # not a POSIX system
        return None


def default_worker_memory(jobs: int) -> int:
    """Half the machine's memory shared among the workers, within the floor and the cap."""
    memory = physical_memory()
    if memory is None:
        return WORKER_MEMORY_CAP
    return max(WORKER_MEMORY_FLOOR, min(WORKER_MEMORY_CAP, memory // 2 // max(jobs, 1)))


def format_size(size: int) -> str:
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift:
            return f"{size / (1 << shift):.3g} {unit}"
    return f"{size} bytes"


@dataclass(frozen=True, slots=True)
class Limits:
    """The bounds of one page: `page_timeout` seconds, and `worker_memory` bytes that a worker may
    take for its pages beyond what it needs to start."""

    page_timeout: float = PAGE_TIMEOUT
    worker_memory: int = WORKER_MEMORY_CAP

    def timeout_error(self) -> PageTimeoutError:
        return PageTimeoutError(f"summarising the page took longer than {self.page_timeout:g} s")

    def memory_message(self) -> str:
        return f"summarising the page needs more memory than a worker may take ({format_size(self.worker_memory)})"
