"""Time `vornel warc` on a generated web archive against its floors and the loops users write today.

    .venv/bin/pip install '.[bench]'
    .venv/bin/python bench/bench_warc.py                        # 5,000 records, every contender
    .venv/bin/python bench/bench_warc.py --records 1000 --skip warcio
    .venv/bin/python bench/bench_warc.py --memory-gb 1 --rounds 1   # peak memory over a 1 GB archive
    .venv/bin/python bench/bench_warc.py --before OLD/bin/python   # also an older build of vornel, in turns

The archive holds one gzip-compressed response record per page, cycling through the corpus pages
(`../shared/corpus/pages`, else `examples/pages`); it is written once into build/bench and reused.
Each contender runs in a process of its own, so that its peak resident memory is its own: the sum
over the process and all its descendants (pool workers, Dask workers), sampled every 20 ms; its
CPU time is its own and that of its descendants as last sampled. The
Dask contender's cluster is started before its clock runs. The contenders take turns for
`--rounds` rounds and each keeps its best time, so that a slow spell of a shared machine does not
land on one contender alone.
"""

import argparse
import io
import json
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(Path(__file__).resolve().parent))

from pages import find_pages  # noqa: E402

BUILD = ROOT / "build" / "bench"
TARGETS = """targets: --jobs 2 >= 1.7x the pages/s of --jobs 1; --jobs 1 <= 1.3x the time of the plain loop;
         --jobs 1 >= 15x the pages/s of warcio + BeautifulSoup; peak memory over 1 GB < 300 MB"""


def build_archive(records, path):
    """Writes `records` response records made from the corpus pages; reuses an earlier one."""
    if path.exists():
        return path
    from warcio.statusandheaders import StatusAndHeaders
    from warcio.warcwriter import WARCWriter

    pages = [page.read_bytes() for _, page in find_pages()]
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        writer = WARCWriter(out, gzip=True)
        for number in range(records):
            body = pages[number % len(pages)]
            http = StatusAndHeaders("200 OK", [("Content-Type", "text/html"), ("Content-Length", str(len(body)))],
                                    protocol="HTTP/1.1")
            writer.write_record(writer.create_warc_record(
                f"https://site{number % 97}.example/page/{number}", "response", payload=io.BytesIO(body),
                length=len(body), http_headers=http))
    partial.rename(path)
    return path


