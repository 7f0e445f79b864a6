"""The benchmark's arithmetic: best-of timing, vornel's ratios, before/after speed-ups (no timing here)."""

import sys

from conftest import ROOT

sys.path.insert(0, str(ROOT / "bench"))
import pages as bench_pages  # noqa: E402
import report  # noqa: E402
import timing  # noqa: E402


def page(name, group="corpus", **seconds):
    return {"name": name, "group": group, "kb": 1.0, "seconds": seconds}


def test_best_times_skips_the_warm_up_and_keeps_the_fastest_call(monkeypatch):
    clock = [0.0]
    durations = iter([0.5, 3.0, 1.0, 2.0])  # the first call, the fastest, is the warm-up

    def run(html, url):
        clock[0] += next(durations)

    monkeypatch.setattr(timing.time, "perf_counter", lambda: clock[0])
    assert timing.best_times({"vornel": run}, "<p>", "https://example.com/", repeat=3) == {"vornel": 1.0}


def test_ratios_are_vornel_over_the_other_as_median_of_ratios_and_ratio_of_medians():
    pages = [page("a", vornel=1.0, floor=4.0), page("b", vornel=2.0, floor=1.0), page("c", vornel=9.0, floor=3.0)]
    per_page, of_medians = report.vornel_ratios(pages, "floor")
    assert per_page == 2.0  # ratios 0.25, 2, 3
    assert of_medians == 2.0 / 3.0


def test_headline_figures_use_the_corpus_when_it_is_there():
    corpus, sample = page("a", vornel=1.0), page("sample.html", group="project", vornel=1.0)
    assert report.headline_pages([corpus, sample]) == ([corpus], "corpus")
    assert report.headline_pages([sample]) == ([sample], "all")


def test_speed_up_is_before_over_after_on_the_pages_both_runs_have():
    before = {"pages": [page("a", vornel=4.0), page("b", vornel=3.0), page("gone", vornel=1.0)]}
    after = {"pages": [page("a", vornel=1.0), page("b", vornel=3.0), page("new", vornel=1.0)]}
    rows, median_speedup = report.speedups(before, after)
    assert rows == [("a", 4.0, 1.0, 4.0), ("b", 3.0, 3.0, 1.0)]
    assert median_speedup == 2.5


def test_pages_come_corpus_first_and_the_project_sample_is_included():
    found = bench_pages.find_pages()
    groups = [group for group, _ in found]
    assert groups == sorted(groups)  # "corpus" < "project"
    assert ("project", ROOT / "examples" / "pages" / "sample.html") in found
    assert bench_pages.find_pages("sample.html") == [("project", ROOT / "examples" / "pages" / "sample.html")]
