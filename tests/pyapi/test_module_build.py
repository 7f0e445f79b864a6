"""The built package: the modules' shared-library dependencies, exports and multi-phase initialisation, and
the version written at build time."""

import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

import vornel.inspector

from helpers import ROOT, UNDER_SANITIZER
from helpers.modules import EXTENSION_MODULES, extension_modules, fresh_module

MODULES = extension_modules()
# glibc: libc, libpthread and the dynamic loader (ld-linux-x86-64.so.2, ld-linux-aarch64.so.1, ...),
# which the C++ runtime's thread-local data needs. The sanitizer build needs the sanitizer runtimes too.
GLIBC = {"libc.so.6", "libpthread.so.0"}
SANITIZER_RUNTIMES = {"libasan.so.8", "libubsan.so.1"} if UNDER_SANITIZER else set()


def is_allowed(library):
    return library in GLIBC | SANITIZER_RUNTIMES or re.fullmatch(r"ld-linux[-\w.]*\.so\.\d+", library) is not None


def readelf(option, module):
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    command = ["readelf", "-W", option, module.__file__]
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def test_the_list_of_extension_modules_names_every_module_the_package_holds():
    """The tests that go over every extension module take the list from helpers.modules."""
    package = pathlib.Path(vornel.inspector.__file__).parent
    built = {f"vornel.{path.name.partition('.')[0]}" for path in package.glob("*.so")}
    assert built == set(EXTENSION_MODULES)


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_needs_only_glibc(module):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", module))
    assert needed and all(is_allowed(library) for library in needed), needed


@pytest.mark.parametrize("library, allowed", [
    ("libc.so.6", True), ("ld-linux-x86-64.so.2", True), ("ld-linux-aarch64.so.1", True), ("ld-linux.so.3", True),
    ("libstdc++.so.6", False), ("libgcc_s.so.1", False), ("libm.so.6", False), ("ld-musl-x86_64.so.1", False),
])
def test_library_check_accepts_glibc_only(library, allowed):
    assert is_allowed(library) is allowed


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_exports_only_the_init_function(module):
    # columns: Num: Value Size Type Bind Vis Ndx Name
    rows = [line.split() for line in readelf("--dyn-syms", module).splitlines()]
    exported = [r[7] for r in rows if len(r) >= 8 and r[4] in ("GLOBAL", "WEAK") and r[6] != "UND"]
    assert exported == ["PyInit_" + module.__name__.rpartition(".")[2]]


def test_each_load_makes_an_independent_module():
    first, second = fresh_module(), fresh_module()
    assert len({vornel.inspector.VornInspector, first.VornInspector, second.VornInspector}) == 3
    first.urlparse = None
    assert second.VornInspector("", "http://host/").domain == "host"
    page = second.VornInspector('<meta name="a" content="b">', "")
    assert first.VornInspector._get_meta(page) == {"a": "b"}


def test_the_version_is_written_at_build_time_and_import_reads_no_metadata(tmp_path):
    code = "import sys, vornel; print(vornel.__version__, 'importlib.metadata' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True,
                            timeout=60)
    version = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    assert result.stdout.split() == [version, "False"]
