"""Time `vornel warc` on a generated web archive against its floors and the loops users write today.

    .venv/bin/pip install '.[bench]'
    .venv/bin/python bench/bench_warc.py                        # 5,000 records, every contender
    .venv/bin/python bench/bench_warc.py --records 1000 --skip warcio
    .venv/bin/python bench/bench_warc.py --memory-gb 1 --rounds 1   # peak memory over a 1 GB archive
    .venv/bin/python bench/bench_warc.py --before DIR           # also vornel as built into DIR/vornel

The archive holds one gzip-compressed response record per page, cycling through the corpus pages
(`../shared/corpus/pages`, else `examples/pages`); it is written once into build/bench and reused.
Each contender runs in a process of its own, so that its peak resident memory is its own: the sum
over the process and all its descendants (pool workers, Dask workers), sampled every 20 ms; its
CPU time is summed over the same processes. The Dask contender's cluster is started before its
clocks run. The contenders take turns for `--rounds` rounds and each keeps its best time, so that
a slow spell of a shared machine does not land on one contender alone. DIR (for --before) holds
another build of vornel, such as `pip install --no-deps --target DIR .` makes from another commit;
its contenders import vornel from there.
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
from process_tree import tree_cpu_seconds, tree_rss_kb  # noqa: E402

BUILD = ROOT / "build" / "bench"
TARGETS = """targets: --jobs 1 >= 1.5x the pages/s of the build before (--before) and >= 0.8x the pages per CPU
         second of "read + LexborHTMLParser(bytes)"; --jobs 2 >= 1.7x the pages/s of --jobs 1; Dask's CPU
         per page <= 1.2x that of --jobs 2; --jobs 1 >= 15x the pages/s of warcio + BeautifulSoup; peak
         memory over 1 GB < 300 MB (Parquet too); a Parquet file at most 1.1x the time of a JSON Lines
         file; a --url filter that keeps 1% >= 10x the records/s of the unfiltered file"""
BEFORE = "before: "  # the names of the contenders that run the build of --before
DASK = "vornel on Dask (2 workers x 1 thread)"
DASK_WITHOUT_TRIM = "vornel on Dask, no MALLOC_TRIM_THRESHOLD_"
BYTES_FLOOR = "floor: read + LexborHTMLParser(bytes)"
JSONL_FILE = "vornel --jobs 1, JSON Lines file"
PARQUET_FILE = "vornel --jobs 1, Parquet file"
FILTERED = "vornel --jobs 1, --url keeping 1% (records)"


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


def run_contender(name, archive):
    """Runs in the contender's own process: prints {pages, seconds, cpu_seconds, peak_rss_mb} as JSON."""
    import tempfile

    import warc_contenders

    peak = [0]
    done = threading.Event()

    def sample():
        while not done.wait(0.02):
            peak[0] = max(peak[0], tree_rss_kb(os.getpid()))

    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    run = warc_contenders.CONTENDERS[name.removeprefix(BEFORE)]
    with tempfile.TemporaryDirectory() as scratch:
        started, cpu = time.perf_counter(), tree_cpu_seconds(os.getpid())
        pages = run(archive, Path(scratch))
        seconds = getattr(run, "seconds", None) or time.perf_counter() - started
        cpu_seconds = getattr(run, "cpu_seconds", None) or tree_cpu_seconds(os.getpid()) - cpu
    done.set()
    sampler.join()
    print(json.dumps({"pages": pages, "seconds": seconds, "cpu_seconds": cpu_seconds, "peak_rss_mb": peak[0] / 1024,
                      "output_mb": getattr(run, "output_bytes", 0) / (1 << 20)}))


