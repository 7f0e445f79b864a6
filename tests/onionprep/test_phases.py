"""ensure_tor_env phase by phase, with os, subprocess, time and logger replaced by fakes."""

import errno
import os
import signal
import stat
import subprocess
from contextlib import contextmanager, nullcontext

import pytest

from helpers.onion_fakes import DEVNULL, file_size_limit, install_fakes, timeout_expired
from vornel import onionprep

TORRC_TEXT = "SocksPort 9050\nControlPort 9051\nCookieAuthentication 1\n"
PROBE = ["curl", "-s", "--socks5-hostname", "127.0.0.1:9050", "https://api.ipify.org"]
RESTARTING = ("warning", "Tor SOCKS5 proxy offline or not ready. Restarting...")
STARTING = ("info", "\U0001f680 Starting Tor background process...")
WAITING = ("info", "\u23f3 Waiting for Tor circuits to finalize (Bootstrapping)...")
BOOTSTRAPPED = "\U0001f6e1\ufe0f Tor circuits fully bootstrapped! Exit IP: "
GIVING_UP = ("warning", "\u26a0\ufe0f Tor is taking longer than usual to connect. Proceeding anyway...")
KILL_TOR = f"pkill -x -u {os.geteuid()} tor"  # the current user's tor processes only


@pytest.fixture
def world(tmp_path, monkeypatch):
    return lambda **options: install_fakes(monkeypatch, onionprep, tmp_path, **options)


def after_config(world):
    """The calls of phases 3 to 5: everything after the configuration file was dealt with."""
    last = max(i for i, call in enumerate(world.calls) if call[0] in ("exists", "link", "remove"))
    return world.calls[last + 1:]


# Phase 1: the version check and the installer.

@pytest.mark.parametrize("failure", [
    None,
    FileNotFoundError(2, "No such file or directory", "tor"),
    PermissionError(13, "Permission denied", "tor"),
    subprocess.CalledProcessError(1, ["tor", "--version"]),
])
@pytest.mark.parametrize("termux, installer", [(True, "pkg install tor -y"), (False, "sudo apt install tor -y")])
def test_a_missing_tor_is_installed_with_pkg_on_termux_else_apt(world, failure, termux, installer):
    fake = world(version=failure, probes=[0], existing={"/data/data/com.termux"} if termux else ())
    assert onionprep.ensure_tor_env() is None
    install = [] if failure is None else [
        ("log", "warning", "Tor not found. Installing..."),
        ("exists", "/data/data/com.termux"),
        ("system", installer),
    ]
    assert fake.calls[:len(install) + 2] == [
        ("run", ["tor", "--version"], {"capture_output": True, "check": True}),
        *install,
        ("expanduser", "~/.vornel_torrc"),  # the configuration follows in every case
    ]


@pytest.mark.parametrize("interruption", [KeyboardInterrupt, SystemExit])
def test_interrupted_version_check_propagates(world, interruption):
    fake = world(version=interruption())
    with pytest.raises(interruption):
        onionprep.ensure_tor_env()
    assert len(fake.calls) == 1 and not os.path.exists(fake.torrc)


# Wait statuses as os.system returns them.
@pytest.mark.parametrize("status, interrupted", [
    pytest.param(signal.SIGINT, True, id="killed-by-SIGINT"),  # the shell, or what it ran in its place
    pytest.param(130 << 8, True, id="exit-130"),  # a shell or sudo whose own child SIGINT ended
    pytest.param(signal.SIGQUIT, True, id="killed-by-SIGQUIT"),  # Ctrl-\\
    pytest.param(signal.SIGQUIT | 0x80, True, id="killed-by-SIGQUIT-core-dumped"),
    pytest.param(131 << 8, True, id="exit-131"),
    pytest.param(1 << 8, False, id="exit-1"),
    pytest.param(100 << 8, False, id="exit-100"),  # apt's failure
    pytest.param(signal.SIGTERM, False, id="killed-by-SIGTERM"),
    pytest.param(-1, False, id="no-shell"),
])
def test_installer_ended_by_ctrl_c_stops_the_call(world, status, interrupted):
    fake = world(version=FileNotFoundError(2, "tor"), install_status=status, probes=[7])
    with pytest.raises(KeyboardInterrupt) if interrupted else nullcontext():
        onionprep.ensure_tor_env()
    if interrupted:  # before the configuration and before any kill
        assert fake.calls[-1] == ("system", "sudo apt install tor -y") and not os.path.exists(fake.torrc)
    else:  # the failure shows later, as before
        assert ("system", KILL_TOR) in fake.calls and os.path.exists(fake.torrc)


