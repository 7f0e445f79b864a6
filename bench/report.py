"""Tables of a benchmark run: per-page times, medians, vornel's ratios, and a before/after comparison."""

from statistics import median

MS = 1000


def headline_pages(pages):
    """The pages the headline figures are taken over, and their name: the corpus when present, else all."""
    corpus = [page for page in pages if page["group"] == "corpus"]
    return (corpus, "corpus") if corpus else (pages, "all")


def median_time(pages, name, clock="seconds"):
    return median(page[clock][name] for page in pages)


def vornel_ratios(pages, other, clock="seconds"):
    """vornel's time over other's: (the median of per-page ratios, the ratio of the medians); `clock`
    is "seconds" for wall time or "cpu_seconds" for CPU time."""
    per_page = median(page[clock]["vornel"] / page[clock][other] for page in pages)
    return per_page, median_time(pages, "vornel", clock) / median_time(pages, other, clock)


def speedups(before, after):
    """Per common page (name, before s, after s, before/after) of vornel, and the median speed-up."""
    earlier = {page["name"]: page["seconds"]["vornel"] for page in before["pages"]}
    rows = [(page["name"], earlier[page["name"]], page["seconds"]["vornel"])
            for page in after["pages"] if page["name"] in earlier]
    rows = [(name, old, new, old / new) for name, old, new in rows]
    return rows, median(row[3] for row in rows) if rows else None


def print_run(run):
    pages, names = run["pages"], run["contenders"]
    others = names[1:]
    header = f"{'page':<40}{'KB':>6}" + "".join(f"{name:>12}" for name in names) + "".join(
        f"{'v/' + name:>14}" for name in others)
    print(f"times in ms, best of {run['repeat']} after a warm-up; v/X = vornel time / X time")
    print(header)
    print("-" * len(header))

    def row(label, kb, times, ratios):
        print(f"{label[:39]:<40}{kb:6.0f}" + "".join(f"{times[name] * MS:12.3f}" for name in names)
              + "".join(f"{ratios[name]:14.3f}" for name in others))

    for page in pages:
        seconds = page["seconds"]
        row(page["name"], page["kb"], seconds, {name: seconds["vornel"] / seconds[name] for name in others})
    print("-" * len(header))
    headline, label = headline_pages(pages)
    groups = [("all", pages)] + ([(label, headline)] if len(headline) < len(pages) else [])
    clocks = [("seconds", "")] + ([("cpu_seconds", "CPU, ")] if all("cpu_seconds" in page for page in pages) else [])
    for clock, prefix in clocks:
        for group_label, group in groups:
            row(f"median ({prefix}{group_label}, {len(group)} pages)", median(page["kb"] for page in group),
                {name: median_time(group, name, clock) for name in names},
                {name: vornel_ratios(group, name, clock)[0] for name in others})
    for clock, prefix in clocks:
        print(f"\nover the {label} pages ({len(headline)}), {'CPU' if prefix else 'wall'} time:")
        for other in others:
            per_page, of_medians = vornel_ratios(headline, other, clock)
            print(f"  vornel / {other:<12} median of per-page ratios {per_page:6.3f}   "
                  f"ratio of medians {of_medians:6.3f}")
    if "floor" in names:
        print("  target: vornel / floor <= 1.3 (median of per-page ratios)")
    if "queries" in names and "pure-python" in names:
        # No implementation that runs these queries can be faster than they are.
        bound = median(page["seconds"]["pure-python"] / page["seconds"]["queries"] for page in headline)
        print(f"  pure-python / queries  median of per-page ratios {bound:6.3f}   (the most any build can gain "
              f"over pure-python while it runs the same queries)")
    print(f"\npeak resident memory of the run: {run['peak_rss_mb']:.0f} MB")
    print(f"python {run['python']}, selectolax {run['selectolax']}, vornel from {run['vornel']}")


def print_comparison(before, after):
    rows, median_speedup = speedups(before, after)
    if not rows:
        raise SystemExit("the two runs share no page")
    print(f"vornel before: {before['vornel']}\nvornel after:  {after['vornel']}\n")
    print(f"{'page':<40}{'before ms':>12}{'after ms':>12}{'speed-up':>10}")
    for name, old, new, speedup in rows:
        print(f"{name[:39]:<40}{old * MS:12.3f}{new * MS:12.3f}{speedup:10.2f}")
    old_median = median(row[1] for row in rows)
    new_median = median(row[2] for row in rows)
    print(f"\nmedian speed-up over {len(rows)} pages: {median_speedup:.2f} "
          f"(ratio of medians {old_median / new_median:.2f})")
    # The parse floor does not depend on the build; if it moved, the machine's load changed between the runs.
    names = {row[0] for row in rows}
    floors = [median(page["seconds"]["floor"] for page in run["pages"] if page["name"] in names)
              for run in (before, after)]
    print(f"median parse floor, a check on the machine's load: {floors[0] * MS:.3f} ms before, "
          f"{floors[1] * MS:.3f} ms after")