def measure(name, archive, before=None):
    print(f"running {name} ...", file=sys.stderr, flush=True)
    environment = dict(os.environ)
    if name.startswith(BEFORE):  # its workers import vornel from there too
        environment["PYTHONPATH"] = os.pathsep.join(filter(None, [before, environment.get("PYTHONPATH")]))
    result = subprocess.run([sys.executable, __file__, "--contender", name, str(archive)], capture_output=True,
                            text=True, env=environment)
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
    print(f"{'contender':<46} {'pages':>7} {'seconds':>8} {'pages/s':>9} {'CPU s':>7} {'pages/CPU s':>11} "
          f"{'peak MB':>8} {'out MB':>7}")
    for name, result in results.items():
        if result is not None:
            output = f"{result['output_mb']:>7.1f}" if result.get("output_mb") else ""
            print(f"{name:<46} {result['pages']:>7,} {result['seconds']:>8.2f} "
                  f"{result['pages'] / result['seconds']:>9,.1f} {result['cpu_seconds']:>7.2f} "
                  f"{result['pages'] / result['cpu_seconds']:>11,.1f} {result['peak_rss_mb']:>8.0f} {output}")

    def rate(name, clock="seconds"):
        result = results.get(name)
        return result["pages"] / result[clock] if result else None

    one, two, plain, soup, before = (rate("vornel --jobs 1"), rate("vornel --jobs 2"),
                                     rate("plain loop: read + decode + summary"), rate("warcio + BeautifulSoup (lxml)"),
                                     rate(BEFORE + "vornel --jobs 1"))
    one_cpu, two_cpu, floor_cpu = (rate("vornel --jobs 1", "cpu_seconds"), rate("vornel --jobs 2", "cpu_seconds"),
                                   rate(BYTES_FLOOR, "cpu_seconds"))
    print()
    if one and before:
        print(f"--jobs 1 / before --jobs 1 pages/s:            {one / before:.2f}x  (target >= 1.5x)")
    if one_cpu and floor_cpu:
        print(f"--jobs 1 / bytes-parse floor pages per CPU s:  {one_cpu / floor_cpu:.2f}x  (target >= 0.8x)")
    if one and two:
        print(f"--jobs 2 / --jobs 1 pages/s:                   {two / one:.2f}x  (target >= 1.7x)")
    for name, label in ((DASK, "as Dask starts them"), (DASK_WITHOUT_TRIM, "no MALLOC_TRIM_THRESHOLD_")):
        dask_cpu = rate(name, "cpu_seconds")
        if two_cpu and dask_cpu:
            print(f"Dask / --jobs 2 CPU per page, {label + ':':<27} {two_cpu / dask_cpu:.2f}x  (target <= 1.2x)")
    if one and plain:
        print(f"--jobs 1 time / plain loop time:               {plain / one:.2f}x  (target <= 1.3x)")
    if one and soup:
        print(f"--jobs 1 / warcio + BeautifulSoup pages/s:     {one / soup:.1f}x  (target >= 15x)")
    jsonl, parquet, filtered = rate(JSONL_FILE), rate(PARQUET_FILE), rate(FILTERED)
    jsonl_cpu, parquet_cpu = rate(JSONL_FILE, "cpu_seconds"), rate(PARQUET_FILE, "cpu_seconds")
    if jsonl and parquet:
        print(f"Parquet file / JSON Lines file time:           {jsonl / parquet:.2f}x wall, "
              f"{jsonl_cpu / parquet_cpu:.2f}x CPU  (target <= 1.1x); "
              f"{results[PARQUET_FILE]['output_mb']:.1f} MB against {results[JSONL_FILE]['output_mb']:.1f} MB")
    if jsonl and filtered:
        print(f"--url keeping 1% / unfiltered records/s:       {filtered / jsonl:.1f}x  (target >= 10x)")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=TARGETS)
    parser.add_argument("--records", type=int, default=5000, help="records in the archive (default 5000)")
    parser.add_argument("--skip", action="append", default=[], metavar="WORD",
                        help="leave out the contenders whose name holds WORD (repeatable)")
    parser.add_argument("--rounds", type=int, default=3, help="turns of every contender; the best counts (default 3)")
    parser.add_argument("--before", metavar="DIR",
                        help="also time the vornel built into DIR/vornel, in the same rounds")
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

    names = list(warc_contenders.CONTENDERS)
    if args.before:
        names = [BEFORE + "vornel --jobs 1", BEFORE + "vornel --jobs 2", *names]
    names = [name for name in names if not any(word in name for word in args.skip)]
    records = args.records
    if args.memory_gb:
        average = sum(page.stat().st_size for _, page in find_pages()) / len(find_pages())
        records = int(args.memory_gb * (1 << 30) / (average * 0.17))  # pages compress to about a sixth
        names = ["vornel --jobs 1", "vornel --jobs 2", PARQUET_FILE]
        names = [name for name in names if not any(word in name for word in args.skip)]
    archive = build_archive(records, BUILD / f"corpus-{records}.warc.gz")
    results = best_of_rounds(names, archive, args.rounds, args.before and str(Path(args.before).resolve()))
    print_table(results, records, archive, args.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