# Phase 2: the configuration file.

def test_missing_configuration_is_written(world):
    fake = world(probes=[0])
    onionprep.ensure_tor_env()
    with open(fake.torrc, newline="") as written:
        assert written.read() == TORRC_TEXT


@pytest.mark.parametrize("content", ["", "SocksPort 9150\n# mine\n"])
def test_existing_configuration_is_left_alone(world, content):
    fake = world(probes=[0])
    with open(fake.torrc, "w") as mine:
        mine.write(content)
    fake.existing.add(fake.torrc)
    before = os.stat(fake.torrc).st_mtime_ns
    onionprep.ensure_tor_env()
    with open(fake.torrc, newline="") as kept:
        assert kept.read() == content
    assert os.stat(fake.torrc).st_mtime_ns == before


@pytest.mark.parametrize("mask", [0o000, 0o022])
def test_new_configuration_is_private_to_its_owner(world, mask):
    fake = world(probes=[0])
    previous = os.umask(mask)
    try:
        onionprep.ensure_tor_env()
    finally:
        os.umask(previous)
    assert stat.S_IMODE(os.stat(fake.torrc).st_mode) == 0o600
    assert_linked_from_a_temporary_file(fake)
    assert os.listdir(fake.home) == [".vornel_torrc"]  # the temporary name is gone


def assert_linked_from_a_temporary_file(fake):
    """The configuration was written under another name in its folder, linked into place, and
    that name removed."""
    [(temporary, destination)] = fake.of("link")
    assert destination == fake.torrc and os.path.dirname(temporary) == fake.home and temporary != fake.torrc
    assert fake.of("remove") == [(temporary,)]


def plant(kind, torrc, elsewhere):
    """Puts something at the configuration path that the existence check does not report."""
    if kind == "file-appeared-after-check":
        torrc.write_text("SocksPort 9150\n# mine\n")
    elif kind == "dangling-link":
        torrc.symlink_to(elsewhere / "nologin")  # as a root caller's HOME might hold
    else:
        (elsewhere / "mine").write_text("keep me\n")
        torrc.symlink_to(elsewhere / "mine")


def snapshot(directory):
    def content(path):
        return path.readlink() if path.is_symlink() else None if path.is_dir() else path.read_bytes()

    return {path.name: (content(path), path.lstat().st_ino) for path in directory.iterdir()}


@pytest.mark.parametrize("kind", ["file-appeared-after-check", "dangling-link", "link-to-a-file"])
@pytest.mark.parametrize("write_limit", [None, 10], ids=["", "writes-fail"])
def test_path_the_check_missed_is_left_alone(world, tmp_path, kind, write_limit):
    fake = world(probes=[0])
    elsewhere = tmp_path / "etc"
    elsewhere.mkdir()
    plant(kind, tmp_path / ".vornel_torrc", elsewhere)
    before = snapshot(tmp_path), snapshot(elsewhere)
    # The text is written under a name of its own first, so a failed write raises; either way
    # the planted path stays as it was.
    with file_size_limit(write_limit) if write_limit else nullcontext():
        with pytest.raises(OSError) if write_limit else nullcontext():
            assert onionprep.ensure_tor_env() is None
    assert (snapshot(tmp_path), snapshot(elsewhere)) == before  # nothing created, truncated or removed
    if write_limit is None:
        assert_linked_from_a_temporary_file(fake)  # the link replaced nothing
        assert after_config(fake) == [("run", PROBE, {"capture_output": True, "timeout": 2})]  # the call goes on
    else:
        assert fake.of("link") == [] and len(fake.of("remove")) == 1  # only the temporary file


def test_configuration_reported_existing_is_never_opened(world):
    fake = world(probes=[0])
    fake.existing.add(fake.torrc)
    onionprep.ensure_tor_env()
    assert not os.path.exists(fake.torrc)


