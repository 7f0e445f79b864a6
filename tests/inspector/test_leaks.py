"""No leaks: construct-and-summarise cycles leave reference counts, and resident memory, where they were.

The long run is marked `soak` and left out of the default run:
    scripts/dev test -m soak -s       # prints the figures
"""

import gc
import os
import subprocess
import sys

import pytest

import vornel.inspector as inspector_module
from vornel.inspector import VornInspector

from helpers import UNDER_SANITIZER
from helpers.modules import query_path_module
from helpers.pages import AWKWARD_PAGE, read_page, real_pages

URL = "https://www.example.com/section/page.html"

# Names the module interns in its state; those the interpreter made immortal simply stay put.
INTERNED = [
    "parser", "url", "domain", "netloc", "css", "css_first", "decompose", "attributes", "_get_meta",
    "_get_links", "href", "action", "title", "detailed_tables", "internal",
]


class StrSubclass(str):
    pass


def long_lived_objects(module=inspector_module):
    inspector = module.VornInspector
    objects = {
        "urljoin": module.urljoin,
        "urlparse": module.urlparse,
        "LexborHTMLParser": module.LexborHTMLParser,
        "VornInspector": inspector,
        "module": module,
        **{f"VornInspector.{name}": inspector.__dict__[name] for name in ("__init__", "get_summary", "_get_links")},
    }
    objects.update((repr(name), sys.intern(name)) for name in INTERNED)
    # Fixed texts the module keeps and hands out in summaries.
    fixed = inspector("<table></table>", URL).get_summary()
    objects["text 'No Title'"] = fixed["title"]
    objects["text 'Generic/No Headers'"] = fixed["structure"]["detailed_tables"][0]["columns"][0]
    return objects


def reference_counts(objects):
    gc.collect()
    return {label: sys.getrefcount(obj) for label, obj in objects.items()}


def pages(limit_bytes=None):
    paths = [path for path in real_pages() if limit_bytes is None or path.stat().st_size <= limit_bytes]
    return [read_page(path) for path in paths] + [AWKWARD_PAGE]


def run_cycles(count, htmls, inspector=VornInspector):
    """Construct and summarise; every tenth cycle also fails a construction in each way it can fail."""
    for i in range(count):
        inspector(htmls[i % len(htmls)], URL).get_summary()
        if i % 10 == 0:
            for html, url in (("<p>", "http://[oops"), (b"<p>", URL), ("<p>", StrSubclass(URL))):
                try:
                    inspector(html, url)
                except (ValueError, TypeError):
                    pass
                else:
                    raise AssertionError("the construction should have failed")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def report(title, before, after):
    print(f"\n{title}")
    for label, count in before.items():
        note = " (immortal)" if count >= 2**31 else ""
        print(f"  {label:34} {count:>10} -> {after[label]}{note}")


def allocated_blocks():
    """The interpreter's memory blocks in use: the objects made for each page (attribute values,
    texts, URLs) are new ones, so a reference leaked to one of them shows here and nowhere else.
    0 when the interpreter allocates with malloc (under the sanitizer, whose leak check sees them)."""
    gc.collect()
    return sys.getallocatedblocks()


# The summary is made by the native walk, or by selector queries where the walk does not serve.
@pytest.mark.parametrize("path", ["native walk", "selector queries"])
def test_reference_counts_come_back_after_500_cycles(path):
    module = inspector_module if path == "native walk" else query_path_module()
    objects = long_lived_objects(module)
    htmls = pages(limit_bytes=64_000)
    run_cycles(50, htmls, module.VornInspector)
    before, blocks_before = reference_counts(objects), allocated_blocks()
    run_cycles(500, htmls, module.VornInspector)
    after, blocks_after = reference_counts(objects), allocated_blocks()
    report(f"reference counts over 500 cycles ({path})", before, after)
    print(f"  allocated blocks {blocks_before} -> {blocks_after}")
    assert after == before
    # The interpreter's own caches move by a few dozen; a page's leaked objects would be hundreds.
    assert blocks_after - blocks_before < 250


