"""vornel.onionprep with real programs: Tor itself, curl, pkill, and a stand-in Tor daemon."""

import os
import shutil
import signal
import subprocess
import sys

import pytest
from loguru import logger

from helpers.onion_fakes import install_fakes
from helpers.onion_isolation import private_network
from helpers.onion_programs import end, install_standin, make_certificate, require_programs, socks_answers, wait_until
from vornel import onionprep

from helpers import UNDER_SANITIZER

# The programs these tests start would inherit the sanitizer runtime, and some hang with it; the
# same code paths run under the sanitizers with fakes in the other tests of the module.
pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="real programs do not run with the sanitizer preloaded")

TOR = shutil.which("tor")
needs_tor = pytest.mark.skipif(TOR is None, reason="tor is not installed")


def written_torrc(home, monkeypatch):
    """The configuration file as ensure_tor_env writes it into `home` (its probes faked)."""
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    install_fakes(monkeypatch, onionprep, home, names=("subprocess", "time", "logger"), probes=[0])
    onionprep.ensure_tor_env()
    return home / ".vornel_torrc"


@needs_tor
def test_tor_accepts_the_written_configuration(tmp_path, monkeypatch):
    torrc = written_torrc(tmp_path / "home", monkeypatch)
    result = subprocess.run([TOR, "--verify-config", "-f", str(torrc)], capture_output=True, text=True, timeout=60)
    print(result.stdout)
    assert result.returncode == 0 and "Configuration was valid" in result.stdout
    assert "no authentication method" not in result.stdout


@needs_tor
@private_network
def test_tor_serves_socks_with_the_written_configuration(tmp_path, monkeypatch):
    torrc = written_torrc(tmp_path / "home", monkeypatch)
    daemon = subprocess.Popen([TOR, "-f", str(torrc), "--DataDirectory", str(tmp_path / "data")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(lambda: socks_answers() or daemon.poll() is not None, 60, "the SOCKS port")
        assert daemon.poll() is None
        assert (tmp_path / "data" / "control_auth_cookie").exists()  # CookieAuthentication 1
    finally:
        daemon.terminate()
        daemon.wait(30)


def start_decoy(directory, name, user=None):
    """A process named `name`, which a bare `pkill tor` would also kill; run by `user` (a uid)
    when given: it takes that user's identity as its first step, keeping its name."""
    program = directory / name
    if user is None:
        program.symlink_to(shutil.which("sleep"))
    else:
        program.write_text(f"#!{sys.executable}\nimport os, time\nos.setuid({user})\ntime.sleep(300)\n")
        program.chmod(0o755)
    return subprocess.Popen([str(program), "300"])


@private_network
def test_end_to_end_restart_through_a_standin_tor(tmp_path, monkeypatch):
    require_programs("curl", "openssl", "pkill", "pgrep", "sleep")
    state = tmp_path / "state"
    state.mkdir()
    make_certificate(state)
    install_standin(tmp_path / "bin")
    home = tmp_path / "home"
    home.mkdir()
    for name in ("http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")
    monkeypatch.setenv("CURL_CA_BUNDLE", str(state / "cert.pem"))
    monkeypatch.setenv("ONION_STANDIN_DIR", str(state))

    stale_torrc = tmp_path / "stale_torrc"
    stale_torrc.write_text("SocksPort 9050\n")
    stale = subprocess.Popen(["tor", "-f", str(stale_torrc)], env={**os.environ, "ONION_STANDIN_REFUSE": "1"})
    decoys = [start_decoy(tmp_path, name) for name in ("torrent", "monitor")]
    if os.geteuid() == 0:  # another user's tor, which is not the caller's to end
        (tmp_path / "nobody").mkdir()
        decoys.append(start_decoy(tmp_path / "nobody", "tor", user=65534))
    lines = []
    sink = logger.add(lambda message: lines.append((message.record["level"].name, message.record["message"])),
                      level="INFO")
    try:
        wait_until(socks_answers, 30, "the stale stand-in")
        wait_until(lambda: all(os.stat(f"/proc/{decoy.pid}").st_uid != 0 for decoy in decoys[2:]), 30,
                   "the other user's tor")
        bare_match = subprocess.run(["pgrep", "tor"], capture_output=True, text=True, timeout=30).stdout.split()
        assert {str(decoy.pid) for decoy in decoys} <= set(bare_match)  # what "pkill tor" would hit

        assert onionprep.ensure_tor_env() is None

        assert stale.wait(10) == -signal.SIGTERM
        assert all(decoy.poll() is None for decoy in decoys)
    finally:
        logger.remove(sink)
        for process in [stale] + decoys:
            process.kill()
            process.wait()
        pids = (state / "pids").read_text().split() if (state / "pids").exists() else []
        for pid in pids[1:]:
            end(int(pid))

    print(*(f"{level}: {message}" for level, message in lines), sep="\n")
    assert len(pids) == 2 and pids[0] == str(stale.pid)
    assert lines == [
        ("WARNING", "Tor SOCKS5 proxy offline or not ready. Restarting..."),
        ("INFO", "\U0001f680 Starting Tor background process..."),
        ("INFO", "\u23f3 Waiting for Tor circuits to finalize (Bootstrapping)..."),
        ("SUCCESS", "\U0001f6e1\ufe0f Tor circuits fully bootstrapped! Exit IP: 198.51.100.23"),
    ]
    requests = (state / "requests").read_text().splitlines()
    assert requests[0] == "1 api.ipify.org:443" and requests[-1] == "1 api.ipify.org:443"
    assert (home / ".vornel_torrc").read_text() == "SocksPort 9050\nControlPort 9051\nCookieAuthentication 1\n"