def tree_rss_kb(pid, cpu=None):
    """Resident memory of a process and all its descendants, in KiB, from /proc; with `cpu`, a dict,
    also the CPU seconds each descendant has used so far."""
    total, todo = 0, [pid]
    while todo:
        current = todo.pop()
        try:
            with open(f"/proc/{current}/status") as status:
                total += next((int(line.split()[1]) for line in status if line.startswith("VmRSS:")), 0)
            if cpu is not None and current != pid:
                with open(f"/proc/{current}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
                cpu[current] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            for task in os.listdir(f"/proc/{current}/task"):  # children are listed by the thread that made them
                with open(f"/proc/{current}/task/{task}/children") as children:
                    todo += [int(child) for child in children.read().split()]
        except (FileNotFoundError, ProcessLookupError):
            continue
    return total


def run_contender(name, archive):
    """Runs in the contender's own process: prints {pages, seconds, peak_rss_mb} as JSON."""
    import tempfile

    import warc_contenders

    import resource

    peak = [0]
    cpu: dict[int, float] = {}  # of the descendants (workers, a fork server), as last sampled
    done = threading.Event()

    def sample():
        while not done.wait(0.02):
            peak[0] = max(peak[0], tree_rss_kb(os.getpid(), cpu))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    run = warc_contenders.CONTENDERS[name]
    with tempfile.TemporaryDirectory() as scratch:
        started = time.perf_counter()
        pages = run(archive, Path(scratch))
        seconds = getattr(run, "seconds", None) or time.perf_counter() - started
    done.set()
    sampler.join()
    own = resource.getrusage(resource.RUSAGE_SELF)
    cpu_seconds = own.ru_utime + own.ru_stime + sum(cpu.values())
    print(json.dumps({"pages": pages, "seconds": seconds, "cpu_seconds": cpu_seconds, "peak_rss_mb": peak[0] / 1024}))


BEFORE = " (before)"


def measure(name, archive, before=None):
    """Runs a contender in a process of its own; a name ending in BEFORE runs under `before`, an
    interpreter whose vornel is an older build."""
    print(f"running {name} ...", file=sys.stderr, flush=True)
    python = before if name.endswith(BEFORE) else sys.executable
    result = subprocess.run([python, __file__, "--contender", name.removesuffix(BEFORE), str(archive)],
                            capture_output=True, text=True)
    if result.returncode != 0:
        print(result.stderr, file=sys.stderr)
        return None
    return json.loads(result.stdout.splitlines()[-1])


def best_of_rounds(names, archive, rounds, before=None):
    """Each contender's fastest run over `rounds` turns, with the highest peak memory of its runs."""
    best = {name: None for name in names}
    for _ in range(rounds):
        for name in names:
            result = measure(name, archive, before)
            if result is None:
                continue
            if best[name] is None or result["seconds"] < best[name]["seconds"]:
                peak = max(result["peak_rss_mb"], best[name]["peak_rss_mb"] if best[name] else 0)
                best[name] = {**result, "peak_rss_mb": peak}
            else:
                best[name]["peak_rss_mb"] = max(best[name]["peak_rss_mb"], result["peak_rss_mb"])
    return best


def print_table(results, records, archive, rounds):
    size = archive.stat().st_size / (1 << 20)
    print(f"\n{records:,} records, {size:,.0f} MB gzip-compressed, {os.cpu_count()} cores, CPython "
          f"{sys.version.split()[0]}, best of {rounds} round{'s' if rounds != 1 else ''}\n")
    print(f"{'contender':<52} {'pages':>7} {'seconds':>8} {'pages/s':>9} {'CPU ms/page':>11} {'peak MB':>8}")
    for name, result in results.items():
        if result is not None:
            print(f"{name:<52} {result['pages']:>7,} {result['seconds']:>8.2f} "
                  f"{result['pages'] / result['seconds']:>9,.1f} "
                  f"{1000 * result['cpu_seconds'] / max(result['pages'], 1):>11.3f} {result['peak_rss_mb']:>8.0f}")

    def rate(name):
        result = results.get(name)
        return result["pages"] / result["seconds"] if result else None

    one, two, plain, soup = (rate("vornel --jobs 1"), rate("vornel --jobs 2"),
                             rate("plain loop: read + decode + summary"), rate("warcio + BeautifulSoup (lxml)"))
    print()
    if one and two:
        print(f"--jobs 2 / --jobs 1 pages/s:                  {two / one:.2f}x  (target >= 1.7x)")
    if one and plain:
        print(f"--jobs 1 time / plain loop time:              {plain / one:.2f}x  (target <= 1.3x)")
    if one and soup:
        print(f"--jobs 1 / warcio + BeautifulSoup pages/s:    {one / soup:.1f}x  (target >= 15x)")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=TARGETS)
    parser.add_argument("--records", type=int, default=5000, help="records in the archive (default 5000)")
    parser.add_argument("--skip", action="append", default=[], metavar="WORD",
                        help="leave out the contenders whose name holds WORD (repeatable)")
    parser.add_argument("--rounds", type=int, default=3, help="turns of every contender; the best counts (default 3)")
    parser.add_argument("--before", metavar="PYTHON",
                        help="also run the vornel contenders under PYTHON, whose vornel is an older build, in turns")
    parser.add_argument("--memory-gb", type=float, metavar="GB",
                        help="instead: peak memory of vornel --jobs 1 and 2 over an archive of about GB gigabytes")
    parser.add_argument("--contender", help=argparse.SUPPRESS)
    parser.add_argument("archive", nargs="?", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    if args.contender:
        run_contender(args.contender, Path(args.archive))
        return 0
    import warc_contenders

    names = [name for name in warc_contenders.CONTENDERS if not any(word in name for word in args.skip)]
    records = args.records
    if args.memory_gb:
        average = sum(page.stat().st_size for _, page in find_pages()) / len(find_pages())
        records = int(args.memory_gb * (1 << 30) / (average * 0.17))  # pages compress to about a sixth
        names = ["vornel --jobs 1", "vornel --jobs 2"]
    if args.before:
        names += [name + BEFORE for name in names if name.startswith("vornel --jobs")]
    archive = build_archive(records, BUILD / f"corpus-{records}.warc.gz")
    results = best_of_rounds(names, archive, args.rounds, args.before)
    print_table(results, records, archive, args.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
