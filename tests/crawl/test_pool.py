"""A bad page costs only itself: a page that takes too long, needs too much memory, or takes its
worker process down becomes an error line, in every mode, and the job reads on; a worker killed
from outside costs at most the page it was on."""

import io
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

from vornel.crawl import summarize_warcs

from bench.process_tree import alive, end_process_tree
from helpers import UNDER_SANITIZER
from helpers.crawl_archives import (Archive, busy_worker, form_inputs, header_cells, html_page, json_lines,
                                    ordinary_and_hostile, slow_pages, unclosed_divs, workers_of)

needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
# AddressSanitizer reserves terabytes of address space, so a worker's bound there is no bound.
bounded = pytest.mark.skipif(UNDER_SANITIZER, reason="the memory bound does not hold under the sanitizer")

HOSTILE = {
    "400k unclosed divs": (unclosed_divs(400_000), ["--page-timeout", "1"], "PageTimeoutError", "page timeout"),
    "1.5M form inputs": (form_inputs(1_500_000), ["--worker-memory", "256M"], "PageTooLargeError", "page too large"),
    # Here the parser runs out of memory first and reports it in its own words.
    "8 MiB of header cells": (header_cells(8 << 20), ["--worker-memory", "256M"], "PageTooLargeError",
                              "page too large"),
}
MODES = {
    "one job": (["--jobs", "1"], True),
    "two jobs in slices": (["--jobs", "2", "--slice-size", "8K"], True),
    "standard input": (["--jobs", "2"], False),
}


def run_vornel(archive, *args, stdin=False):
    command = [sys.executable, "-m", "vornel", "warc", "-" if stdin else archive, *args]
    with open(archive, "rb") as data:
        return subprocess.run(command, stdin=data if stdin else subprocess.DEVNULL, capture_output=True, timeout=300)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("hostile", HOSTILE)
def test_a_hostile_page_becomes_an_error_line_and_the_job_reads_on(tmp_path, hostile, mode):
    body, options, error, kind = HOSTILE[hostile]
    if "--worker-memory" in options and UNDER_SANITIZER:
        pytest.skip("the memory bound does not hold under the sanitizer")
    args, from_file = MODES[mode]
    # Ordinary pages of tens of milliseconds: the hostile page's slice has sent lines before it.
    archive, urls = ordinary_and_hostile(body, filler="<div>" * 3000)
    path = archive.save(tmp_path / "hostile.warc.gz")
    result = run_vornel(path, *args, *options, stdin=not from_file)
    assert result.returncode == 0, result.stderr
    lines = json_lines(result.stdout)
    assert [line["url"] for line in lines] == urls  # every page once, in order
    failed = [line for line in lines if "error" in line]
    assert [(line["url"], line["error"]["type"]) for line in failed] == [("https://example.com/hostile", error)]
    assert failed[0]["warc_record_id"].startswith("<urn:uuid:")
    assert f"errors            1 ({kind} 1)" in result.stderr.decode()


@needs_proc
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_worker_killed_on_a_page_costs_that_page(tmp_path, jobs):
    archive, urls = ordinary_and_hostile(unclosed_divs(60_000))  # seconds of parsing
    path = archive.save(tmp_path / "slow.warc.gz")
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", path, "--jobs", jobs, "--slice-size", "8K"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        victim = busy_worker(process.pid, 1.0)  # far into the slow page: the ordinary ones take milliseconds
        os.kill(victim, signal.SIGKILL)
        stdout, stderr = process.communicate(timeout=300)
    finally:
        end_process_tree([process.pid])
    assert process.returncode == 0, stderr
    lines = json_lines(stdout)
    assert [line["url"] for line in lines] == urls
    failed = [line for line in lines if "error" in line]
    assert [line["url"] for line in failed] == ["https://example.com/hostile"]
    assert failed[0]["error"] == {"type": "WorkerDiedError",
                                  "message": "the worker process died while it summarised the page (killed by SIGKILL)"}


