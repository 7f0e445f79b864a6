"""vornel: summaries of fetched web pages, and a local Tor proxy made ready."""

from ._version import __version__ as __version__
