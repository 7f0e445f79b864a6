// Initialisation of vornel.onionprep: binds os, subprocess, time and loguru's logger, keeps
// the built-in open, and creates ensure_tor_env.
#include "../pyapi/function.hpp"
#include "ensure_tor_env.hpp"
#include "state.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

void add_import(Borrowed module, const char* name)
{
    Ref imported = own(PyImport_ImportModule(name));
    require(PyModule_AddObjectRef(module, name, imported.get()));
}

PyModuleDef onionprep_module = module_definition<module_state>::make("onionprep");

} // namespace

module_state::module_state(Borrowed module)
{
    intern_names(*this, interned_names);
    make_texts(*this, plain_texts);
    version_keywords = own(PyTuple_Pack(2, capture_output.get(), check.get()));
    probe_keywords = own(PyTuple_Pack(2, capture_output.get(), timeout.get()));
    daemon_keywords = own(PyTuple_Pack(4, stdin_.get(), stdout_.get(), stderr_.get(), start_new_session.get()));
    temporary_keywords = own(PyTuple_Pack(2, prefix.get(), dir.get()));
    exit_success = own(PyLong_FromLong(0));
    probe_time_limit = own(PyLong_FromLong(2));
    pause_after_kill = own(PyLong_FromLong(1));
    pause_between_probes = own(PyFloat_FromDouble(1.5));

    add_import(module, "os");
    add_import(module, "subprocess");
    add_import(module, "time");
    Ref loguru = own(PyImport_ImportModule("loguru"));
    Ref loguru_logger = own(PyObject_GetAttrString(loguru.get(), "logger"));
    require(PyModule_AddObjectRef(module, "logger", loguru_logger.get()));

    Ref builtins = own(PyImport_ImportModule("builtins"));
    open = own(PyObject_GetAttrString(builtins.get(), "open"));

    function_type = create_function_type(module);
    add_function(module, function_type, ensure_tor_env_spec);
}

} // namespace vornel::onionprep

PyMODINIT_FUNC PyInit_onionprep() { return PyModuleDef_Init(&vornel::onionprep::onionprep_module); }