@needs_proc
def test_workers_killed_at_random_lose_nothing_but_their_pages(tmp_path):
    """The pool race: workers die while slices are handed out and lines come back."""
    path = slow_pages(120).save(tmp_path / "slow.warc.gz")  # seconds of work
    env = dict(os.environ)
    reference = subprocess.run([sys.executable, "-m", "vornel", "warc", path, "-q", "--jobs", "2"],
                               capture_output=True, env=env, timeout=300)
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", path, "--jobs", "2", "--slice-size", "8K"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    killed = []

    def kill_at_random():
        rng = random.Random(1)
        while process.poll() is None and len(killed) < 8:
            time.sleep(rng.uniform(0.2, 0.6))
            # Only workers that have had time to work: one killed as it starts proves nothing.
            ready = [pid for pid in workers_of(process.pid) if _age(pid) > 0.8]
            if ready:
                os.kill(victim := rng.choice(ready), signal.SIGKILL)
                killed.append(victim)

    killer = threading.Thread(target=kill_at_random)
    killer.start()
    try:
        stdout, stderr = process.communicate(timeout=300)
    finally:
        killer.join()
        end_process_tree([process.pid])
    assert killed and process.returncode == 0, stderr
    expected, lines = json_lines(reference.stdout), json_lines(stdout)
    assert [line["url"] for line in lines] == [line["url"] for line in expected]
    lost = [line for line, same in zip(lines, expected, strict=True) if line != same]
    assert len(lost) <= len(killed)
    assert all(line["error"]["type"] == "WorkerDiedError" for line in lost)


def _age(pid):
    with open(f"/proc/{pid}/stat") as stat:
        started = int(stat.read().rsplit(")", 1)[1].split()[19]) / os.sysconf("SC_CLK_TCK")
    with open("/proc/uptime") as uptime:
        return float(uptime.read().split()[0]) - started


@bounded
def test_a_record_that_kills_every_worker_while_it_is_read_ends_its_input_there(tmp_path):
    """Reading (not summarising) a record beyond the bound: workers die at the same place three times in a row, and
    the input is reported as not read from there on; the pages before it are kept."""
    archive = Archive(compress=False)
    archive.response("https://example.com/before", b"<title>before</title>")
    archive.response("https://example.com/large", b"<p>" + b"x" * (28 << 20))
    path = archive.save(tmp_path / "large.warc")
    out = io.BytesIO()
    # Enough to read and summarise a small page (FastWARC asks for 32 MiB to read any body), not a large one.
    report = summarize_warcs([str(path)], out, jobs=1, worker_memory=40 << 20, say=lambda text: None)
    [before] = json_lines(out.getvalue())
    assert before["url"] == "https://example.com/before" and before["summary"]["title"] == "before"
    assert report.unread == [str(path)]
    assert len(report.faults) == 1
    died = report.faults[0].split(" (", 1)[1].split(") after")[0]
    assert died in ("out of memory", "PanicException: PyObject pointer is null", "killed by SIGABRT")  # FastWARC's ways
    assert report.faults == [
        f"{path}: a worker process died while reading it ({died}) after the record at byte offset 0"]


@pytest.mark.parametrize("worker_is", ["summarizing", "waiting"])
def test_a_worker_ignores_ctrl_c_and_never_holds_standard_output(tmp_path, worker_is):
    """What the job's children inherit: nothing of its standard output, and no traceback on Ctrl-C,
    whether it comes while a worker summarises a page or while it waits for the next one (here
    for pages of standard input, which stays open); the job then goes on as if nothing happened."""
    if worker_is == "summarizing":
        path = ordinary_and_hostile(unclosed_divs(60_000))[0].save(tmp_path / "slow.warc.gz")
        command, stdin = [path, "--jobs", "1"], subprocess.DEVNULL
    else:
        archive = Archive(compress=False)  # read record by record as it arrives
        for number in range(5):
            archive.response(f"https://example.com/{number}", html_page(f"page {number}").encode())
        path = archive.save(tmp_path / "pages.warc")
        command, stdin = ["-", "--jobs", "2"], subprocess.PIPE
    out = tmp_path / "out.jsonl"
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", *command, "-o", out], stdin=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    pids = [process.pid]
    try:
        if worker_is == "summarizing":
            workers = [busy_worker(process.pid, 0.5)]
        else:
            process.stdin.write(path.read_bytes())
            process.stdin.flush()  # and kept open: the worker has summarised the pages and waits
            deadline = time.monotonic() + 60
            while sum(partial.read_bytes().count(b"\n") for partial in tmp_path.glob("out.jsonl.*.partial")) < 5:
                assert time.monotonic() < deadline
                time.sleep(0.05)
            workers = workers_of(process.pid)
        pids += workers
        stdout_targets = [os.readlink(f"/proc/{worker}/fd/1") for worker in workers]
        for worker in workers:
            os.kill(worker, signal.SIGINT)
        time.sleep(0.5)
        assert all(map(alive, workers)) and stdout_targets == [os.devnull] * len(workers) != []
        if worker_is == "waiting":
            _, errors = process.communicate(timeout=60)  # standard input ends: the job finishes
            assert process.returncode == 0 and len(json_lines(out.read_bytes())) == 5
    finally:
        end_process_tree(pids)
        if process.returncode is None:
            _, errors = process.communicate(timeout=60)
    assert b"Traceback" not in errors
