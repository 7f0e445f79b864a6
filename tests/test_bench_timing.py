"""The benchmark's timing: best of the timed calls, the warm-up call left out (no timing here)."""

from bench import timing


def test_best_times_skips_the_warm_up_and_keeps_the_fastest_call(monkeypatch):
    clock = [0.0]
    durations = iter([0.5, 3.0, 1.0, 2.0])  # the first call, the fastest, is the warm-up

    def run(html, url):
        clock[0] += next(durations)

    monkeypatch.setattr(timing.time, "perf_counter", lambda: clock[0])
    monkeypatch.setattr(timing.time, "process_time", lambda: clock[0] * 2)
    assert timing.best_times({"vornel": run}, "<p>", "https://example.com/", repeat=3) == {"vornel": (1.0, 2.0)}
