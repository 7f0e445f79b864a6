"""The job's side of a worker process: starting it, talking to it, watching its page, ending it.

Workers are started with `spawn`, as children of the job's own thread, so that on Linux they die
with it (see `worker._die_with`): no fork server or pool stays behind to hold standard output.
"""

import multiprocessing
import os
import signal
import time
from multiprocessing.connection import Connection
from multiprocessing.sharedctypes import RawArray
from typing import Any

from vornel.crawl.limits import Limits
from vornel.crawl.worker import NUMBER, OFFSET, OUT_OF_MEMORY, STARTED, STATE_SIZE, serve

# Seconds a worker has to end by itself when the job is done with it.
STOP_SECONDS = 5.0


class Worker:
    """A worker process; `task` is whatever the job has it working on (None when idle)."""

    def __init__(self, limits: Limits) -> None:
        context = multiprocessing.get_context("spawn")
        self.state: Any = RawArray("d", STATE_SIZE)
        ours, theirs = context.Pipe()
        self.process: Any = context.Process(target=serve, args=(theirs, self.state, os.getpid(), limits),
                                            name="vornel worker", daemon=True)
        self.process.start()
        theirs.close()
        self.connection: Connection = ours
        self.task: Any = None
        self.spent = False  # a page exhausted its memory: it is replaced once idle
        self.failure: str | None = None  # why its reader failed, when it said so

    @property
    def sentinel(self) -> int:
        return self.process.sentinel  # type: ignore[no-any-return]

    def send(self, message: object) -> bool:
        """Sends a message; False when the worker has gone."""
        try:
            self.connection.send(message)
        except (OSError, EOFError):
            return False
        return True

    def page(self) -> tuple[int, int] | None:
        """The number and offset of the record whose page the worker is summarising, if any."""
        if not self.state[STARTED]:
            return None
        return int(self.state[NUMBER]), int(self.state[OFFSET])

    def overdue(self, now: float, timeout: float) -> bool:
        started = self.state[STARTED]
        return bool(started) and now - started > timeout

    def started(self) -> float:
        return float(self.state[STARTED])

    def offset(self) -> int:
        return int(self.state[OFFSET])

    def kill(self) -> None:
        """Ends the worker at once."""
        if self.process.exitcode is None:
            self.process.kill()
        self.process.join()
        self.connection.close()

    def ended(self) -> None:
        """Waits for a worker that closed its end (it is exiting) to be gone, so that how it died is
        its own doing, then makes sure of it."""
        self.process.join(STOP_SECONDS)
        self.kill()

    def stop(self) -> None:
        """Ends an idle worker: asked first, killed if it does not go."""
        if self.send(None):
            self.process.join(STOP_SECONDS)
        self.kill()

    def death(self) -> str:
        """How the worker ended, in words."""
        code = self.process.exitcode
        if self.failure is not None:
            return self.failure
        if code is None:
            return "still running"
        if code == OUT_OF_MEMORY:
            return "out of memory"
        if code < 0:
            try:
                return f"killed by {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"exit status {code}"


def drain(worker: Worker) -> list[Any]:
    """The messages a dead worker sent before it ended."""
    messages = []
    try:
        while worker.connection.poll():
            messages.append(worker.connection.recv())
    except (EOFError, OSError):
        pass
    return messages


def now() -> float:
    return time.monotonic()
