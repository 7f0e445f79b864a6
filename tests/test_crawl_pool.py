"""A worker process that dies (killed for its memory, or crashed by a page) neither hangs the job
nor loses more than its own slice: the slice is tried again alone, and reported when it kills that
worker too."""

import io
import os

import pytest

from vornel.crawl import local, summarize_warcs
from vornel.crawl.slices import collect_slice, plan_slices

from crawl_archives import json_lines, many_pages

SLICE = 32 << 10


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    path = many_pages(200, seed=3).save(tmp_path_factory.mktemp("pool") / "many.warc.gz")
    assert len(plan_slices(str(path), SLICE)) > 4
    return str(path)


def dies_on_the_second_slice(piece, start):
    """Run in a worker: ends the worker without a word on the second slice, every time."""
    if piece.index == 1:
        os._exit(1)
    return collect_slice(piece, start)


def dies_once_on_the_second_slice(piece, start):
    """Run in a worker: ends the worker the first time it meets the second slice."""
    marker = piece.path + ".died"
    if piece.index == 1 and not os.path.exists(marker):
        open(marker, "w").close()
        os._exit(1)
    return collect_slice(piece, start)


def urls(data):
    return [line["url"] for line in json_lines(data)]


def run(archive, jobs):
    out = io.BytesIO()
    report = summarize_warcs([archive], out, jobs=jobs, slice_size=SLICE, say=lambda text: None)
    return report, out.getvalue()


def test_a_worker_that_died_once_costs_nothing(monkeypatch, archive):
    _, whole = run(archive, 1)
    monkeypatch.setattr(local, "collect_slice", dies_once_on_the_second_slice)
    report, lines = run(archive, 2)
    assert os.path.exists(archive + ".died")
    assert report.complete and urls(lines) == urls(whole)


def test_a_slice_that_kills_every_worker_is_reported_and_the_rest_is_read(monkeypatch, archive):
    _, whole = run(archive, 1)
    second = plan_slices(archive, SLICE)[1]
    lost = urls(collect_slice(second, None).lines)
    monkeypatch.setattr(local, "collect_slice", dies_on_the_second_slice)
    report, lines = run(archive, 2)
    assert report.unread == [archive]
    assert report.faults == [f"{archive}: a worker process died while reading it at byte offset {second.start}"]
    kept = urls(whole)
    first_lost = kept.index(lost[0])
    assert urls(lines) == kept[:first_lost] + kept[first_lost + len(lost):]
