"""vornel.onionprep as a module: its namespace, its function object, its import."""

import gc
import os
import subprocess
import sys

import loguru
import pytest

from helpers.modules import fresh_module
from helpers.onion_fakes import FakeWorld, file_size_limit, install_fakes
from vornel import onionprep


def test_namespace_binds_its_imports_in_order():
    names = [name for name in vars(onionprep) if not name.startswith("__")]
    assert names == ["os", "subprocess", "time", "logger", "ensure_tor_env"]
    assert (onionprep.os, onionprep.subprocess, onionprep.time) == (os, subprocess, __import__("time"))
    assert onionprep.logger is loguru.logger
    assert onionprep.__doc__ is None


def test_ensure_tor_env_is_named_and_documented_like_a_python_function():
    function = onionprep.ensure_tor_env
    assert repr(type(function)) == "<class 'vornel.function'>"
    assert (function.__name__, function.__qualname__, function.__module__) == (
        "ensure_tor_env", "ensure_tor_env", "vornel.onionprep")
    assert function.__doc__ == "Automates Tor installation, configuration, and verifies complete bootstrap"


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, "ensure_tor_env() takes exactly 0 positional arguments (1 given)"),
    ((None, None), {}, "ensure_tor_env() takes exactly 0 positional arguments (2 given)"),
    ((), {"timeout": 5}, "ensure_tor_env() got an unexpected keyword argument 'timeout'"),
])
def test_any_argument_is_refused_before_anything_runs(tmp_path, monkeypatch, args, kwargs, message):
    fake = install_fakes(monkeypatch, onionprep, tmp_path)
    with pytest.raises(TypeError) as raised:
        onionprep.ensure_tor_env(*args, **kwargs)
    assert str(raised.value) == message and fake.calls == []


def test_each_module_object_reads_its_own_namespace(tmp_path):
    """Multi-phase initialisation: a second module object has its own state and globals."""
    other = fresh_module("vornel.onionprep")
    assert other is not onionprep and other.ensure_tor_env is not onionprep.ensure_tor_env
    world = FakeWorld(tmp_path, probes=[0])
    for name in ("os", "subprocess", "time", "logger"):
        setattr(other, name, getattr(world, name))
    other.ensure_tor_env()
    assert world.probe_calls() and onionprep.subprocess is subprocess


@pytest.mark.parametrize("stub, error", [
    ("sys.modules['loguru'] = None", "ModuleNotFoundError"),
    ("import types; sys.modules['loguru'] = types.ModuleType('loguru')", "AttributeError"),
])
def test_import_fails_with_the_error_of_a_dependency(stub, error):
    code = f"import sys; {stub}\ntry:\n import vornel.onionprep\nexcept Exception as e: print(type(e).__name__)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == error


def leaked_blocks(run):
    """Blocks still allocated after 1000 more runs; a leak of one object a run shows as 1000."""
    for _ in range(100):  # fills the interpreter's caches and free lists
        run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(1000):
        run()
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.mark.parametrize("probes", [[0], [7, 7, (0, b"192.0.2.1\n")], [7] * 21, [7, (0, b"\xff")]],
                         ids=["up", "bootstrapped", "gave-up", "undecodable"])
def test_calls_leak_no_references(tmp_path, monkeypatch, probes):
    fake = install_fakes(monkeypatch, onionprep, tmp_path, version=FileNotFoundError(2, "tor"))
    fake.existing.add(fake.torrc)  # the write path has a test of its own below
    with open(fake.torrc, "w") as mine:  # tor is started only with a file its user controls
        mine.write("SocksPort 9050\n")

    def run():
        fake.probes, fake.calls = list(probes), []
        onionprep.ensure_tor_env()

    assert leaked_blocks(run) < 200


def test_failed_writes_leak_no_references(tmp_path, monkeypatch):
    fake = install_fakes(monkeypatch, onionprep, tmp_path, remove_error=PermissionError(13, "denied"))

    def run():
        fake.calls = []
        for name in os.listdir(tmp_path):  # the temporary files that the failed removal left
            os.remove(tmp_path / name)
        with pytest.raises(OSError):
            onionprep.ensure_tor_env()

    with file_size_limit(10):
        assert leaked_blocks(run) < 200
