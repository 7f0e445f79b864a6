"""Best-of-N timing of several contenders on one page, and the run's peak memory."""

import gc
import resource
import time


def time_once(run, html, url):
    gc.disable()  # as timeit does: a collection started by an earlier contender must not be billed here
    try:
        start = time.perf_counter()
        run(html, url)
        return time.perf_counter() - start
    finally:
        gc.enable()


def best_times(runs, html, url, repeat):
    """Seconds per contender: the best of repeat calls after one warm-up call.

    Each contender runs as one block: collect garbage, warm up, then the timed calls. The
    warm-up matters beyond caches: after another contender's garbage is freed, the first
    call pays for taking memory back from the system, which would favour whoever runs later.
    """
    best = {}
    for name, run in runs.items():
        gc.collect()
        run(html, url)
        best[name] = min(time_once(run, html, url) for _ in range(repeat))
    return best


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # Linux reports KiB
