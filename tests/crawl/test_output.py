"""Output formats and folders: Parquet read back by pyarrow and DuckDB row for row against the JSON
lines of the same job, part files per slice, and a job killed halfway and resumed."""

import io
import json
import signal
import subprocess
import sys
import time

import pytest

from bench.process_tree import descendants, end_process_tree
from helpers.crawl_archives import (comparable, folder_rows, json_lines, many_pages, read_parquet_rows, rows_as_lines,
                                    slow_pages, varied_archive, warc)
from helpers.pages import corpus_pages

pytest.importorskip("pyarrow")


@pytest.fixture(scope="module")
def varied(tmp_path_factory):
    folder = tmp_path_factory.mktemp("varied")
    path = varied_archive(corpus_pages()[:20]).save(folder / "varied.warc.gz")
    lines = warc(path, "--jobs", "1", "-q")
    assert lines.returncode == 0, lines.stderr
    return path, json_lines(lines.stdout)


@pytest.mark.parametrize("reader", ["pyarrow", "duckdb"])
@pytest.mark.parametrize("output, options", [("pages.parquet", []),
                                             ("pages/", ["--format", "parquet", "--slice-size", "2K"])])
def test_parquet_holds_every_line_of_the_json_lines_output(varied, tmp_path, reader, output, options):
    if reader == "duckdb":
        pytest.importorskip("duckdb")
    path, lines = varied
    result = warc(path, "-o", tmp_path / output, "--jobs", "2", "-q", *options)
    assert result.returncode == 0, result.stderr
    rows = read_parquet_rows(tmp_path / output, reader)
    assert [comparable(line) for line in rows_as_lines(rows)] == [comparable(line) for line in lines]
    assert any("error" in line for line in lines) and any("repairs" in line for line in lines)


def test_parquet_columns_are_typed():
    import pyarrow as pa

    from vornel.crawl.formats.parquet import SCHEMA

    assert SCHEMA.field("warc_date").type == pa.timestamp("us", tz="UTC")
    assert SCHEMA.field("metadata").type == pa.map_(pa.string(), pa.string())
    assert SCHEMA.field("media").type.field("count").type == pa.int64()
    assert SCHEMA.field("forms").type.value_type.field("inputs").type.value_type.field("required").type == pa.bool_()


@pytest.mark.parametrize("text, expected", [
    ("2024-05-01T12:00:00Z", "2024-05-01T12:00:00+00:00"),
    ("2024-05-01T12:00:00.123456789Z", "2024-05-01T12:00:00.123456+00:00"),  # WARC/1.1: beyond microseconds
    ("2024-05-01T14:00:00+02:00", "2024-05-01T14:00:00+02:00"),
    ("2024-05-01", "2024-05-01T00:00:00+00:00"),
    ("yesterday", None), ("", None), (None, None),
])
def test_warc_dates_become_utc_timestamps_or_null(text, expected):
    from vornel.crawl.formats.parquet import warc_timestamp

    moment = warc_timestamp(text)
    assert (moment.isoformat() if moment else None) == expected


def test_parquet_is_written_in_row_groups_as_the_pages_arrive(tmp_path, monkeypatch):
    import pyarrow.parquet

    from vornel.crawl import summarize_warcs
    from vornel.crawl.formats import parquet

    monkeypatch.setattr(parquet, "ROW_GROUP_ROWS", 16)
    archive = many_pages(200, seed=5).save(tmp_path / "many.warc.gz")
    summarize_warcs([str(archive)], str(tmp_path / "pages.parquet"), jobs=1)
    metadata = pyarrow.parquet.ParquetFile(tmp_path / "pages.parquet").metadata
    groups = [metadata.row_group(number).num_rows for number in range(metadata.num_row_groups)]
    # A group ends once 16 rows are there; the rows come in batches of at most 64 from the worker.
    assert sum(groups) == 200 and len(groups) >= 4 and max(groups) < 16 + 64


def test_json_lines_to_a_stream_are_unchanged_by_the_api(varied):
    from vornel.crawl import summarize_warcs

    path, lines = varied
    stream = io.BytesIO()
    summarize_warcs([str(path)], stream, jobs=1)
    assert json_lines(stream.getvalue()) == lines


@pytest.fixture(scope="module")
def sliced(tmp_path_factory):
    """An archive of slow pages in many slices, and the folders of an uninterrupted run in each format."""
    folder = tmp_path_factory.mktemp("sliced")
    archive = slow_pages(48, divs=3000).save(folder / "slow.warc.gz")
    whole = {}
    for format in ("jsonl", "parquet"):
        whole[format] = folder / f"whole-{format}"
        result = warc(archive, "-o", f"{whole[format]}/", "--format", format, "--slice-size", "1K", "-q", "--jobs", "2")
        assert result.returncode == 0, result.stderr
    return archive, whole


