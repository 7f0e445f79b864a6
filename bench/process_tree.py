"""A process and all its descendants, read from /proc: resident memory and CPU time so far."""

import os

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
    the tree has waited for included (the kernel adds those to their parent's)."""
    ticks = 0
    for current in descendants(pid):
        try:
            with open(f"/proc/{current}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except (FileNotFoundError, ProcessLookupError):
            continue
        ticks += sum(int(value) for value in fields[11:15])  # utime, stime, cutime, cstime
    return ticks / CLOCK_TICKS
