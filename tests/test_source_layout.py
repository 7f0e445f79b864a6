"""The C++ sources keep the layout written down in .clang-format, and the faults that
scripts/mutate plants still find the line they change and the tests that must catch them."""

import re
import shutil
import subprocess
import sys

import pytest

from conftest import ROOT

SOURCE_FOLDERS = ["pyapi", "inspector", "onionprep", "tests"]
# Debian 12's release, which CI installs; other releases lay some constructs out differently.
CLANG_FORMAT_MAJOR = 14


def cpp_sources():
    return sorted(path for folder in SOURCE_FOLDERS for path in (ROOT / folder).rglob("*.[ch]pp"))


def check_layout(*arguments, text=None):
    """clang-format's verdict: the completed process of `clang-format --dry-run --Werror ARGUMENTS`."""
    tool = shutil.which("clang-format")
    if tool is None:
        pytest.skip("clang-format is not installed")
    version = subprocess.run([tool, "--version"], capture_output=True, text=True, check=True).stdout
    major = re.search(r"version (\d+)\.", version)
    if major is None or int(major[1]) != CLANG_FORMAT_MAJOR:
        pytest.skip(f"the layout is checked with clang-format {CLANG_FORMAT_MAJOR}, not {version.strip()}")
    return subprocess.run([tool, "--dry-run", "--Werror", *arguments], input=text, capture_output=True, text=True)


def test_every_cpp_source_follows_the_layout():
    sources = cpp_sources()
    assert {path.parent.name for path in sources} == set(SOURCE_FOLDERS)
    result = check_layout(*map(str, sources))
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("before, after", [
    ("\n{\n", " {\n"),  # a function's brace on the line of its name
    ("\n    ", "\n  "),  # two spaces of indentation
], ids=["brace", "indent"])
def test_a_change_of_layout_is_reported(before, after):
    path = ROOT / "pyapi" / "ref.hpp"
    text = path.read_text()
    assert before in text
    result = check_layout(f"--assume-filename={path}", text=text.replace(before, after, 1))
    assert result.returncode != 0 and "ref.hpp" in result.stderr


def test_every_planted_fault_finds_its_line_and_its_tests():
    """A fault whose line changed, or whose tests were renamed, would test nothing."""
    result = subprocess.run([sys.executable, ROOT / "scripts" / "mutate", "--list"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines and all(re.search(r": applies; (\d+ tests named|the whole suite)$", line) for line in lines), lines