def test_a_folder_holds_the_single_output_cut_into_parts(sliced, tmp_path):
    archive, whole = sliced
    single = warc(archive, "-q", "--jobs", "1")
    parts = folder_rows(whole["jsonl"])
    assert len(parts) > 5 and b"".join(parts.values()) == single.stdout
    manifest = json.loads((whole["jsonl"] / "_vornel_job.json").read_text())
    assert manifest["slices"] == len(parts) and manifest["format"] == "jsonl" and manifest["slice_size"] == 1024


@pytest.mark.parametrize("format", ["jsonl", "parquet"])
def test_a_job_killed_halfway_and_resumed_equals_an_uninterrupted_run(sliced, tmp_path, format):
    archive, whole = sliced
    out = tmp_path / "out"
    command = [sys.executable, "-m", "vornel", "warc", archive, "-o", f"{out}/", "--format", format,
               "--slice-size", "1K", "-q", "--jobs", "2"]
    parts = len(folder_rows(whole[format]))  # counted before: reading them takes long under a sanitizer
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    tree = [process.pid]
    try:
        deadline = time.monotonic() + 120
        while len(list(out.glob("part-*"))) < parts // 2:
            assert process.poll() is None and time.monotonic() < deadline
            tree += [pid for pid in descendants(process.pid) if pid not in tree]
            time.sleep(0.02)
        process.send_signal(signal.SIGKILL)  # no chance to tidy up: its workers die with it
        process.wait(timeout=60)
    finally:
        end_process_tree(tree)
    done = folder_rows(out)
    assert 0 < len(done) < parts
    resumed = warc(archive, "-o", f"{out}/", "--format", format, "--slice-size", "1K", "--resume", "--jobs", "2")
    assert resumed.returncode == 0, resumed.stderr
    assert folder_rows(out) == folder_rows(whole[format])
    assert sorted(path.name for path in out.iterdir()) == sorted(path.name for path in whole[format].iterdir())
    pages = int(resumed.stderr.decode().split("pages summarised")[1].split()[0])
    assert 0 < pages < 48  # the parts that were there were not made again


@pytest.mark.parametrize("change, message", [
    (["--slice-size", "8K"], "holds the parts of another job, with another slice_size, slices"),
    (["--format", "parquet"], "holds the parts of another job, with another format"),
    (["--url", "example"], "holds the parts of another job, with another filters"),
    (["other inputs"], "holds the parts of another job, with another inputs, slices"),
    (["no manifest"], "holds part files (2) but no _vornel_job.json"),
    (["no --resume"], "already holds part files (2); remove them, choose another folder, or add --resume"),
])
def test_a_folder_of_another_job_is_refused_in_one_line(sliced, tmp_path, change, message):
    archive, whole = sliced
    out = tmp_path / "out"
    out.mkdir()
    for name in ("part-00000.jsonl", "part-00001.jsonl", "_vornel_job.json"):
        (out / name).write_bytes((whole["jsonl"] / name).read_bytes())
    options = ["--slice-size", "1K", "--resume"]
    inputs = [archive]
    if change == ["other inputs"]:
        inputs = [archive, archive]
    elif change == ["no manifest"]:
        (out / "_vornel_job.json").unlink()
    elif change == ["no --resume"]:
        options.remove("--resume")
    else:
        options += change
    result = warc(*inputs, "-o", f"{out}/", *options)
    assert result.returncode == 2
    assert result.stderr.decode().startswith(f"vornel: {out}/: {message}") and result.stderr.count(b"\n") == 1
    assert sorted(path.name for path in out.iterdir()) == ["_vornel_job.json", "part-00000.jsonl",
                                                          "part-00001.jsonl"][change == ["no manifest"]:]


def test_an_interrupted_parquet_file_is_still_a_whole_file(tmp_path):
    import pyarrow.parquet

    archive = slow_pages(30, divs=20000).save(tmp_path / "slow.warc.gz")
    out = tmp_path / "pages.parquet"
    process = subprocess.Popen([sys.executable, "-m", "vornel", "warc", archive, "-o", out, "--jobs", "1", "-q"],
                               stderr=subprocess.PIPE)
    try:
        time.sleep(3)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=60) == 130
    finally:
        end_process_tree([process.pid] if process.poll() is None else [])
        process.stderr.close()
    rows = pyarrow.parquet.read_table(out).to_pylist()
    assert [row["url"] for row in rows] == [f"https://example.com/{number}" for number in range(len(rows))]


def test_a_part_cut_short_by_a_fault_is_read_again_on_resume(tmp_path):
    """A slice that stopped at a fault keeps its pages in its part, marked unread: --resume reads
    it again rather than take it for done and end with exit status 0."""
    data = many_pages(6).data()
    path = tmp_path / "damaged.warc.gz"
    path.write_bytes(data[:len(data) // 2] + b"37 bytes of garbage between records.." + data[len(data) // 2:])
    out = tmp_path / "out"
    for options in ([], ["--resume"]):
        result = warc(path, "-o", f"{out}/", "--strict", "-q", *options)
        assert result.returncode == 1, result.stderr
        assert (out / "_unread-00000").exists() and (out / "part-00000.jsonl").exists()
    assert 0 < len(json_lines((out / "part-00000.jsonl").read_bytes())) < 6
