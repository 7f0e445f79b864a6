"""What a job has done so far: records read, pages summarised, records skipped, errors and repairs by
kind, and damaged bytes skipped."""

from collections import Counter
from dataclasses import dataclass, field

# Why a record is not summarised.
NOT_RESPONSE = "not a response"
REVISIT = "revisit"
NOT_2XX = "status not 2xx"
NOT_HTML = "not HTML"
SKIP_REASONS = (NOT_RESPONSE, REVISIT, NOT_2XX, NOT_HTML)
# Left out by a filter the job was given (a URL pattern, chosen statuses or types).
FILTERED = "filtered"

# Pages that became error lines, by what went wrong.
SUMMARY_RAISED = "summary raised"


@dataclass(slots=True)
class Counts:
    records: int = 0
    pages: int = 0  # output lines, error lines included
    skipped: Counter[str] = field(default_factory=Counter)
    errors: Counter[str] = field(default_factory=Counter)
    bytes: int = 0  # input bytes gone through
    repairs: Counter[str] = field(default_factory=Counter)  # pages read leniently, by what was forgiven
    damaged: int = 0  # ranges of damaged bytes skipped
    damaged_bytes: int = 0

    def add(self, other: "Counts") -> None:
        self.records += other.records
        self.pages += other.pages
        self.skipped.update(other.skipped)
        self.errors.update(other.errors)
        self.bytes += other.bytes
        self.repairs.update(other.repairs)
        self.damaged += other.damaged
        self.damaged_bytes += other.damaged_bytes

    def plus(self, other: "Counts") -> "Counts":
        both = Counts(self.records, self.pages, self.skipped.copy(), self.errors.copy(), self.bytes,
                      self.repairs.copy(), self.damaged, self.damaged_bytes)
        both.add(other)
        return both

    @property
    def summarized(self) -> int:
        return self.pages - self.errors.total()
