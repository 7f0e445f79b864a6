"""A process and all its descendants, read from Linux's /proc: which processes, whether they live,
their resident memory and CPU time so far. The benchmarks measure with it, the tests watch and end
the processes they start with it."""

import os
import signal

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def descendants(pid):
    """pid and every live process below it."""
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        try:
            for task in os.listdir(f"/proc/{current}/task"):  # children are listed by the thread that made them
                with open(f"/proc/{current}/task/{task}/children") as children:
                    todo += [int(child) for child in children.read().split()]
        except (FileNotFoundError, ProcessLookupError):
            continue
    return found


def stat_fields(pid):
    """The fields of /proc/PID/stat after the command's name, or None for a process that is gone."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()
    except (FileNotFoundError, ProcessLookupError):
        return None


def alive(pid):
    """Whether a process exists and is not a zombie."""
    fields = stat_fields(pid)
    return fields is not None and fields[0] != "Z"


def cpu_seconds(pid, waited_for=False):
    """User and system time of one process; with waited_for, also that of the ended children it has
    waited for (the kernel adds those to their parent's)."""
    fields = stat_fields(pid)
    if fields is None:
        return 0.0
    return sum(int(value) for value in fields[11:15 if waited_for else 13]) / CLOCK_TICKS  # utime stime cutime cstime


def command_line(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            return cmdline.read().replace(b"\0", b" ").decode(errors="replace")
    except (FileNotFoundError, ProcessLookupError):
        return ""


def tree_rss_kb(pid):
    """Resident memory of a process and all its descendants, in KiB."""
    total = 0
    for current in descendants(pid):
        try:
            with open(f"/proc/{current}/status") as status:
                total += next((int(line.split()[1]) for line in status if line.startswith("VmRSS:")), 0)
        except (FileNotFoundError, ProcessLookupError):
            continue
    return total


def tree_cpu_seconds(pid):
    """User and system time of a process and all its descendants, the ended ones that a process of
    the tree has waited for included."""
    return sum(cpu_seconds(current, waited_for=True) for current in descendants(pid))


def end_process_tree(pids):
    """Kills the processes of a tree we started, by pid; those already gone are passed over."""
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