def link_heavy_page():
    """400 links through every road of the resolver: native, Python, skipped and malformed."""
    hrefs = ["/p{}", "q{}?x=1#f", "https://other{}.org/a/../b", "//cdn.example.com/{}.js", "../up/{}",
             "/a;p{}", "http://[oops{}", "mailto:x{}@example.com", "#s{}", "HTTPS://WWW.EXAMPLE.COM/{}"]
    return "".join(f'<a href="{hrefs[i % len(hrefs)].format(i)}">{i}</a>' for i in range(400))


@pytest.mark.soak
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads resident memory from /proc")
@pytest.mark.parametrize("page_set", ["corpus", "link-heavy"])
def test_soak_20000_cycles_keep_memory_and_reference_counts(page_set):
    objects = long_lived_objects()
    htmls = pages() if page_set == "corpus" else [link_heavy_page()]
    run_cycles(2 * len(htmls) + 200, htmls)
    before = reference_counts(objects)
    rss_before = resident_bytes()
    run_cycles(20_000, htmls)
    after = reference_counts(objects)
    rss_after = resident_bytes()
    growth = rss_after - rss_before
    report(f"soak over 20,000 cycles of {len(htmls)} pages", before, after)
    print(f"  resident memory: {rss_before / 2**20:.1f} MiB -> {rss_after / 2**20:.1f} MiB, "
          f"growth {growth / 2**10:.0f} KiB")
    assert after == before
    assert UNDER_SANITIZER or growth < 2 * 2**20  # its quarantine holds freed memory


def test_ensure_tor_env_200_calls_keep_memory_and_reference_counts(monkeypatch, tmp_path):
    import vornel.onionprep as onionprep
    from helpers.onion_fakes import Completed, FakeWorld, timeout_expired

    scenarios = [
        lambda: {"probes": [0]},  # proxy already up
        lambda: {"probes": [7, 7, 7, (0, b"203.0.113.5\n")]},  # restart, third bootstrap probe answers
        lambda: {"version": FileNotFoundError("tor"), "probes": [timeout_expired(), (0, b"\xff")]},  # all fail
    ]
    names = ("os", "subprocess", "time", "logger")
    for name in names:
        monkeypatch.setattr(onionprep, name, getattr(onionprep, name))  # restored afterwards

    def cycles(count):
        for i in range(count):
            world = FakeWorld(tmp_path, **scenarios[i % len(scenarios)]())
            for name in names:
                setattr(onionprep, name, getattr(world, name))
            assert onionprep.ensure_tor_env() is None
            if i % 2:
                os.remove(world.torrc)  # the next call writes the file again

    # A leaked result, exception or world keeps a reference to its class; the module's names are
    # immortal on 3.13, so a leaked container would show in the count of tracked objects instead.
    objects = {"ensure_tor_env": onionprep.ensure_tor_env, "module": onionprep, "FakeWorld": FakeWorld,
               "Completed": Completed, "TimeoutExpired": subprocess.TimeoutExpired,
               "FileNotFoundError": FileNotFoundError, "UnicodeDecodeError": UnicodeDecodeError}
    cycles(30)
    before, rss_before, tracked_before = reference_counts(objects), resident_bytes(), len(gc.get_objects())
    cycles(200)
    after, rss_after, tracked_after = reference_counts(objects), resident_bytes(), len(gc.get_objects())
    report("reference counts over 200 calls of ensure_tor_env", before, after)
    print(f"  resident memory growth {(rss_after - rss_before) / 2**10:.0f} KiB, "
          f"tracked objects {tracked_before} -> {tracked_after}")
    assert after == before
    assert tracked_after - tracked_before < 50
    assert UNDER_SANITIZER or rss_after - rss_before < 2 * 2**20  # its quarantine holds freed memory
