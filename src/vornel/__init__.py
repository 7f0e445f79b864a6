"""vornel: summaries of fetched web pages, and a local Tor proxy made ready."""