def plant_configuration(kind, torrc, elsewhere):
    """Puts at the configuration path what its kind says, a planted SocksPort in each file."""
    planted = "SocksPort 0.0.0.0:9050\n"
    if kind == "directory":
        torrc.mkdir()
    elif kind == "named-pipe":
        os.mkfifo(torrc)
    elif kind in ("link-to-own-file", "dangling-link"):
        (elsewhere / "mine").write_text(planted)
        torrc.symlink_to(elsewhere / ("mine" if kind == "link-to-own-file" else "nowhere"))
    else:
        torrc.write_text(planted)
        torrc.chmod({"group-writable": 0o620, "writable-by-others": 0o602, "own-0644": 0o644}.get(kind, 0o600))
        if kind == "another-users-file":
            if os.geteuid() != 0:
                pytest.skip("making a file of another user needs root")
            os.chown(torrc, 65534, 65534)


@pytest.mark.parametrize("kind, reason", [
    ("directory", "it is a directory"),
    ("named-pipe", "it is not a regular file"),
    ("link-to-own-file", "it is a symbolic link"),  # tor would read whatever the link points at
    ("dangling-link", "it is a symbolic link"),
    ("another-users-file", "it belongs to another user"),
    ("group-writable", "users other than its owner may write to it"),
    ("writable-by-others", "users other than its owner may write to it"),
    ("own-0600", None),
    ("own-0644", None),
])
def test_tor_is_started_only_with_a_configuration_its_user_controls(world, tmp_path, kind, reason):
    fake = world(probes=[7, 0])
    elsewhere = tmp_path / "etc"
    elsewhere.mkdir()
    plant_configuration(kind, tmp_path / ".vornel_torrc", elsewhere)
    fake.existing.add(fake.torrc)
    if reason is None:
        assert onionprep.ensure_tor_env() is None
        assert fake.of("Popen")[0][0] == ["tor", "-f", fake.torrc]
        return
    with pytest.raises(PermissionError) as raised:
        onionprep.ensure_tor_env()
    message = str(raised.value)
    assert fake.torrc in message and reason in message
    assert fake.logs() == [RESTARTING, ("warning", message)]
    assert fake.of("system") == [] and fake.of("Popen") == []  # no tor stopped, none started


@pytest.mark.parametrize("home", ["", "relative/home"])
def test_an_empty_or_relative_home_is_refused(tmp_path, monkeypatch, home):
    monkeypatch.setenv("HOME", home)
    monkeypatch.chdir(tmp_path)
    # An empty HOME makes the path /.vornel_torrc, reported existing here so that nothing is written there.
    fake = install_fakes(monkeypatch, onionprep, None, probes=[0], existing={"/.vornel_torrc"})
    with pytest.raises(RuntimeError, match="HOME is '(relative/home)?'"):
        onionprep.ensure_tor_env()
    assert os.listdir(tmp_path) == [] and fake.probe_calls() == [] and fake.of("link") == []


@contextmanager
def unwritable_directory(path):
    """`path` cannot be written in: read-only for a user, out of reach for root made nobody."""
    path.mkdir(mode=0o555)
    if os.geteuid() != 0:
        yield
        return
    os.seteuid(65534)
    try:
        yield
    finally:
        os.seteuid(0)


def test_unwritable_home_stops_before_any_probe(tmp_path, monkeypatch):
    home = tmp_path / "home"
    fake = install_fakes(monkeypatch, onionprep, home)
    with unwritable_directory(home), pytest.raises(PermissionError):
        onionprep.ensure_tor_env()
    assert fake.probe_calls() == [] and fake.logs() == [] and fake.of("remove") == []


def test_failed_write_leaves_no_file_and_next_call_writes_afresh(world):
    fake = world(probes=[0, 0])
    with file_size_limit(10), pytest.raises(OSError) as raised:
        onionprep.ensure_tor_env()
    assert raised.value.errno == errno.EFBIG
    assert fake.of("link") == [] and not os.path.exists(fake.torrc) and os.listdir(fake.home) == []
    assert fake.probe_calls() == []

    onionprep.ensure_tor_env()
    with open(fake.torrc) as written:
        assert written.read() == TORRC_TEXT


def test_failed_removal_keeps_the_write_error_and_leaves_no_partial_configuration(world):
    fake = world(remove_error=PermissionError(13, "Permission denied"), probes=[0])
    with file_size_limit(10), pytest.raises(OSError) as raised:
        onionprep.ensure_tor_env()
    assert raised.value.errno == errno.EFBIG
    chain = [raised.value]
    while chain[-1].__context__ is not None:
        chain.append(chain[-1].__context__)
    assert not any(isinstance(error, PermissionError) for error in chain)
    assert len(fake.of("remove")) == 1 and fake.probe_calls() == []
    assert not os.path.lexists(fake.torrc)  # only the temporary file keeps the partial text

    fake.remove_error = None
    onionprep.ensure_tor_env()  # so the next call writes the whole configuration
    with open(fake.torrc) as written:
        assert written.read() == TORRC_TEXT


