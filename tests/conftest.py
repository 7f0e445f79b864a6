"""Shared helpers for the vornel tests."""

import importlib.util

import pytest

import vornel.inspector


def load_fresh_inspector():
    """A second, independent module object of vornel.inspector, not entered in sys.modules."""
    found = importlib.util.spec_from_file_location("vornel.inspector", vornel.inspector.__file__)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture
def fresh_inspector():
    return load_fresh_inspector()
