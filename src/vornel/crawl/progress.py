"""The progress bar on standard error, the messages beside it, and the closing report."""

import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field

from tqdm import tqdm

from vornel.crawl.counts import FILTERED, SKIP_REASONS, Counts

REFRESH_SECONDS = 0.25


@dataclass(slots=True)
class JobReport:
    """What a job did: its counts, its wall time, the inputs it could not read to their end and
    those where it skipped damaged bytes."""

    counts: Counts = field(default_factory=Counts)
    seconds: float = 0.0
    unread: list[str] = field(default_factory=list)  # the inputs not read to their end
    faults: list[str] = field(default_factory=list)  # what stopped them or was skipped, with the byte offsets
    damaged: list[str] = field(default_factory=list)  # the inputs read to their end past damaged bytes

    def fault(self, path: str, message: str) -> None:
        if path not in self.unread:
            self.unread.append(path)
        self.faults.append(message)

    def damage(self, path: str, message: str) -> None:
        if path not in self.damaged:
            self.damaged.append(path)
        self.faults.append(message)

    @property
    def complete(self) -> bool:
        """Whether every input was read to its end without damage."""
        return not self.unread and not self.damaged


class Progress:
    """A bar over the input bytes with records, pages, pages/s and errors; silent when disabled."""

    def __init__(self, total_bytes: int, enabled: bool) -> None:
        self.started = time.monotonic()
        self._shown = 0.0
        self._bar = tqdm(total=total_bytes or None, unit="B", unit_scale=True, unit_divisor=1024,
                         file=sys.stderr, disable=not enabled, dynamic_ncols=True, mininterval=REFRESH_SECONDS,
                         bar_format="{percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} [{elapsed}<{remaining}{postfix}]")
        self.enabled = enabled

    def due(self) -> bool:
        """Whether the bar is shown and its last refresh is old enough for another."""
        return self.enabled and time.monotonic() - self._shown >= REFRESH_SECONDS

    def show(self, counts: Counts, done_bytes: int) -> None:
        if not self.enabled:
            return
        self._shown = now = time.monotonic()
        rate = counts.pages / max(now - self.started, 1e-9)
        self._bar.set_postfix_str(
            f"records {counts.records:,} · pages {counts.pages:,} · {rate:,.0f} pages/s · "
            f"errors {counts.errors.total():,}",
            refresh=False)
        self._bar.update(done_bytes - self._bar.n)

    def message(self, say: Callable[[str], None], text: str) -> None:
        """Hands `text` to `say`, keeping the bar whole if `say` writes to the terminal."""
        with tqdm.external_write_mode(file=sys.stderr):
            say(text)

    def close(self) -> None:
        self._bar.close()


def format_report(report: JobReport, inputs: int) -> str:
    counts = report.counts
    rate = counts.summarized / report.seconds if report.seconds > 0 else 0.0  # error lines are not summaries
    reasons = SKIP_REASONS + ((FILTERED,) if counts.skipped[FILTERED] else ())
    skipped = ", ".join(f"{reason} {counts.skipped[reason]:,}" for reason in reasons)
    errors = ", ".join(f"{kind} {number:,}" for kind, number in sorted(counts.errors.items()))
    repairs = ", ".join(f"{kind} {number:,}" for kind, number in sorted(counts.repairs.items()))
    lines = [
        f"vornel: {inputs} input{'s' if inputs != 1 else ''}, {counts.records:,} records read "
        f"in {report.seconds:.1f} s",
        f"  pages summarised  {counts.summarized:,} ({rate:,.1f} pages/s)",
        f"  records skipped   {counts.skipped.total():,} ({skipped})",
        f"  errors            {counts.errors.total():,}" + (f" ({errors})" if errors else ""),
    ]
    if repairs:
        lines.append(f"  repairs           {counts.repairs.total():,} ({repairs})")
    if counts.damaged:
        lines.append(f"  damage skipped    {counts.damaged_bytes:,} bytes in {counts.damaged:,} "
                     f"place{'s' if counts.damaged != 1 else ''}, {len(report.damaged)} "
                     f"input{'s' if len(report.damaged) != 1 else ''}")
    if report.unread:
        lines.append(f"  not read to the end: {len(report.unread)} input{'s' if len(report.unread) != 1 else ''}")
    return "\n".join(lines)