def test_interrupted_removal_carries_the_write_error_as_its_context(world):
    fake = world(remove_error=KeyboardInterrupt())
    with file_size_limit(10), pytest.raises(KeyboardInterrupt) as raised:
        onionprep.ensure_tor_env()
    context = raised.value.__context__
    assert isinstance(context, OSError) and context.errno == errno.EFBIG
    assert len(fake.of("remove")) == 1 and fake.probe_calls() == [] and not os.path.lexists(fake.torrc)


# Phases 3 to 5: probe, restart, bootstrap wait.

def test_answering_proxy_returns_at_once(world):
    fake = world(probes=[0])
    assert onionprep.ensure_tor_env() is None
    assert after_config(fake) == [("run", PROBE, {"capture_output": True, "timeout": 2})]


@pytest.mark.parametrize("first_probe", [7, 97, timeout_expired(), FileNotFoundError(2, "curl")])
def test_failed_first_probe_restarts_tor(world, first_probe):
    fake = world(probes=[first_probe, (0, b"192.0.2.1\n")])
    onionprep.ensure_tor_env()
    restart = after_config(fake)[1:7]
    assert restart == [
        ("log",) + RESTARTING,
        ("system", KILL_TOR),
        ("sleep", 1),
        ("log",) + STARTING,
        ("Popen", ["tor", "-f", fake.torrc],
         {"stdin": DEVNULL, "stdout": DEVNULL, "stderr": DEVNULL, "start_new_session": True}),
        ("log",) + WAITING,
    ]
    assert [type(call[1]) for call in restart if call[0] == "sleep"] == [int]


@pytest.mark.parametrize("bootstrap, last_line, probes", [
    pytest.param([7, 7, (0, b"203.0.113.7\n")], ("success", BOOTSTRAPPED + "203.0.113.7"), 3, id="third"),
    pytest.param([(0, b"")], ("success", BOOTSTRAPPED), 1, id="empty-output"),
    pytest.param([(0, b"\xff\xfe"), (0, b" 198.51.100.1 \r\n")], ("success", BOOTSTRAPPED + "198.51.100.1"), 2,
                 id="non-utf8-then-address"),
    pytest.param([timeout_expired(), (0, b"2001:db8::1")], ("success", BOOTSTRAPPED + "2001:db8::1"), 2,
                 id="timeout-then-address"),
    pytest.param([7] * 19 + [(0, b"192.0.2.20")], ("success", BOOTSTRAPPED + "192.0.2.20"), 20, id="only-20th"),
    pytest.param([7] * 25, GIVING_UP, 20, id="all-fail"),
    pytest.param([FileNotFoundError(2, "curl")] * 25, GIVING_UP, 20, id="no-curl"),
])
def test_after_a_restart_the_proxy_is_probed_until_it_answers_or_20_times(world, bootstrap, last_line, probes):
    fake = world(probes=[7] + bootstrap)
    assert onionprep.ensure_tor_env() is None
    assert fake.logs() == [RESTARTING, STARTING, WAITING, last_line]
    assert fake.of("sleep") == [(1,)] + [(1.5,)] * probes
    probe_calls = fake.probe_calls()
    assert len(probe_calls) == 1 + probes
    assert all(call[1] is probe_calls[0][1] for call in probe_calls)  # one list for every probe
    assert probe_calls[0][1] == PROBE


def test_tor_missing_at_restart_propagates(world):
    fake = world(probes=[7], popen_error=FileNotFoundError(2, "No such file or directory", "tor"))
    with pytest.raises(FileNotFoundError):
        onionprep.ensure_tor_env()
    assert fake.logs() == [RESTARTING, STARTING]
    assert len(fake.probe_calls()) == 1


@pytest.mark.parametrize("probes", [[KeyboardInterrupt()], [7, 7, KeyboardInterrupt()]], ids=["first", "bootstrap"])
def test_interrupted_probe_propagates(world, probes):
    fake = world(probes=probes)
    with pytest.raises(KeyboardInterrupt):
        onionprep.ensure_tor_env()
    assert len(fake.probe_calls()) == len(probes)
    assert GIVING_UP not in fake.logs()
