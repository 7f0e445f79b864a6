"""The `vornel` command as a person uses it: the progress bar on a terminal, the quiet and piped
modes, help and usage errors, Ctrl-C, and `vornel page`."""

import fcntl
import gzip
import importlib.util
import json
import os
import signal
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest

from bench.process_tree import alive, descendants, end_process_tree
from helpers import ROOT
from helpers.crawl_archives import (SHARED_ARCHIVE_PAGES, Archive, busy_worker, gzipped_twice, hostile_archive,
                                    html_page, json_lines, long_images, many_pages, ordinary_and_hostile,
                                    unclosed_divs, vornel, warc, workers_of)
from helpers.pages import SAMPLE_PAGE

PAGES = SHARED_ARCHIVE_PAGES  # in the `archive` fixture


def run_on_terminal(tmp_path, *args):
    """Runs vornel with standard error on a pseudo-terminal; returns (status, stdout, what the terminal got)."""
    terminal, child_side = os.openpty()
    fcntl.ioctl(child_side, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 160, 0, 0))  # 160 columns, as a window has
    with open(tmp_path / "stdout", "wb") as stdout:  # a file: a full pipe would stall the child
        process = subprocess.Popen([sys.executable, "-m", "vornel", *map(str, args)], stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=child_side)
    os.close(child_side)
    screen = b""
    while True:
        try:
            data = os.read(terminal, 65536)
        except OSError:  # EIO: the child side is closed
            break
        if not data:
            break
        screen += data
    os.close(terminal)
    return process.wait(timeout=120), (tmp_path / "stdout").read_bytes(), screen.decode()


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_terminal_gets_a_progress_bar_and_standard_output_only_json(archive, jobs, tmp_path):
    status, stdout, screen = run_on_terminal(tmp_path, "warc", archive, "--jobs", jobs, "--slice-size", "64K")
    assert status == 0
    assert len(json_lines(stdout)) == PAGES
    assert "\r" in screen and "100%|" in screen  # a bar redrawn in place, up to the end
    assert f"records {2 * PAGES} · pages {PAGES} · " in screen and " pages/s · errors 0" in screen
    assert f"vornel: 1 input, {2 * PAGES} records read in" in screen and f"pages summarised  {PAGES} (" in screen


def test_quiet_on_a_terminal_prints_nothing_but_the_json(archive, tmp_path):
    status, stdout, screen = run_on_terminal(tmp_path, "warc", archive, "--quiet")
    assert status == 0 and len(json_lines(stdout)) == PAGES and screen == ""


def test_without_a_terminal_there_is_the_report_but_no_bar(archive):
    result = warc(archive)
    assert result.returncode == 0 and len(json_lines(result.stdout)) == PAGES
    report = result.stderr.decode()
    assert "\r" not in report and "%|" not in report
    assert report.splitlines() == [
        report.splitlines()[0],
        report.splitlines()[1],
        f"  records skipped   {PAGES} (not a response {PAGES}, revisit 0, status not 2xx 0, not HTML 0)",
        "  errors            0",
    ]


@pytest.mark.parametrize("args, message", [
    ([], "the following arguments are required: COMMAND"),
    (["warc"], "the following arguments are required: INPUT"),
    (["warc", "a.warc", "--jobs", "0"], "not a positive whole number: '0'"),
    (["warc", "a.warc", "--slice-size", "big"], "not a size: 'big'"),
    (["warc", "a.warc", "--scheduler", "tcp://127.0.0.1:1"], "--scheduler needs -o OUT"),
    (["warc", "a.warc", "--scheduler", "tcp://127.0.0.1:1", "-o", "out", "--jobs", "2"], "--jobs has no effect"),
    (["warc", "-", "--scheduler", "tcp://127.0.0.1:1", "-o", "out"], "cannot read standard input"),
    (["page", "only-a-file"], "the following arguments are required: URL"),
    (["crawl"], "invalid choice: 'crawl'"),
    (["warc", "a.warc", "--slice-size", "1"], "a slice of '1' is too small (at least 1K)"),
    (["warc", "a.warc", "--page-timeout", "0"], "not a number of seconds: '0'"),
    (["warc", "a.warc", "--page-timeout", "nan"], "not a number of seconds: 'nan'"),
    (["warc", "a.warc", "--worker-memory", "1M"], "'1M' is too little for a worker (at least 256M)"),
    (["page", "a.html", "https://example.com/", "--encoding", "klingon"], "not a character set: 'klingon'"),
    (["warc", "a.warc", "--status", "2yy"], "not an HTTP status or class: '2yy'"),
    (["warc", "a.warc", "--mime", "nohtml"], "not a media type: 'nohtml'"),
    (["warc", "a.warc", "--url", "("], "not a regular expression: '('"),
])
def test_usage_errors_exit_with_2_and_say_what_is_wrong(args, message):
    result = vornel(*args)
    assert result.returncode == 2
    assert message in result.stderr.decode() and b"Traceback" not in result.stderr


