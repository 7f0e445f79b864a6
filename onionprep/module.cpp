// Initialisation of vornel.onionprep: binds os, subprocess, time and loguru's logger, keeps
// the built-in open, and creates ensure_tor_env.
#include <new>

#include "../pyapi/function.hpp"
#include "../pyapi/module_state.hpp"
#include "ensure_tor_env.hpp"
#include "state.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

Ref text(const char* utf8) { return own(PyUnicode_InternFromString(utf8)); }

void make_constants(module_state& state)
{
    for (const state_text& entry : state_texts) state.*entry.member = text(entry.text);
    state.version_keywords = own(PyTuple_Pack(2, state.capture_output.get(), state.check.get()));
    state.probe_keywords = own(PyTuple_Pack(2, state.capture_output.get(), state.timeout.get()));
    state.daemon_keywords = own(
        PyTuple_Pack(4, state.stdin_.get(), state.stdout_.get(), state.stderr_.get(), state.start_new_session.get()));
    state.zero = own(PyLong_FromLong(0));
    state.one = own(PyLong_FromLong(1));
    state.two = own(PyLong_FromLong(2));
    state.one_and_a_half = own(PyFloat_FromDouble(1.5));
    state.owner_only = own(PyLong_FromLong(0600));
}

void add_import(Borrowed module, const char* name)
{
    Ref imported = own(PyImport_ImportModule(name));
    require(PyModule_AddObjectRef(module, name, imported.get()));
}

int onionprep_exec(PyObject* module) noexcept
{
    return status_boundary([&] {
        auto& state = *new (PyModule_GetState(module)) module_state{};
        make_constants(state);

        add_import(module, "os");
        add_import(module, "subprocess");
        add_import(module, "time");
        Ref loguru = own(PyImport_ImportModule("loguru"));
        Ref logger = own(PyObject_GetAttrString(loguru.get(), "logger"));
        require(PyModule_AddObjectRef(module, "logger", logger.get()));

        Ref builtins = own(PyImport_ImportModule("builtins"));
        state.open = own(PyObject_GetAttrString(builtins.get(), "open"));

        state.function_type = create_function_type(module);
        Ref function = make_function(state.function_type.get(), module, ensure_tor_env_spec);
        require(PyModule_AddObjectRef(module, ensure_tor_env_spec.name, function.get()));
    });
}

PyModuleDef_Slot onionprep_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(onionprep_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef onionprep_module = {
    PyModuleDef_HEAD_INIT,
    "onionprep",
    nullptr,
    sizeof(module_state),
    nullptr,
    onionprep_slots,
    module_state_support<module_state>::traverse,
    module_state_support<module_state>::clear,
    module_state_support<module_state>::free,
};

} // namespace

module_state& state_of(Borrowed module) { return *static_cast<module_state*>(PyModule_GetState(module)); }

} // namespace vornel::onionprep

PyMODINIT_FUNC PyInit_onionprep() { return PyModuleDef_Init(&vornel::onionprep::onionprep_module); }
