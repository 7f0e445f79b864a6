"""The `vornel` command as a person uses it: the progress bar on a terminal, the quiet and piped
modes, help and usage errors, Ctrl-C, and `vornel page`."""

import fcntl
import json
import os
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

from crawl_archives import Archive, html_page, json_lines, many_pages, vornel, warc
from conftest import ROOT, SAMPLE_PAGE


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    return many_pages(120, seed=3).save(tmp_path_factory.mktemp("cli") / "crawl.warc.gz")


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
    assert len(json_lines(stdout)) == 120
    assert "\r" in screen and "100%|" in screen  # a bar redrawn in place, up to the end
    assert "records 240 · pages 120 · " in screen and " pages/s · errors 0" in screen
    assert "vornel: 1 input, 240 records read in" in screen and "pages summarised  120 (" in screen


def test_quiet_on_a_terminal_prints_nothing_but_the_json(archive, tmp_path):
    status, stdout, screen = run_on_terminal(tmp_path, "warc", archive, "--quiet")
    assert status == 0 and len(json_lines(stdout)) == 120 and screen == ""


def test_without_a_terminal_there_is_the_report_but_no_bar(archive):
    result = warc(archive)
    assert result.returncode == 0 and len(json_lines(result.stdout)) == 120
    report = result.stderr.decode()
    assert "\r" not in report and "%|" not in report
    assert report.splitlines() == [
        report.splitlines()[0],
        report.splitlines()[1],
        "  records skipped   120 (not a response 120, revisit 0, status not 2xx 0, not HTML 0)",
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
])
def test_usage_errors_exit_with_2_and_say_what_is_wrong(args, message):
    result = vornel(*args)
    assert result.returncode == 2
    assert message in result.stderr.decode() and b"Traceback" not in result.stderr


def test_help_names_the_commands_and_the_output_format():
    overview = vornel("--help").stdout.decode()
    assert "page" in overview and "warc" in overview
    help_text = vornel("warc", "--help").stdout.decode()
    for words in ("--jobs", "--scheduler", "--quiet", "--strict", "warc_record_id", "warc_record_offset", "ARC",
                  "exit status", "examples:"):
        assert words in help_text


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


@pytest.mark.parametrize("args, message", [
    (["missing.html", "https://example.com/"], "vornel: missing.html: No such file or directory"),
    ([str(SAMPLE_PAGE), "http://[oops"], "vornel: http://[oops: Invalid IPv6 URL"),
])
def test_vornel_page_reports_a_bad_file_or_url_without_a_traceback(args, message):
    result = vornel("page", *args)
    assert result.returncode == 1 and result.stderr.decode().strip() == message


def waiting_for_input(pid):
    with open(f"/proc/{pid}/wchan") as wchan:
        return "pipe" in wchan.read()


@pytest.mark.skipif(not os.path.exists("/proc/self/wchan"), reason="needs Linux's /proc")
def test_ctrl_c_ends_with_130_keeping_the_lines_so_far(tmp_path):
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
        while not waiting_for_input(process.pid):
            assert time.monotonic() < deadline
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        status = process.wait(timeout=60)
    finally:
        process.kill() if process.poll() is None else None
        process.stdin.close()
    errors = process.stderr.read().decode()
    process.stderr.close()
    assert status == 130 and errors == "vornel: interrupted\n"
    assert [line["url"] for line in json_lines(out.read_bytes())] == [f"https://example.com/{n}" for n in range(5)]


def test_a_closed_standard_output_ends_the_run_quietly(archive):
    process = subprocess.Popen(f"{sys.executable} -m vornel warc {archive} --jobs 1 | head -c 10", shell=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    stdout, stderr = process.communicate(timeout=120)
    assert len(stdout) == 10 and b"Traceback" not in stderr


def test_a_local_run_imports_nothing_of_dask_and_import_vornel_nothing_of_the_crawl(archive):
    check = ("import sys, vornel; assert 'vornel.crawl' not in sys.modules\n"
             "from vornel.cli import main\n"
             f"status = main(['warc', {str(archive)!r}, '--jobs', '2', '-q', '-o', {os.devnull!r}])\n"
             "assert status == 0 and not {'distributed', 'dask', 'fsspec'} & set(sys.modules), sys.modules.keys()")
    result = subprocess.run([sys.executable, "-c", check], capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode()


@pytest.mark.parametrize("target, message", [
    ("missing-folder/out.jsonl", "No such file or directory"),
    ("/dev/full", "No space left on device"),
])
def test_an_output_that_cannot_be_written_is_named_once(archive, tmp_path, target, message):
    if not os.path.exists("/dev/full") and target == "/dev/full":
        pytest.skip("no /dev/full here")
    target = target if target.startswith("/") else str(tmp_path / target)
    result = warc(archive, "-o", target, "--quiet", "--jobs", "2", "--slice-size", "64K")
    assert result.returncode == 1
    assert result.stderr.decode() == f"vornel: {target}: {message}\n"


@pytest.mark.parametrize("how", ["stdin-first-read-of-1-byte", "fifo", "process-substitution", "zcat-substitution"])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_pipes_and_fifos_are_read_in_one_pass(archive, tmp_path, how, jobs):
    """Any input that is not a regular file is read like standard input, whatever its first read holds."""
    same_hashes = {**os.environ, "PYTHONHASHSEED": "0"}
    expected = warc(archive, "--jobs", "1", "-q", env=same_hashes).stdout
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
    result = subprocess.run(["bash", "-c", script], capture_output=True, timeout=120, env=same_hashes)
    assert result.returncode == 0 and result.stderr == b""

    def pages(output):  # the locator differs: another name, and offsets in the inflated stream for zcat
        return [(line["url"], line["warc_record_id"], line["summary"]) for line in json_lines(output)]

    assert pages(result.stdout) == pages(expected) and len(pages(expected)) == 120
