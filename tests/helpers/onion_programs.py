"""Helpers for the tests of vornel.onionprep that start real programs: the stand-in Tor, its
certificate, waiting for a condition, and ending processes by pid."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent


def require_programs(*names):
    missing = [name for name in names if shutil.which(name) is None]
    if missing:
        pytest.skip("not installed: " + ", ".join(missing))


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.05)


def socks_answers():
    try:
        with socket.create_connection(("127.0.0.1", 9050), timeout=1) as sock:
            sock.sendall(b"\x05\x01\x00")
            return sock.recv(2) == b"\x05\x00"
    except OSError:
        return False


def install_standin(directory):
    directory.mkdir()
    tor = directory / "tor"  # the kernel names a script's process after the script: "tor"
    tor.write_text(f"#!{sys.executable}\n" + (HERE / "onion_standin.py").read_text())
    tor.chmod(0o755)


def make_certificate(directory):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=api.ipify.org", "-addext", "subjectAltName=DNS:api.ipify.org",
                    "-keyout", str(directory / "key.pem"), "-out", str(directory / "cert.pem")],
                   check=True, capture_output=True, timeout=60)


def end(pid):
    """Ends a process by pid and reaps it when it is a child of this one."""
    try:
        os.kill(pid, signal.SIGTERM)
        os.waitpid(pid, 0)
    except (ProcessLookupError, ChildProcessError):
        pass
