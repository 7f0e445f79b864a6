"""The native URL joiner on its own: a C++ driver, compiled here with the sanitizers, against urllib.parse."""

import itertools
import os
import shutil
import subprocess
from pathlib import Path
from urllib.parse import urljoin, urlparse

import pytest

from helpers import ROOT

JOINER_SOURCES = [Path(__file__).with_name("plain_url_join_driver.cpp"), ROOT / "inspector" / "plain_url_join.cpp"]


@pytest.fixture(scope="module")
def joiner(tmp_path_factory):
    """join(base, reference) -> (url, netloc, is_reference) or None, by the compiled joiner."""
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not installed")
    program = tmp_path_factory.mktemp("joiner") / "plain_url_join_driver"
    # The sanitizers are linked in; the preloaded runtime of scripts/sanitize is left out of both steps.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    subprocess.run([compiler, "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror", "-fsanitize=address,undefined",
                    "-fno-sanitize-recover=all", "-I", str(ROOT / "inspector"), *map(str, JOINER_SOURCES),
                    "-o", str(program)], check=True, env=environment, timeout=300)

    def encode(text):
        return text.encode("utf-8").hex() or "_"

    def decode(field):
        return "" if field == "_" else bytes.fromhex(field).decode("ascii")

    def join_all(cases):
        lines = "".join(f"{encode(base)} {encode(reference)}\n" for base, reference in cases)
        result = subprocess.run([str(program)], input=lines, capture_output=True, text=True, env=environment,
                                timeout=120)
        assert result.returncode == 0, result.stderr
        answers = result.stdout.splitlines()
        assert len(answers) == len(cases)
        return [None if answer == "-" else (decode(answer.split()[0]), decode(answer.split()[1]),
                                            answer.split()[2] == "1") for answer in answers]

    return join_all


@pytest.mark.parametrize("base, reference, url, netloc", [
    ("https://h/a/b/c", "..", "https://h/a/", "h"),  # a trailing .. keeps its slash
    ("https://h/a/b/c", "../..", "https://h/", "h"),
    ("https://h/a/b/c", ".", "https://h/a/b/", "h"),
    ("https://h/a/b", "../../../../x", "https://h/x", "h"),
    ("https://h/a/b", "/x/./y/../z", "https://h/x/z", "h"),  # dot segments of an absolute path go
    ("https://h/a/b", "/x/y", "https://h/x/y", "h"),
    ("https://h/a/b", "//other/./x/../y", "https://other/./x/../y", "other"),  # but not after a netloc
    ("https://h/a", "//other?q=1", "https://other?q=1", "other"),  # the netloc ends at ?
    ("https://h/a", "//other#f", "https://other#f", "other"),  # and at #
    ("https://h?x=/y", "z", "https://h/z", "h"),
    ("https://u:p@Host.Example:8080/a/", "b", "https://u:p@Host.Example:8080/a/b", "u:p@Host.Example:8080"),
    ("HTTP://Host.Example/a/b", "c", "http://Host.Example/a/c", "Host.Example"),  # the scheme lower-cased
    ("https://h/a/b", "HTTPS:y", "https://h/a/y", "h"),
    ("https://h/a/b?q#f", "?", "https://h/a/b?q", "h"),  # an empty query keeps the base's
    ("https://h/a/b?q#f", "#g", "https://h/a/b?q#g", "h"),
    ("https://h/a/b", "x?#", "https://h/a/x", "h"),  # empty query and fragment dropped
    ("https://h/a//b", "c", "https://h/a/c", "h"),  # no doubled slash from the base's empty segment
    ("https://h", "a", "https://h/a", "h"),
    ("https://h/a", "%2e%2e/b", "https://h/%2e%2e/b", "h"),  # encoded dots are no dot segments
    ("https://h/a", "//", "https://h/a", "h"),
])
def test_joins_as_urllib_does(joiner, base, reference, url, netloc):
    assert (urljoin(base, reference), urlparse(urljoin(base, reference)).netloc) == (url, netloc)
    assert joiner([(base, reference)]) == [(url, netloc, False)]


@pytest.mark.parametrize("base, reference, netloc", [
    ("https://h/a", "http://other/x", "other"),
    ("http://h/a", "https:x", ""),
    ("https://h/a", "ftp://files.example/x", "files.example"),
    ("https://h/a", "tel:+100", ""),
])
def test_another_scheme_hands_back_the_reference(joiner, base, reference, netloc):
    assert urljoin(base, reference) is reference
    assert joiner([(base, reference)]) == [(reference, netloc, True)]


@pytest.mark.parametrize("base, reference", [
    ("https://h/a", ""), ("https://h/a", " b"), ("https://h/a", "b\tc"), ("https://h/a", "b\x00"),
    ("https://h/a", "b\x7f"), ("https://h/a", "/a;p"), ("https://h/a", "//[::1]/"), ("https://h/a", "é"),
    ("", "b"), ("https://h/a;p", "b"), ("https:/a", "b"), ("ftp://h/a", "b"), ("//h/a", "b"), ("a/b", "c"),
    ("https://[::1]/a", "b"), ("\x01https://h/a", "b"),
])
def test_declines_what_urlsplit_strips_removes_or_treats_specially(joiner, base, reference):
    assert joiner([(base, reference)]) == [None]


def test_every_short_reference_under_awkward_bases(joiner):
    pieces = [".", "..", "/", "?", "#", ":", "//", "%2e", "a", "B:", "x.y"]
    references = ["".join(parts) for length in (1, 2, 3) for parts in itertools.product(pieces, repeat=length)]
    bases = ["https://h", "https://h/", "https://u@h:1/a/b?q#f", "http://h/a/b/", "HTTPS://H/a/./b/../c?"]
    cases = [(base, reference) for base in bases for reference in references]
    answers = joiner(cases)
    assert sum(answer is not None for answer in answers) > 0.9 * len(cases)
    for (base, reference), answer in zip(cases, answers, strict=True):
        if answer is not None:
            url = urljoin(base, reference)
            assert answer[:2] == (url, urlparse(url).netloc), (base, reference)
