"""Best-of-N timing of several contenders on one page, in wall and CPU time, and the run's peak memory."""

import gc
import resource
import time


def time_once(run, html, url):
    """(wall seconds, CPU seconds) of one call."""
    gc.disable()  # as timeit does: a collection started by an earlier contender must not be billed here
    try:
        wall, cpu = time.perf_counter(), time.process_time()
        run(html, url)
        return time.perf_counter() - wall, time.process_time() - cpu
    finally:
        gc.enable()


def best_times(runs, html, url, repeat):
    """(wall, CPU) seconds per contender, each the best of repeat calls after one warm-up call. On a
    shared machine the CPU time is the steadier: other processes' work is not billed to it.

    Each contender runs as one block: collect garbage, warm up, then the timed calls. The
    warm-up matters beyond caches: after another contender's garbage is freed, the first
    call pays for taking memory back from the system, which would favour whoever runs later.
    """
    best = {}
    for name, run in runs.items():
        gc.collect()
        run(html, url)
        times = [time_once(run, html, url) for _ in range(repeat)]
        best[name] = (min(wall for wall, _ in times), min(cpu for _, cpu in times))
    return best


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # Linux reports KiB
