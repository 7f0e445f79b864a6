"""The benchmark's --check mode: do the contenders compute the summary that the plain Python model computes?"""

import project_paths  # noqa: F401  (the plain Python model's folder on the path)
from pages import PAGE_URL, read_page
from summary_model import PurePythonInspector


def differing_keys(summary, expected):
    return [key for key in expected if summary.get(key) != expected[key]]


def check(pages, inspectors, must_match):
    """Print the summary keys in which each contender differs from the model, page by page.

    Returns False when a contender named in must_match differs on any page; the others
    (BeautifulSoup, which parses differently) are only reported.
    """
    inspectors = {name: cls for name, cls in inspectors.items() if cls is not PurePythonInspector}
    mismatches = dict.fromkeys(inspectors, 0)
    for _, path in pages:
        html = read_page(path)
        expected = PurePythonInspector(html, PAGE_URL).get_summary()
        for name, inspector_class in inspectors.items():
            keys = differing_keys(inspector_class(html, PAGE_URL).get_summary(), expected)
            if keys:
                mismatches[name] += 1
                print(f"{path.name}: {name} differs in {', '.join(keys)}")
    for name, count in mismatches.items():
        verdict = "must match" if name in must_match else "for information"
        print(f"{name}: {len(pages) - count} of {len(pages)} pages identical to the model ({verdict})")
    return not any(mismatches.get(name) for name in must_match)
