"""ensure_tor_env in a script at a terminal: a Ctrl-C while Tor is being installed, and the
started daemon, which shares neither the script's session nor its terminal."""

import json
import os
import subprocess
import sys
import threading

import pytest

from helpers import UNDER_SANITIZER
from helpers.onion_isolation import private_network
from helpers.onion_programs import (HERE, end, install_standin, make_certificate, require_programs, socks_answers,
                                    wait_until)

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="real programs do not run with the sanitizer preloaded")

CTRL_C = b"\x03"  # the terminal sends SIGINT to its foreground process group: the script's
CTRL_BACKSLASH = b"\x1c"  # SIGQUIT, likewise


class Terminal:
    """tests/helpers/onion_caller.py in a session of its own, on a new pseudo-terminal."""

    def __init__(self, tmp_path, env, *args):
        self.events = tmp_path / "events"
        self.master, slave = os.openpty()
        self.process = subprocess.Popen([sys.executable, str(HERE / "onion_caller.py"), str(self.events), *args],
                                        stdin=slave, stdout=slave, stderr=slave, env=env, start_new_session=True)
        os.close(slave)
        self.output = bytearray()
        self.reader = threading.Thread(target=self._drain, daemon=True)
        self.reader.start()

    def _drain(self):
        try:
            while chunk := os.read(self.master, 4096):
                self.output += chunk
        except OSError:  # EIO: nothing has the terminal open any more
            pass

    def type(self, keys):
        os.write(self.master, keys)

    def recorded(self):
        return [json.loads(line) for line in self.events.read_text().splitlines()] if self.events.exists() else []

    def wait_for(self, event):
        def seen():
            return [entry for entry in self.recorded() if entry["event"] == event]

        wait_until(lambda: seen() or self.process.poll() is not None, 60, event)
        assert seen(), f"{self.recorded()}\n{self.output.decode(errors='replace')}"
        return seen()[0]

    def close(self):
        end(self.process.pid)
        self.reader.join(5)
        os.close(self.master)
        print(self.output.decode(errors="replace"))


def executable(path, text):
    path.write_text(text)
    path.chmod(0o755)


# The command line is "sudo apt install tor -y"; these stand in for sudo, apt included. Each
# records its arguments and its pid, then waits for the Ctrl-C.
INSTALLERS = {
    "killed-by-SIGINT": '#!/bin/sh\necho "$@" > "$0.args"\necho $$ > "$0.pid"\nexec /bin/sleep 60\n',
    # SIGQUIT dumps core by default: none is written
    "killed-by-SIGQUIT": '#!/bin/sh\nulimit -c 0\necho "$@" > "$0.args"\necho $$ > "$0.pid"\nexec /bin/sleep 60\n',
    "exits-130": f"#!{sys.executable}\nimport os, signal, sys, time\n"
                 "open(sys.argv[0] + '.args', 'w').write(' '.join(sys.argv[1:]))\n"
                 "open(sys.argv[0] + '.pid', 'w').write(str(os.getpid()))\n"
                 "signal.signal(signal.SIGINT, lambda *_: sys.exit(130))  # as sudo does when apt died of it\n"
                 "time.sleep(60)\n",
}


@private_network
@pytest.mark.parametrize("installer, keys", [("killed-by-SIGINT", CTRL_C), ("exits-130", CTRL_C),
                                            ("killed-by-SIGQUIT", CTRL_BACKSLASH)])
def test_ctrl_c_during_installation_stops_the_call(tmp_path, installer, keys):
    bin_dir, home = tmp_path / "bin", tmp_path / "home"
    bin_dir.mkdir()
    home.mkdir()
    executable(bin_dir / "sudo", INSTALLERS[installer])
    executable(bin_dir / "pkill", '#!/bin/sh\necho "$@" >> "$0.calls"\n')
    env = {"PATH": str(bin_dir), "HOME": str(home)}  # no tor on the search path: it gets installed
    terminal = Terminal(tmp_path, env)
    installer_pid = bin_dir / "sudo.pid"
    try:
        wait_until(lambda: installer_pid.exists() or terminal.process.poll() is not None, 60, "the installer")
        terminal.type(keys)
        assert terminal.wait_for("raised") == {"event": "raised", "type": "KeyboardInterrupt"}
        assert terminal.process.wait(30) == 0
    finally:
        terminal.close()
        if installer_pid.exists():
            end(int(installer_pid.read_text()))
    assert (bin_dir / "sudo.args").read_text().split() == ["apt", "install", "tor", "-y"]
    assert not (home / ".vornel_torrc").exists() and not (bin_dir / "pkill.calls").exists()


def process_status(pid):
    """(state letter, session id, controlling terminal number) from /proc."""
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return fields[0], int(fields[3]), int(fields[4])


@private_network
def test_started_tor_keeps_out_of_the_callers_session_and_terminal(tmp_path):
    require_programs("curl", "openssl", "pkill")
    state, home = tmp_path / "state", tmp_path / "home"
    state.mkdir()
    home.mkdir()
    make_certificate(state)
    install_standin(tmp_path / "bin")
    env = {"PATH": f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}", "HOME": str(home),
           "CURL_CA_BUNDLE": str(state / "cert.pem"), "ONION_STANDIN_DIR": str(state)}
    pids = state / "pids"
    terminal = Terminal(tmp_path, env, str(pids))
    try:
        returned = terminal.wait_for("returned")
        daemon = int(pids.read_text().split()[-1])
        assert returned["resource_warnings"] == []
        _, session, tty = process_status(daemon)
        assert session == daemon != os.getsid(terminal.process.pid) and os.getpgid(daemon) == daemon
        assert tty == 0 and os.readlink(f"/proc/{daemon}/fd/0") == "/dev/null"  # no terminal to read from

        terminal.type(CTRL_C)
        terminal.wait_for("caught Ctrl-C")
        assert process_status(daemon)[0] != "Z" and socks_answers()  # the daemon runs on

        terminal.type(b"\n")
        assert terminal.wait_for("daemon ended")["reaped"]  # and does not stay a zombie once it ends
        assert terminal.process.wait(30) == 0
    finally:
        terminal.close()
        for pid in pids.read_text().split() if pids.exists() else []:
            end(int(pid))
