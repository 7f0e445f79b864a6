"""Stand-ins for the os, subprocess, time and logger globals of vornel.onionprep.

Each fake records its calls, in order, in one list shared by all four, so a test can check
the whole sequence of what ensure_tor_env did. Nothing here sleeps or starts a process.
"""

import os
import resource
import subprocess
import types
from contextlib import contextmanager

DEVNULL = object()  # told apart from the real subprocess.DEVNULL on purpose


class Completed:
    """What subprocess.run returns: the exit status and the captured output."""

    def __init__(self, returncode, stdout=b""):
        self.returncode = returncode
        self.stdout = stdout


class InFrontOf(types.SimpleNamespace):
    """Fakes in front of a real module: what is not faked here is the module's own."""

    def __init__(self, module, **fakes):
        super().__init__(**fakes)
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


class FakeWorld:
    """One scripted run of ensure_tor_env.

    version: None when `tor --version` succeeds, else the exception it raises.
    probes: outcome of each curl probe in turn: an exit status, (status, output) or an
        exception to raise; once they are used up every probe exits with 7.
    existing: paths that os.path.exists reports (the config is found in `home`).
    home: the folder that "~" stands for; None: the real os.path.expanduser, as HOME says.
    install_status: what os.system returns for the installer, a wait status.
    remove_error: raised by os.remove, after it was recorded.
    Everything of os that is not faked (os.link, os.lstat, os.geteuid, ...) is the real one.
    """

    def __init__(self, home, version=None, probes=(), existing=(), popen_error=None, remove_error=None,
                 install_status=0):
        self.home = None if home is None else str(home)
        self.version = version
        self.probes = list(probes)
        self.existing = set(existing)
        self.popen_error = popen_error
        self.remove_error = remove_error
        self.install_status = install_status
        self.calls = []
        self.subprocess = types.SimpleNamespace(run=self._run, Popen=self._popen, DEVNULL=DEVNULL)
        self.os = InFrontOf(
            os,
            path=InFrontOf(os.path, exists=self._exists, expanduser=self._expanduser),
            system=self._system,
            remove=self._remove,
            link=self._link,
        )
        self.time = types.SimpleNamespace(sleep=lambda seconds: self.calls.append(("sleep", seconds)))
        self.logger = types.SimpleNamespace(**{
            level: (lambda message, level=level: self.calls.append(("log", level, message)))
            for level in ("info", "success", "warning")
        })

    @property
    def torrc(self):
        return os.path.expanduser("~/.vornel_torrc") if self.home is None else os.path.join(self.home, ".vornel_torrc")

    def _run(self, command, **keywords):
        self.calls.append(("run", command, keywords))
        if command == ["tor", "--version"]:
            if self.version is not None:
                raise self.version.with_traceback(None)
            return Completed(0, b"Tor version 0.4.9.11.\n")
        outcome = self.probes.pop(0) if self.probes else 7
        if isinstance(outcome, BaseException):
            raise outcome.with_traceback(None)  # reused: no growing traceback
        return Completed(*outcome) if isinstance(outcome, tuple) else Completed(outcome)

    def _popen(self, command, **keywords):
        self.calls.append(("Popen", command, keywords))
        if self.popen_error is not None:
            raise self.popen_error.with_traceback(None)
        return object()

    def _exists(self, path):
        self.calls.append(("exists", path))
        return path in self.existing

    def _expanduser(self, path):
        self.calls.append(("expanduser", path))
        return os.path.expanduser(path) if self.home is None else path.replace("~", self.home, 1)

    def _system(self, command):
        self.calls.append(("system", command))
        return self.install_status if command.endswith("install tor -y") else 0

    def _link(self, source, destination):
        self.calls.append(("link", source, destination))
        os.link(source, destination)

    def _remove(self, path):
        self.calls.append(("remove", path))
        if self.remove_error is not None:
            raise self.remove_error.with_traceback(None)
        os.remove(path)

    # Views of the record.
    def of(self, kind):
        return [call[1:] for call in self.calls if call[0] == kind]

    def logs(self):
        return self.of("log")

    def probe_calls(self):
        return [call for call in self.calls if call[0] == "run" and call[1][0] == "curl"]


@contextmanager
def file_size_limit(size):
    """Writes beyond `size` bytes fail with EFBIG (the interpreter ignores SIGXFSZ)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))


def timeout_expired():
    return subprocess.TimeoutExpired(["curl"], 2)


def install_fakes(monkeypatch, module, home, names=("os", "subprocess", "time", "logger"), **options):
    """Rebinds the named globals of `module` to the fakes of a new FakeWorld and returns it."""
    world = FakeWorld(home, **options)
    for name in names:
        monkeypatch.setattr(module, name, getattr(world, name))
    return world
