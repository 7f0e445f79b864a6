"""Running a test where 127.0.0.1:9050 and the processes named `tor` are its own.

As root, a test decorated with @private_network is run again, alone, by a pytest inside new
network and PID namespaces (`unshare`): its loopback is private, `pkill` sees only the test's
processes, and the kernel ends whatever the test left running when it exits. Elsewhere the
test runs here, unless port 9050 or 9051 is taken or a `tor` process runs; then it is skipped.
"""

import fcntl
import functools
import os
import shutil
import socket
import struct
import subprocess
import sys

import pytest

from helpers import ROOT

INSIDE = "VORNEL_ONION_NAMESPACE"
UNSHARE = ["unshare", "--net", "--pid", "--fork", "--kill-child", "--mount-proc"]


def bring_loopback_up():
    SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(sock, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(sock, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))


def can_unshare():
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    return subprocess.run(UNSHARE + ["true"], capture_output=True, timeout=30).returncode == 0


def port_in_use(port):
    with socket.socket() as sock:
        return sock.connect_ex(("127.0.0.1", port)) == 0


def tor_running():
    if shutil.which("pgrep") is None:
        return True
    return subprocess.run(["pgrep", "-x", "tor"], capture_output=True, timeout=30).returncode == 0


def rerun_in_namespace():
    node = os.environ["PYTEST_CURRENT_TEST"].rsplit(" ", 1)[0]
    command = UNSHARE + [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-s", "-rs", node]
    result = subprocess.run(command, cwd=ROOT, env={**os.environ, INSIDE: "1"}, capture_output=True, text=True,
                            timeout=600)
    print(result.stdout, result.stderr, sep="\n")
    if result.returncode != 0:
        pytest.fail(f"in a private namespace:\n{result.stdout}\n{result.stderr}", pytrace=False)
    if " passed" not in result.stdout.splitlines()[-1]:
        pytest.skip("in a private namespace: " + result.stdout.strip().splitlines()[-2])


def private_network(test):
    @functools.wraps(test)
    def run(*args, **kwargs):
        if os.environ.get(INSIDE) == "1":
            bring_loopback_up()
            return test(*args, **kwargs)
        if can_unshare():
            return rerun_in_namespace()
        if port_in_use(9050) or port_in_use(9051) or tor_running():
            pytest.skip("no private namespace, and 127.0.0.1:9050 or a tor process is in use")
        return test(*args, **kwargs)

    return run