@pytest.mark.parametrize("args, option, size", [
    (["--slice-size", "8M"], "slice_size", 8 << 20),
    (["--slice-size", "512k"], "slice_size", 512 << 10),
    (["--slice-size", "3 MiB"], "slice_size", 3 << 20),
    (["--slice-size", "1G"], "slice_size", 1 << 30),
    (["--slice-size", "2048"], "slice_size", 2048),
    (["--worker-memory", "300MB"], "worker_memory", 300 << 20),
    (["--worker-memory", "2g"], "worker_memory", 2 << 30),
], ids=["8M", "512k", "3 MiB", "1G", "bytes", "300MB", "2g"])
def test_sizes_are_read_with_their_units(args, option, size):
    from vornel.cli import build_parser

    assert getattr(build_parser().parse_args(["warc", "a.warc", *args]), option) == size


def test_help_names_the_commands_and_the_output_format():
    overview = vornel("--help").stdout.decode()
    assert "page" in overview and "warc" in overview
    help_text = vornel("warc", "--help").stdout.decode()
    for words in ("--jobs", "--scheduler", "--quiet", "--strict", "--page-timeout", "--worker-memory",
                  "warc_record_id", "warc_record_offset", "ARC",
                  "exit status", "examples:"):
        assert words in help_text
    import vornel as package
    assert vornel("--version").stdout.decode() == f"vornel {package.__version__}\n"


def test_importing_the_main_module_runs_nothing():
    """As tools that import every module of the package do (python -m mypy.stubtest vornel)."""
    result = subprocess.run([sys.executable, "-c", "import vornel.__main__; print('imported')"], capture_output=True,
                            timeout=60)
    assert (result.returncode, result.stdout) == (0, b"imported\n")


def test_the_console_script_is_installed():
    script = os.path.join(os.path.dirname(sys.executable), "vornel")
    result = subprocess.run([script, "page", str(SAMPLE_PAGE), "https://harbourlights.example/"],
                            capture_output=True, timeout=60)
    assert result.returncode == 0 and json.loads(result.stdout)["title"]


def test_vornel_page_prints_what_the_example_prints():
    example = subprocess.run([sys.executable, str(ROOT / "examples" / "summarize_page.py")], capture_output=True,
                             timeout=60)
    page = vornel("page", SAMPLE_PAGE, "https://harbourlights.example/")
    assert page.returncode == 0 and page.stdout == example.stdout
    from_stdin = vornel("page", "-", "https://harbourlights.example/", input=SAMPLE_PAGE.read_bytes())
    assert from_stdin.stdout == example.stdout


EXAMPLE_PAGES = ROOT / "examples" / "pages"


@pytest.mark.parametrize("page, options, title", [
    ("menu-windows-1252.html", [], "Carte du jour — Crêperie du Port"),  # guessed from its bytes
    ("tokyo-shift_jis.html", [], "港のパン屋 東京支店"),  # declared in a <meta> tag
    ("menu-windows-1252.html", ["--encoding", "latin1"], "Carte du jour — Crêperie du Port"),  # a WHATWG label
    ("menu-windows-1252.html", ["--encoding", "utf-8"], "Carte du jour \ufffd Cr\ufffdperie du Port"),
])
def test_vornel_page_decodes_a_page_as_vornel_warc_does(page, options, title):
    for args, data in ([EXAMPLE_PAGES / page], None), (["-"], (EXAMPLE_PAGES / page).read_bytes()):
        result = vornel("page", *args, "https://harbourlights.example/", *options, input=data)
        assert result.returncode == 0 and json.loads(result.stdout)["title"] == title


@pytest.mark.parametrize("args, message", [
    (["missing.html", "https://example.com/"], "vornel: missing.html: No such file or directory"),
    ([str(SAMPLE_PAGE), "http://[oops"], "vornel: http://[oops: Invalid IPv6 URL"),
])
def test_vornel_page_reports_a_bad_file_or_url_without_a_traceback(args, message):
    result = vornel("page", *args)
    assert result.returncode == 1 and result.stderr.decode().strip() == message


