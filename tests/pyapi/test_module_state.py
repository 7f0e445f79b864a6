"""Module state over a module's life: built by exec, released when the module goes, also when exec failed."""

import builtins
import gc
import importlib.util
import sys
import types
import urllib.parse

import pytest

import vornel.inspector
import vornel.onionprep

from helpers.modules import extension_modules

ROUNDS = 10


def new_module(module):
    """A new module object of the same extension, created but not executed yet."""
    spec = importlib.util.spec_from_file_location(module.__name__, module.__file__)
    return spec, importlib.util.module_from_spec(spec)


def load(module):
    spec, fresh = new_module(module)
    spec.loader.exec_module(fresh)
    return fresh


def selectolax_that_collects_and_fails(monkeypatch):
    """selectolax.lexbor whose LexborHTMLParser cannot be read; reading it runs the garbage collector
    while the half-initialised module is alive."""
    def missing(name):
        gc.collect()
        raise AttributeError(name)

    stub = types.ModuleType("selectolax.lexbor")
    stub.__getattr__ = missing
    monkeypatch.setitem(sys.modules, "selectolax.lexbor", stub)


def loguru_without_logger(monkeypatch):
    monkeypatch.setitem(sys.modules, "loguru", types.ModuleType("loguru"))


def reference_counts_gained(step, *held):
    """How many references to each of `held` ROUNDS runs of step() leave behind."""
    gc.collect()
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(ROUNDS):
        step()
        gc.collect()
    after = [sys.getrefcount(obj) for obj in held]
    return [late - early for early, late in zip(before, after, strict=True)]


# What each state holds that is reachable from here: the guard keeps urllib.parse's names, and
# vornel.onionprep keeps the built-in open.
@pytest.mark.parametrize("module, held", [
    (vornel.inspector, [urllib.parse.ParseResult, urllib.parse.urljoin]),
    (vornel.onionprep, [builtins.open]),
], ids=["inspector", "onionprep"])
def test_a_freed_module_releases_its_state(module, held):
    assert reference_counts_gained(lambda: load(module), *held) == [0] * len(held)


@pytest.mark.parametrize("module, break_dependency", [
    (vornel.inspector, selectolax_that_collects_and_fails),
    (vornel.onionprep, loguru_without_logger),
], ids=["inspector", "onionprep"])
def test_a_module_whose_exec_failed_midway_releases_what_it_built(monkeypatch, module, break_dependency):
    break_dependency(monkeypatch)

    def failed_import():
        with pytest.raises(AttributeError):
            load(module)

    assert reference_counts_gained(failed_import, urllib.parse.ParseResult, builtins.open) == [0, 0]


@pytest.mark.parametrize("module", extension_modules(), ids=lambda m: m.__name__)
def test_a_module_never_executed_is_collected_and_freed(module):
    _, fresh = new_module(module)
    fresh.me = fresh  # a cycle, so that the collector traverses it
    del fresh
    gc.collect()


def test_methods_of_a_freed_module_keep_their_module_alive():
    fresh = load(vornel.inspector)
    get_summary = fresh.VornInspector.get_summary
    page = fresh.VornInspector("<title>t</title>", "https://example.com/")
    del fresh
    gc.collect()
    assert get_summary(page)["title"] == "t"
