"""The C++ sources keep the layout written down in .clang-format, the Python sources the style
written down in pyproject.toml's ruff settings, and the faults that scripts/mutate plants still
find the line they change and the tests that must catch them."""

import importlib.util
import re
import shutil
import subprocess
import sys

import pytest

from helpers import ROOT

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
    assert {folder for folder in SOURCE_FOLDERS if any(path.is_relative_to(ROOT / folder) for path in sources)} == set(
        SOURCE_FOLDERS)
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


def check_style(*arguments, text=None):
    """ruff's verdict on the project's Python: the completed process of `ruff check ARGUMENTS`."""
    if importlib.util.find_spec("ruff") is None:
        pytest.skip("ruff is not installed")
    return subprocess.run([sys.executable, "-m", "ruff", "check", "--no-cache", *arguments], cwd=ROOT, input=text,
                          capture_output=True, text=True)


def test_every_python_source_follows_the_style():
    result = check_style(".")
    assert result.returncode == 0, result.stdout + result.stderr


# What the settings must go on catching (and a line of exactly the width, which they must let
# pass), each planted into a test file given on standard input.
@pytest.mark.parametrize("planted, rule", [
    ("x = 1  # " + "a" * 111 + "\n", None),  # 120 characters
    ("x = 1  # " + "a" * 112 + "\n", "E501"),
    ("import os\n", "F401"),
    ("def f(items=[]):\n    return items\n", "B006"),
    ("x = 1 \n", "W291"),
], ids=["full-width-line", "long-line", "unused-import", "mutable-default", "trailing-space"])
def test_a_departure_from_the_style_is_reported(planted, rule):
    result = check_style("--stdin-filename", "tests/planted.py", "-", text=planted)
    if rule is None:
        assert result.returncode == 0, result.stdout + result.stderr
    else:
        assert result.returncode == 1 and rule in result.stdout, result.stdout + result.stderr


def test_every_planted_fault_finds_its_line_and_its_tests():
    """A fault whose line changed, or whose tests were renamed, would test nothing."""
    result = subprocess.run([sys.executable, ROOT / "scripts" / "mutate", "--list"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines and all(re.search(r": applies; (\d+ tests named|the whole suite)$", line) for line in lines), lines