STOPS = {signal.SIGINT: (130, "interrupted"), signal.SIGTERM: (143, "terminated")}


def lines_in(folder, pattern):
    """The whole lines of the file matching `pattern` in `folder` (an output being written)."""
    files = list(folder.glob(pattern))
    return files[0].read_bytes().count(b"\n") if files else 0


@pytest.mark.parametrize("stop", STOPS)
def test_a_signal_ends_with_its_status_keeping_the_lines_so_far(tmp_path, stop):
    archive = Archive(compress=False)
    for number in range(5):
        archive.response(f"https://example.com/{number}", html_page(f"page {number}").encode())
    out = tmp_path / "out.jsonl"
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", "-", "-o", out], stdin=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    try:
        process.stdin.write(archive.data())
        process.stdin.flush()  # and keep the pipe open: vornel reads the five records, then waits for more
        deadline = time.monotonic() + 60
        while lines_in(tmp_path, "out.jsonl.*.partial") < 5:  # written under a temporary name
            assert time.monotonic() < deadline
            time.sleep(0.05)
        process.send_signal(stop)
        status = process.wait(timeout=60)
    finally:
        process.kill() if process.poll() is None else None
        process.stdin.close()
    errors = process.stderr.read().decode()
    process.stderr.close()
    assert (status, errors) == (STOPS[stop][0], f"vornel: {STOPS[stop][1]}\n")
    assert [line["url"] for line in json_lines(out.read_bytes())] == [f"https://example.com/{n}" for n in range(5)]
    assert list(tmp_path.iterdir()) == [out]


def read_lines(stream, into):
    for line in stream:
        into.append(line)


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
@pytest.mark.parametrize("output", ["pipe", "out.jsonl.gz"])
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL, "ctrl-c"])
def test_a_signal_to_vornel_leaves_no_process_of_the_job_behind(tmp_path, stop, output):
    """Its workers end with it, even when it is killed outright, so a reader of its output (as in
    `vornel warc ... | wc -l`) sees the end at once; what was written is whole lines. Ctrl-C at a
    terminal reaches the workers too (SIGINT to the whole process group): they leave it to the job."""
    # Pages of minutes each: the workers must not outlive the job by finishing them.
    archive, urls = ordinary_and_hostile(unclosed_divs(400_000), before=40, after=0)
    for number in range(3):  # more of them, so that both workers are busy
        data, headers = gzipped_twice(unclosed_divs(400_000))
        archive.response(f"https://example.com/slow/{number}", data, headers=headers)
    path = archive.save(tmp_path / "slow.warc.gz")
    target = tmp_path / output
    args = [] if output == "pipe" else ["-o", target]
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", path, "--jobs", "2", "--slice-size", "4K",
                                *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, process_group=0)
    received = []
    reader = threading.Thread(target=read_lines, args=(process.stdout, received))
    reader.start()
    tree = [process.pid]
    try:
        busy_worker(process.pid, 1.0)  # in a slow page: the ordinary pages before it are written
        tree = descendants(process.pid)
        assert len(workers_of(process.pid)) == 2
        if stop == "ctrl-c":
            os.killpg(process.pid, signal.SIGINT)
            stop = signal.SIGINT
        else:
            process.send_signal(stop)
        status = process.wait(timeout=60)
        reader.join(timeout=10)
        deadline = time.monotonic() + 10
        while any(map(alive, tree)):
            assert time.monotonic() < deadline, [pid for pid in tree if alive(pid)]
            time.sleep(0.1)
        assert not reader.is_alive()  # standard output reached its end: no one holds it any more
    finally:
        end_process_tree(tree)
        reader.join(timeout=30)
        process.stdout.close()
        errors = process.stderr.read()
        process.stderr.close()
    assert status == STOPS.get(stop, (-stop,))[0]
    assert errors.decode() == (f"vornel: {STOPS[stop][1]}\n" if stop in STOPS else "")
    if output == "pipe":
        lines = b"".join(received)
    elif stop == signal.SIGKILL:  # killed outright: the file is not put in place
        assert not target.exists()
        return
    else:
        lines = gzip.decompress(target.read_bytes())  # whole, with its trailer
    kept = [line["url"] for line in json_lines(lines)]
    assert len(kept) >= 20 and kept == urls[:len(kept)]


