"""The plain Python model of the page summary: what vornel.inspector must return, written over
selectolax without vornel. The tests compare vornel with it and the benchmarks time it."""

from summary_model.inspector import PurePythonInspector

__all__ = ["PurePythonInspector"]
