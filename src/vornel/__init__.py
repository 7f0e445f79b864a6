"""vornel: summaries of fetched web pages, and a local Tor proxy made ready."""

from importlib import metadata as _metadata

__version__: str = _metadata.version(__name__)