@pytest.mark.skipif(not os.path.exists("/proc/self/wchan"), reason="needs Linux's /proc")
@pytest.mark.parametrize("stop", STOPS)
def test_a_reader_that_stops_reading_does_not_keep_vornel_from_stopping(archive, stop):
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", archive, "--jobs", "1"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)  # standard output never read
    tree = [process.pid]
    try:
        deadline = time.monotonic() + 60
        while "pipe_write" not in open(f"/proc/{process.pid}/wchan").read():  # the pipe is full
            assert time.monotonic() < deadline
            time.sleep(0.05)
        tree = descendants(process.pid)
        process.send_signal(stop)
        began = time.monotonic()
        status = process.wait(timeout=60)
        assert time.monotonic() - began < 30
        while any(map(alive, tree)):  # the rest of the tree follows at once
            assert time.monotonic() - began < 30
            time.sleep(0.05)
    finally:
        end_process_tree(tree)
        process.stdout.close()
        errors = process.stderr.read().decode()
        process.stderr.close()
    assert (status, errors) == (STOPS[stop][0], f"vornel: {STOPS[stop][1]}\n")


@pytest.mark.parametrize("unbuffered", [False, True])  # PYTHONUNBUFFERED: a write may take part of its bytes
@pytest.mark.parametrize("lines", ["many", "one of 200 KB"])
def test_a_closed_standard_output_ends_the_run_quietly(archive, tmp_path, lines, unbuffered):
    if lines != "many":  # more than a pipe holds, in one write
        archive = hostile_archive(long_images(1, 200_000), before=0, after=0).save(tmp_path / "long.warc.gz")
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    env.update({"PYTHONUNBUFFERED": "1"} if unbuffered else {})
    process = subprocess.Popen(["bash", "-c", f"set -o pipefail; {sys.executable} -m vornel warc {archive} "
                                              f"--jobs 2 --slice-size 16K | head -c 10"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    stdout, stderr = process.communicate(timeout=120)
    assert (len(stdout), stderr, process.returncode) == (10, b"", 1)  # quiet, and not taken for a success


def test_a_local_run_imports_nothing_of_dask_and_import_vornel_nothing_of_the_crawl(archive):
    check = ("import sys, vornel; assert 'vornel.crawl' not in sys.modules\n"
             "from vornel.cli import main\n"
             f"status = main(['warc', {str(archive)!r}, '--jobs', '2', '-q', '-o', {os.devnull!r}])\n"
             "assert status == 0 and not {'distributed', 'dask', 'fsspec', 'pyarrow'} & set(sys.modules), "
             "sys.modules.keys()")
    result = subprocess.run([sys.executable, "-c", check], capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()


@pytest.mark.parametrize("target, message", [
    ("missing-folder/out.jsonl", "No such file or directory"),
    ("/dev/full", "No space left on device"),
    (None, "No space left on device"),  # standard output on /dev/full
])
def test_an_output_that_cannot_be_written_is_named_once(archive, tmp_path, target, message):
    if not os.path.exists("/dev/full") and target != "missing-folder/out.jsonl":
        pytest.skip("no /dev/full here")
    args = (archive, "--quiet", "--jobs", "2", "--slice-size", "64K")
    if target is None:
        with open("/dev/full", "wb") as full:
            result = subprocess.run([sys.executable, "-m", "vornel", "warc", *map(str, args)], stdout=full,
                                    stderr=subprocess.PIPE, timeout=120)
        target = "standard output"
    else:
        target = target if target.startswith("/") else str(tmp_path / target)
        result = warc(*args, "-o", target)
    assert result.returncode == 1
    assert result.stderr.decode() == f"vornel: {target}: {message}\n"


@pytest.mark.parametrize("how", ["stdin-first-read-of-1-byte", "fifo", "process-substitution", "zcat-substitution"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_pipes_and_fifos_are_read_in_one_pass(archive, tmp_path, how, jobs):
    """Any input that is not a regular file is read like standard input, whatever its first read holds."""
    expected = warc(archive, "--jobs", "1", "-q").stdout
    command = f"{sys.executable} -m vornel warc --jobs {jobs} -q --slice-size 64K"
    if how == "stdin-first-read-of-1-byte":
        script = f"(head -c 1 {archive}; sleep 0.5; tail -c +2 {archive}) | {command} -"
    elif how == "fifo":
        os.mkfifo(tmp_path / "fifo")
        script = f"cat {archive} > {tmp_path / 'fifo'} & {command} {tmp_path / 'fifo'}; wait"
    elif how == "process-substitution":
        script = f"{command} <(cat {archive})"
    else:
        script = f"{command} <(zcat {archive})"
    result = subprocess.run(["bash", "-c", script], capture_output=True, timeout=120)
    assert result.returncode == 0 and result.stderr == b""

    def pages(output):  # the locator differs: another name, and offsets in the inflated stream for zcat
        return [(line["url"], line["warc_record_id"], line["summary"]) for line in json_lines(output)]

    assert pages(result.stdout) == pages(expected) and len(pages(expected)) == PAGES


@pytest.mark.parametrize("link", ["same path", "hard link", "symbolic link", "standard output", "standard input"])
def test_an_output_that_is_an_input_is_refused_and_left_alone(archive, tmp_path, link):
    original = archive.read_bytes()
    source = tmp_path / "crawl.warc.gz"
    source.write_bytes(original)
    output, stdin, stdout = tmp_path / "out.warc.gz", None, None
    if link == "same path":
        output = source
    elif link == "hard link":
        os.link(source, output)
    elif link == "symbolic link":
        output.symlink_to(source)
    args = [source, "-o", output]
    if link == "standard output":  # vornel warc crawl.warc.gz >> crawl.warc.gz
        args, stdout = [source], open(source, "ab")
    elif link == "standard input":  # vornel warc - -o crawl.warc.gz < crawl.warc.gz
        args, stdin, output = ["-", "-o", source], open(source, "rb"), source
    try:
        result = subprocess.run([sys.executable, "-m", "vornel", "warc", *map(str, args)], stdin=stdin,
                                stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    finally:
        for stream in (stdin, stdout):
            stream.close() if stream else None
    assert result.returncode == 2
    named = "standard output" if link == "standard output" else output
    shown = "standard input" if link == "standard input" else source
    assert result.stderr.decode() == (f"vornel: {named}: is also an input ({shown}): writing it would destroy what is "
                                      "to be read\n")
    assert source.read_bytes() == original


@pytest.mark.parametrize("case", ["complete", "nothing read", "interrupted"])
def test_an_old_output_stays_whole_until_a_new_one_is_complete(archive, tmp_path, case):
    out = tmp_path / "pages.jsonl"
    out.write_bytes(b'{"old": true}\n')
    out.chmod(0o640)
    if case == "complete":
        result = warc(archive, "-o", out, "-q")
        assert result.returncode == 0 and len(json_lines(out.read_bytes())) == PAGES
        assert out.stat().st_mode & 0o777 == 0o640 and os.listdir(tmp_path) == [out.name]
        return
    if case == "nothing read":
        result = warc(tmp_path / "missing.warc.gz", "-o", out, "-q")
        assert result.returncode == 1 and out.read_bytes() == b'{"old": true}\n'
        assert os.listdir(tmp_path) == [out.name]
        return
    first = many_pages(10).save(tmp_path / "first.warc.gz")  # written in full before the slow page starts
    slow = ordinary_and_hostile(unclosed_divs(60_000), before=0, after=0)[0].save(tmp_path / "slow.warc.gz")
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", first, slow, "-o", out, "--jobs", "1"],
                               stderr=subprocess.PIPE)
    try:
        busy_worker(process.pid, 1.0)
        process.terminate()
        errors = process.communicate(timeout=60)[1].decode()
    finally:
        end_process_tree([process.pid])
    assert process.returncode == 143 and out.read_bytes() == b'{"old": true}\n'
    kept = list(tmp_path.glob("pages.jsonl.vornel-*.partial"))
    assert len(kept) == 1 and len(json_lines(kept[0].read_bytes())) == 10
    assert errors == f"vornel: {out}: left as it was; the lines written so far are in {kept[0]}\nvornel: terminated\n"


@pytest.mark.parametrize("url, message", [
    ("s3://bucket/crawl.warc.gz", "s3:// URLs need the package s3fs (pip install s3fs)"),
    ("nosuchscheme://bucket/crawl.warc.gz", "unknown URL scheme nosuchscheme://"),
])
def test_a_url_that_cannot_be_opened_says_why_in_one_line(url, message):
    if url.startswith("s3:") and importlib.util.find_spec("s3fs") is not None:
        pytest.skip("s3fs is installed here")
    result = warc(url, "-q")
    assert result.returncode == 1
    assert result.stderr.decode() == f"vornel: {url}: cannot read it ({message})\n"


def test_the_rate_in_the_report_counts_the_pages_summarized():
    from collections import Counter

    from vornel.crawl import Counts, JobReport
    from vornel.crawl.progress import format_report

    counts = Counts(records=600, pages=553, errors=Counter({"page timeout": 500}))
    report = format_report(JobReport(counts, seconds=2.0), 1)
    assert "  pages summarised  53 (26.5 pages/s)" in report.splitlines()
