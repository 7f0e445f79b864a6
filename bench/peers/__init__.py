"""The same page summary written without vornel, to measure vornel against."""
