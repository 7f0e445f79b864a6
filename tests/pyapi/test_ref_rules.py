"""pyapi/ref.hpp: the uses of references that compile, and the mistakes that must not."""

import os
import shutil
import subprocess
import sysconfig

import pytest

from helpers import ROOT

DECLARATIONS = """#include "ref.hpp"
using namespace vornel::py;
void lend(Borrowed object);
Ref make();
PyObject* object();
"""


@pytest.mark.parametrize("body, compiles", [
    ("Ref named = make(); lend(named);", True),  # a Ref with a name is lent as it is
    ("lend(make().get());", True),  # a temporary's object, said so, for the call only
    ("lend(object()); Ref taken = Ref::borrow(object()); Ref mine = Ref::steal(object());", True),
    ("Ref named = make(); Ref again = Ref::borrow(named);", True),
    ("lend(make());", False),  # a temporary Ref is no Borrowed...
    ("Borrowed dangling = make();", False),  # ...since it could outlive the statement
    ("const Ref made = make(); lend(std::move(made));", False),
    ("Ref named = make(); Py_DECREF(named);", False),  # an owned reference never reaches Py_DECREF by itself
    ("Ref named = make(); PyObject* raw = named;", False),
    ("Ref named = make(); Ref twice = Ref::steal(named);", False),  # stealing what a Ref owns
    ("Borrowed lent = object(); Ref stolen = Ref::steal(lent);", False),  # or what was lent
    ("Borrowed lent = object(); Ref stolen = own(lent);", False),
    ("Ref named = make(); Ref copy = named;", False),  # one owner
], ids=lambda value: value if isinstance(value, str) else None)
def test_reference_rules_are_enforced_by_the_compiler(tmp_path, body, compiles):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not installed")
    source = tmp_path / "use.cpp"
    source.write_text(DECLARATIONS + "#include <utility>\nvoid use()\n{\n    " + body + "\n}\n")
    # The preloaded sanitizer runtime of scripts/sanitize is left out.
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    result = subprocess.run([compiler, "-std=c++20", "-fsyntax-only", "-I", sysconfig.get_paths()["include"],
                             "-I", str(ROOT / "pyapi"), str(source)], capture_output=True, text=True,
                            env=environment, timeout=120)
    assert (result.returncode == 0) is compiles, result.stderr
