"""Dask for real: a `dask scheduler` and two single-threaded `dask worker` processes on 127.0.0.1 run
`vornel warc --scheduler`, and their part files hold the local run's lines."""

import functools
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from helpers.crawl_archives import (Archive, archived_archive, folder_rows, gzipped_twice, html_page, json_lines,
                                    many_pages, unclosed_divs, warc)

pytest.importorskip("distributed")
DASK = Path(sys.executable).with_name("dask")
pytestmark = pytest.mark.skipif(not DASK.exists(), reason="the dask command is not installed")


def stop(process):
    """Ends a process we started, by its pid: SIGTERM, then SIGKILL if it lingers."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=30)


def start_cluster(folder, workers, processes):
    """Starts a scheduler and `workers` workers of one thread each on 127.0.0.1 (appending them to
    `processes`, for the caller to end); returns the scheduler's address."""
    address_file = folder / "scheduler.json"
    env = dict(os.environ)
    # Port 0: the scheduler picks a free one and writes it to the file; no dashboards.
    processes.append(subprocess.Popen(
        [DASK, "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--no-jupyter",
         "--scheduler-file", address_file, "--idle-timeout", "600s"],
        env=env, stdout=subprocess.DEVNULL, stderr=open(folder / "scheduler.log", "wb")))
    deadline = time.monotonic() + 60
    while not address_file.exists() or not address_file.read_text().strip():
        assert processes[0].poll() is None and time.monotonic() < deadline, (folder / "scheduler.log").read_text()
        time.sleep(0.1)
    for number in range(workers):
        # The workers work in a folder of their own, as on another machine.
        processes.append(subprocess.Popen(
            [DASK, "worker", "--scheduler-file", address_file, "--host", "127.0.0.1", "--nthreads", "1",
             "--no-nanny", "--no-dashboard", "--name", f"worker-{number}", "--death-timeout", "60",
             "--local-directory", folder / f"worker-{number}"],
            env=env, stdout=subprocess.DEVNULL, stderr=open(folder / f"worker-{number}.log", "wb"),
            cwd=folder))
    address = json.loads(address_file.read_text())["address"]
    from distributed import Client

    with Client(address, timeout=60) as client:
        client.wait_for_workers(workers, timeout=120)
    return address


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory):
    """The address of a scheduler with two workers of one thread each, all on 127.0.0.1."""
    processes = []
    try:
        yield start_cluster(tmp_path_factory.mktemp("dask"), 2, processes)
    finally:
        for process in reversed(processes):
            stop(process)


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("inputs")
    archived, _ = archived_archive()
    (folder / "archived.warc.gz").write_bytes(archived)
    small = Archive(compress=False).response("https://example.com/plain", html_page("plain").encode())
    return [many_pages(150, seed=2).save(folder / "many.warc.gz"), folder / "archived.warc.gz",
            small.save(folder / "plain.warc")]


def parts(folder, pattern="part-*.jsonl"):
    return sorted(Path(folder).glob(pattern))


def test_the_cluster_writes_the_local_lines_as_part_files(scheduler, inputs, tmp_path):
    local = warc(*inputs, "--quiet", "--jobs", "1")
    assert local.returncode == 0
    result = warc(*inputs, "--scheduler", scheduler, "-o", tmp_path / "out", "--slice-size", "64K")
    assert result.returncode == 0, result.stderr
    files = parts(tmp_path / "out")
    assert len(files) > len(inputs)  # the large input went out in slices
    lines = b"".join(file.read_bytes() for file in files)
    assert sorted(lines.splitlines()) == sorted(local.stdout.splitlines())
    assert lines == local.stdout  # the parts are numbered in input order
    report = result.stderr.decode()
    assert f"{len(json_lines(local.stdout))} (" in report and "records read" in report


def test_compressed_parts_and_a_damaged_input_on_the_cluster(scheduler, inputs, tmp_path):
    damaged = tmp_path / "damaged.warc.gz"
    damaged.write_bytes(inputs[0].read_bytes()[:-50])
    result = warc(damaged, inputs[2], "--scheduler", scheduler, "-o", tmp_path / "out", "--gzip", "-q")
    assert result.returncode == 1
    assert f"vornel: {damaged}: skipped ".encode() in result.stderr and b"(a gzip member cut short)" in result.stderr
    files = parts(tmp_path / "out", "part-*.jsonl.gz")
    import gzip
    lines = [json.loads(line) for file in files for line in gzip.decompress(file.read_bytes()).splitlines()]
    assert len(lines) == 150  # 149 of the damaged input, 1 of the other
    again = warc(inputs[2], "--scheduler", scheduler, "-o", tmp_path / "out", "-q")
    assert again.returncode == 2 and b"already holds part files" in again.stderr


