// Initialisation of vornel.inspector: binds its imports and creates VornInspector.
#include <new>

#include "../pyapi/calls.hpp"
#include "../pyapi/function.hpp"
#include "../pyapi/module_state.hpp"
#include "inspector_type.hpp"
#include "state.hpp"
#include "url_resolver.hpp"

namespace vornel::inspector {
namespace {

using namespace py;

// Binds `name` in the module to the attribute of the same name of `source`.
void bind_from(Borrowed module, Borrowed source, const char* name)
{
    Ref value = own(PyObject_GetAttrString(source, name));
    require(PyModule_AddObjectRef(module, name, value.get()));
}

int inspector_exec(PyObject* module) noexcept
{
    return status_boundary([&] {
        auto& state = *new (PyModule_GetState(module)) module_state{};
        for (const interned_text& entry : interned_texts)
            state.*entry.member = own(PyUnicode_InternFromString(entry.text));
        state.skipped_link_prefixes = own(Py_BuildValue("(sss)", "#", "javascript:", "mailto:"));

        Ref urllib_parse = own(PyImport_ImportModule("urllib.parse"));
        bind_from(module, urllib_parse.get(), "urljoin");
        bind_from(module, urllib_parse.get(), "urlparse");
        state.url_library_snapshot = snapshot_url_library(urllib_parse.get());
        state.urllib_parse = std::move(urllib_parse);
        Ref lexbor = own(PyImport_ImportModule("selectolax.lexbor"));
        bind_from(module, lexbor.get(), "LexborHTMLParser");

        state.function_type = create_function_type(module);
        state.inspector_type = create_inspector_type(module, state);
        require(PyModule_AddObjectRef(module, "VornInspector", state.inspector_type.get()));
    });
}

PyModuleDef_Slot inspector_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(inspector_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef inspector_module = {
    PyModuleDef_HEAD_INIT,
    "inspector",
    nullptr,
    sizeof(module_state),
    nullptr,
    inspector_slots,
    module_state_support<module_state>::traverse,
    module_state_support<module_state>::clear,
    module_state_support<module_state>::free,
};

} // namespace

module_state& state_of(Borrowed module) { return *static_cast<module_state*>(PyModule_GetState(module)); }

} // namespace vornel::inspector

PyMODINIT_FUNC PyInit_inspector() { return PyModuleDef_Init(&vornel::inspector::inspector_module); }
