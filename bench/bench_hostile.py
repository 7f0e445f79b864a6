"""Time and peak memory of `vornel warc` on hostile pages: small archives whose pages are costly to
parse or make huge lines.

    .venv/bin/python bench/bench_hostile.py                             # this build
    .venv/bin/python bench/bench_hostile.py --before OLD/bin/python     # and an older one, in turns

Each case runs `python -m vornel warc ARCHIVE -q -o /dev/null` in a process of its own, as a user
would; the peak is the resident memory of its whole process tree (the job and its workers),
sampled every 20 ms, and the CPU time is that of the tree (the job waits for its workers). A run
that takes longer than --cap seconds is ended (its whole tree, by pid) and shown as such. With
--before, the builds take turns for --rounds rounds; each keeps its best time and its highest
peak. The archives are written into build/bench (tests/helpers/crawl_archives.py builds them).
"""

import argparse
import os
import subprocess
import sys
import threading
import time

from process_tree import descendants, end_process_tree, tree_rss_kb
from project_paths import ROOT

BUILD = ROOT / "build" / "bench"


def cases():
    """(name, archive builder, extra arguments) of each hostile case."""
    from helpers.crawl_archives import form_inputs, header_cells, hostile_archive, unclosed_divs

    return [
        ("400,000 unclosed <div> (2 MB)", lambda: hostile_archive(unclosed_divs(400_000)), ["--jobs", "1"]),
        ("31 MiB of <th>x", lambda: hostile_archive(header_cells(31 << 20)), ["--jobs", "1"]),
        ("1.5M form inputs (a 99 MB line)", lambda: hostile_archive(form_inputs(1_500_000)), ["--jobs", "1"]),
        ("100 records of 150k inputs, 16 KiB slices", lambda: hostile_archive(*[form_inputs(150_000)] * 100),
         ["--jobs", "2", "--slice-size", "16K"]),
    ]


def run_case(python, archive, args, cap):
    """(seconds, cpu seconds, peak MB, ended by the cap) of one run."""
    started = time.perf_counter()
    process = subprocess.Popen([python, "-m", "vornel", "warc", str(archive), *args, "-q", "-o", os.devnull],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    peak, capped, done = [0], [False], threading.Event()

    def sample():
        while not done.wait(0.02):
            peak[0] = max(peak[0], tree_rss_kb(process.pid))
            if time.perf_counter() - started > cap and not capped[0]:
                capped[0] = True
                end_process_tree(descendants(process.pid))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - started
    done.set()
    sampler.join()
    process.returncode = os.waitstatus_to_exitcode(status)  # reaped here, for its CPU time
    return seconds, usage.ru_utime + usage.ru_stime, peak[0] / 1024, capped[0]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--before", metavar="PYTHON", help="an interpreter whose vornel is the older build")
    parser.add_argument("--rounds", type=int, default=1, help="turns of every build (default 1)")
    parser.add_argument("--cap", type=float, default=300, help="seconds after which a run is ended (default 300)")
    args = parser.parse_args(argv)
    builds = {"after": sys.executable, **({"before": args.before} if args.before else {})}
    BUILD.mkdir(parents=True, exist_ok=True)
    rows = []
    for number, (name, build, extra) in enumerate(cases()):
        archive = BUILD / f"hostile-{number}.warc.gz"
        if not archive.exists():
            build().save(archive)
        best = {}
        for _ in range(args.rounds):
            for label, python in reversed(builds.items()):  # the older build first
                print(f"{name}: {label} ...", file=sys.stderr, flush=True)
                seconds, cpu, peak, capped = run_case(python, archive, extra, args.cap)
                old = best.get(label)
                if old is None or seconds < old[0]:
                    best[label] = (seconds, cpu, max(peak, old[2] if old else 0), capped)
                else:
                    best[label] = (*old[:2], max(peak, old[2]), old[3])
        rows += [(name, archive.stat().st_size, label, *best[label]) for label in reversed(builds)]
    print(f"\n{'case':<44} {'archive':>8} {'build':<7} {'seconds':>8} {'CPU s':>7} {'peak MB':>8}")
    for name, size, label, seconds, cpu, peak, capped in rows:
        shown = f">{seconds:.0f}" if capped else f"{seconds:.1f}"
        print(f"{name:<44} {size:>8,} {label:<7} {shown:>8} {cpu:>7.1f} {peak:>8.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