def test_parquet_parts_on_the_cluster_are_the_local_ones_and_a_lost_part_is_resumed(scheduler, inputs, tmp_path):
    options = ["--format", "parquet", "--slice-size", "64K", "-q"]
    local = warc(*inputs, "-o", f"{tmp_path / 'local'}/", "--jobs", "2", *options)
    assert local.returncode == 0, local.stderr
    result = warc(*inputs, "--scheduler", scheduler, "-o", tmp_path / "out", *options)
    assert result.returncode == 0, result.stderr
    assert len(folder_rows(tmp_path / "out")) > len(inputs)
    assert folder_rows(tmp_path / "out") == folder_rows(tmp_path / "local")
    for lost in parts(tmp_path / "out", "part-*.parquet")[1::2]:
        lost.unlink()
    again = warc(*inputs, "--scheduler", scheduler, "-o", tmp_path / "out", "--resume", *options)
    assert again.returncode == 0, again.stderr
    assert folder_rows(tmp_path / "out") == folder_rows(tmp_path / "local")


@pytest.mark.parametrize("address, message", [
    ("tcp://127.0.0.1:9", "cannot reach the Dask scheduler at tcp://127.0.0.1:9 (Timed out"),
    ("nonsense", "--scheduler nonsense: not a scheduler address (missing port number"),
    ("foo://host:1", "--scheduler foo://host:1: not a scheduler address (unknown address scheme 'foo'"),
    ("tls://127.0.0.1:9", "--scheduler tls://127.0.0.1:9: tls:// needs TLS certificates in Dask's configuration"),
])
def test_a_scheduler_that_cannot_be_used_is_reported_in_one_line(tmp_path, inputs, address, message):
    result = warc(inputs[2], "--scheduler", address, "-o", tmp_path / "out",
                  env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert result.returncode == 1 and result.stderr.decode().startswith(f"vornel: {message}")
    assert result.stderr.count(b"\n") == 1


def test_a_relative_output_folder_is_this_folder_s_not_the_workers(scheduler, inputs, tmp_path):
    result = warc(inputs[2], "--scheduler", scheduler, "-o", "out", "-q", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert [file.name for file in parts(tmp_path / "out")] == ["part-00000.jsonl"]


def slow_archive(folder, pages=8):
    """Pages of seconds each, a slice per page."""
    archive = Archive()
    for number in range(pages):
        data, headers = gzipped_twice(unclosed_divs(25_000))
        archive.response(f"https://example.com/slow/{number}", data, headers=headers)
    return archive.save(folder / "slow.warc.gz")


@pytest.mark.parametrize("stop_how", ["scheduler killed", "Ctrl-C", "SIGTERM"])
def test_a_job_whose_cluster_goes_away_or_that_is_stopped_ends_in_one_line(tmp_path, stop_how):
    processes = []
    try:
        address = start_cluster(tmp_path, 1, processes)
        path = slow_archive(tmp_path)
        job = subprocess.Popen([sys.executable, "-m", "vornel", "warc", path, "--scheduler", address,
                                "-o", tmp_path / "out", "--slice-size", "1K"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        processes.append(job)
        deadline = time.monotonic() + 120
        while not parts(tmp_path / "out"):  # mid-job: a part is written, others are to come
            assert job.poll() is None and time.monotonic() < deadline
            time.sleep(0.1)
        if stop_how == "scheduler killed":
            processes[0].kill()
        else:
            job.send_signal(signal.SIGINT if stop_how == "Ctrl-C" else signal.SIGTERM)
        began = time.monotonic()
        errors = job.communicate(timeout=120)[1].decode()
        ended = time.monotonic() - began
    finally:
        for process in reversed(processes):
            stop(process)
    assert ended < 60 and "Traceback" not in errors and errors.count("\n") == 1, errors
    if stop_how == "scheduler killed":
        assert job.returncode == 1
        assert errors == (f"vornel: lost contact with the Dask scheduler at {address}; the job ended, the part "
                          f"files written so far are in {tmp_path / 'out'}\n")
    else:
        assert (job.returncode, errors) == ((130, "vornel: interrupted\n") if stop_how == "Ctrl-C" else
                                            (143, "vornel: terminated\n"))
    assert len(parts(tmp_path / "out")) < 8 and all(json_lines(part.read_bytes()) for part in parts(tmp_path / "out"))


def test_a_task_that_fails_leaves_its_slice_unread_and_the_job_goes_on(monkeypatch, inputs, tmp_path):
    """As when a worker's disk is full: the other slices' parts are written, the failed one is reported."""
    from distributed import Client

    from vornel.crawl import dask_job, summarize_warcs

    opened = dask_job.open_part

    def full_disk(filesystem, path, compress):
        if "part-00001.jsonl" in path:
            raise OSError(28, "No space left on device")
        return opened(filesystem, path, compress)

    monkeypatch.setattr(dask_job, "open_part", full_disk)
    with Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=":0") as client:
        report = summarize_warcs([str(inputs[0])], str(tmp_path / "out"), client=client, slice_size=64 << 10,
                                 say=lambda text: None)
    assert report.unread == [str(inputs[0])]
    assert report.faults == [f"{inputs[0]}: the cluster could not summarise it (OSError: [Errno 28] No space left "
                             f"on device) at byte offset {64 << 10}"]
    names = [file.name for file in parts(tmp_path / "out")]
    assert "part-00001.jsonl" not in names and len(names) > 2


def malloc_warnings(job):
    """The warnings about the workers' malloc settings that `job()` gave."""
    import warnings

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        job()
    return [str(warning.message) for warning in caught if "MALLOC_" in str(warning.message)]


@pytest.mark.parametrize("variable", [None, "MALLOC_TRIM_THRESHOLD_", "MALLOC_MMAP_THRESHOLD_"])
def test_workers_with_a_malloc_variable_are_warned_of_once_per_job(monkeypatch, inputs, tmp_path, variable):
    from distributed import Client

    from vornel.crawl import summarize_warcs

    for name in ("MALLOC_TRIM_THRESHOLD_", "MALLOC_TOP_PAD_", "MALLOC_MMAP_THRESHOLD_", "MALLOC_MMAP_MAX_"):
        monkeypatch.delenv(name, raising=False)
    if variable:
        monkeypatch.setenv(variable, "65536")  # the workers of this client run in this process
    with Client(processes=False, n_workers=1, threads_per_worker=1, dashboard_address=":0") as client:
        for number in range(2):
            caught = malloc_warnings(functools.partial(
                summarize_warcs, [str(inputs[0])], str(tmp_path / f"out{number}"), client=client, slice_size=64 << 10))
            assert caught == ([f"vornel: the Dask workers run with {variable}=65536 (Dask's nanny sets "
                               "MALLOC_TRIM_THRESHOLD_), which makes page parsing map and unmap its memory again "
                               "and again; start them without it, for example with "
                               "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_ set to null in the Dask "
                               "configuration (see vornel's README)"] if variable else [])


@pytest.mark.parametrize("trim_threshold", ["as Dask sets it", None])
def test_the_nanny_setting_and_the_remedy_in_the_readme(monkeypatch, inputs, tmp_path, trim_threshold):
    """Dask's nanny starts its workers with MALLOC_TRIM_THRESHOLD_; the setting that the README gives
    starts them without it."""
    import dask.config
    from distributed import Client, LocalCluster

    from vornel.crawl import summarize_warcs
    from vornel.crawl.dask_job import malloc_settings

    # The nanny puts its variables into the environment of the process that starts it, for good:
    # they are taken back after the test.
    for name in [*dask.config.get("distributed.nanny.pre-spawn-environ"), "PYTHONHASHSEED"]:
        value = os.environ.get(name)
        monkeypatch.setenv(name, value or "")
        if value is None:
            monkeypatch.delenv(name)
    settings = {} if trim_threshold else {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}
    with dask.config.set(settings), \
            LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        client.wait_for_workers(1, timeout=120)
        assert list(client.run(malloc_settings).values()) == [{"MALLOC_TRIM_THRESHOLD_": "65536"} if trim_threshold
                                                              else {}]
        caught = malloc_warnings(lambda: summarize_warcs([str(inputs[2])], str(tmp_path / "out"), client=client))
    assert len(caught) == (1 if trim_threshold else 0)
