"""A user's script at a terminal, for the tests: calls ensure_tor_env, then waits for Ctrl-C.

The tests run it in a session of its own with a pseudo-terminal on its standard input; it makes
that terminal its controlling one, so a Ctrl-C typed there reaches its process group as a user's
would. What happens is appended to the file named by argv[1], one JSON object a line:
  {"event": "raised", "type": ...}      ensure_tor_env raised; the script ends
  {"event": "returned", "resource_warnings": [...]}
  {"event": "caught Ctrl-C"}            the script caught it and goes on
then, after a line typed at the terminal, it ends the daemon that ensure_tor_env started (the
last pid in the stand-in's file of pids, argv[2]) and tells whether it was reaped:
  {"event": "daemon ended", "reaped": ...}
"""

import fcntl
import gc
import json
import os
import signal
import subprocess
import sys
import termios
import time
import warnings


def record(**event):
    with open(sys.argv[1], "a") as log:
        log.write(json.dumps(event) + "\n")


def state_of(pid):
    """The process's state letter, or None once it has been reaped."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return None


def main():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored
    from vornel import onionprep

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            onionprep.ensure_tor_env()
        except BaseException as error:
            record(event="raised", type=type(error).__name__)
            return
        gc.collect()
    try:
        record(event="returned", resource_warnings=[str(w.message) for w in caught if w.category is ResourceWarning])
        time.sleep(120)
    except KeyboardInterrupt:
        record(event="caught Ctrl-C")
    sys.stdin.readline()

    daemon = int(open(sys.argv[2]).read().split()[-1])
    os.kill(daemon, signal.SIGTERM)
    # Each new child has subprocess reap the ended ones it was left; a daemon whose threads
    # are still exiting cannot be reaped yet, so this goes on until it was or time is up.
    deadline = time.monotonic() + 30
    while state_of(daemon) is not None and time.monotonic() < deadline:
        subprocess.run(["true"])
        time.sleep(0.05)
    record(event="daemon ended", reaped=state_of(daemon) is None)


if __name__ == "__main__":
    main()
