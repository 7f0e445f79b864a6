"""The built package: the modules' shared-library dependencies, exports and multi-phase initialisation, and
the version written at build time."""

import re
import shutil
import subprocess
import sys
import tomllib

import pytest

import vornel.inspector
import vornel.onionprep
from conftest import ROOT, UNDER_SANITIZER, fresh_module

MODULES = [vornel.inspector, vornel.onionprep]
# The sanitizer build needs the sanitizer runtimes as well.
ALLOWED = {"libc.so.6", "libpthread.so.0"} | ({"libasan.so.8", "libubsan.so.1"} if UNDER_SANITIZER else set())


def readelf(option, module):
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    command = ["readelf", "-W", option, module.__file__]
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_needs_only_libc_and_libpthread(module):
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", readelf("-d", module))
    assert needed and set(needed) <= ALLOWED


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
