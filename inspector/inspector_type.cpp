// The VornInspector class and the native part of its instances.
#include "inspector_type.hpp"

#include <atomic>
#include <iterator>

#include "../pyapi/compat.hpp"
#include "../pyapi/function.hpp"
#include "methods.hpp"

namespace vornel::inspector {
namespace {

using py::accepts;
using py::function_spec;
using py::own;
using py::parameter;
using py::python_error;
using py::require;

struct inspector_object {
    PyObject_HEAD
#if PY_VERSION_HEX < 0x030C0000
    PyObject* dict;
    PyObject* weakrefs;
#endif
    // Written by __init__, read by get_summary; atomic so that threads without a GIL agree.
    Py_ssize_t json_ld;
    // The parser that __init__ built when the walk may read it, else null, and the walk that
    // __init__ took of it (a capsule), kept while it holds; guarded by the object's critical section.
    PyObject* built_parser;
    PyObject* kept_walk;
};

int inspector_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<inspector_object*>(self)->built_parser);
    Py_VISIT(reinterpret_cast<inspector_object*>(self)->kept_walk);
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_VisitManagedDict(self, visit, arg);
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyObject_VisitManagedDict(self, visit, arg);
#else
    Py_VISIT(reinterpret_cast<inspector_object*>(self)->dict);
    return 0;
#endif
}

int inspector_clear(PyObject* self) noexcept
{
    Py_CLEAR(reinterpret_cast<inspector_object*>(self)->built_parser);
    Py_CLEAR(reinterpret_cast<inspector_object*>(self)->kept_walk);
#if PY_VERSION_HEX >= 0x030D0000
    PyObject_ClearManagedDict(self);
#elif PY_VERSION_HEX >= 0x030C0000
    _PyObject_ClearManagedDict(self);
#else
    Py_CLEAR(reinterpret_cast<inspector_object*>(self)->dict);
#endif
    return 0;
}

void inspector_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    inspector_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

#if PY_VERSION_HEX < 0x030C0000
PyMemberDef inspector_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(inspector_object, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(inspector_object, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#endif

PyGetSetDef inspector_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot inspector_slots[] = {
    {Py_tp_getset, inspector_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(inspector_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(inspector_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(inspector_dealloc)},
#if PY_VERSION_HEX < 0x030C0000
    {Py_tp_members, inspector_members},
#endif
    {0, nullptr},
};

PyType_Spec inspector_spec = {
    "vornel.inspector.VornInspector",
    sizeof(inspector_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC
#if PY_VERSION_HEX >= 0x030C0000
        | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF
#endif
    ,
    inspector_slots,
};

constexpr parameter self_only[] = {{"self"}};
constexpr parameter construct_parameters[] = {
    {"self"},
    {"html", accepts::exact_str, "str"},
    {"url", accepts::exact_str, "str"},
};

// The class's methods, in the order in which the class defines them.
constexpr function_spec methods[] = {
    {"__init__", "VornInspector.__init__", nullptr, construct_parameters, std::size(construct_parameters), construct},
    {"get_summary", "VornInspector.get_summary", nullptr, self_only, std::size(self_only), get_summary},
    {"_get_meta", "VornInspector._get_meta", nullptr, self_only, std::size(self_only), get_meta},
    {"_get_forms", "VornInspector._get_forms", nullptr, self_only, std::size(self_only), get_forms},
    {"_get_links", "VornInspector._get_links", nullptr, self_only, std::size(self_only), get_links},
    {"_get_heading_hierarchy", "VornInspector._get_heading_hierarchy", "Maps out the heading tree on the page",
     self_only, std::size(self_only), get_heading_hierarchy},
    {"_get_tables_detailed", "VornInspector._get_tables_detailed", "Finds table headers so user knows the data columns",
     self_only, std::size(self_only), get_tables_detailed},
};

inspector_object* as_inspector(const module_state& state, Borrowed self, const char* method)
{
    auto* type = reinterpret_cast<PyTypeObject*>(state.inspector_type.get());
    if (!PyObject_TypeCheck(self, type)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a 'VornInspector' object but received '%.100s'", method,
                     Py_TYPE(self)->tp_name);
        throw python_error{};
    }
    return reinterpret_cast<inspector_object*>(self.get());
}

} // namespace

Ref create_inspector_type(Borrowed module, Borrowed function_type)
{
    Ref type = own(PyType_FromModuleAndSpec(module, &inspector_spec, nullptr));
    for (const function_spec& spec : methods) {
        Ref method = py::make_function(module, function_type, spec);
        require(PyObject_SetAttrString(type.get(), spec.name, method.get()));
    }
    return type;
}

void require_inspector(const module_state& state, Borrowed self, const char* method)
{
    as_inspector(state, self, method);
}

Py_ssize_t json_ld_count(const module_state& state, Borrowed self, const char* method)
{
    return std::atomic_ref(as_inspector(state, self, method)->json_ld).load(std::memory_order_relaxed);
}

void set_json_ld_count(const module_state& state, Borrowed self, const char* method, Py_ssize_t count)
{
    std::atomic_ref(as_inspector(state, self, method)->json_ld).store(count, std::memory_order_relaxed);
}

built_walk built_parser(const module_state& state, Borrowed self)
{
    built_walk built;
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(state.inspector_type.get()))) return built;
    auto* inspector = reinterpret_cast<inspector_object*>(self.get());
    Py_BEGIN_CRITICAL_SECTION(self);
    built.parser = Ref::borrow(inspector->built_parser);
    built.walk = Ref::borrow(inspector->kept_walk);
    Py_END_CRITICAL_SECTION();
    return built;
}

void set_built_parser(const module_state& state, Borrowed self, const char* method, Borrowed parser, Borrowed walk)
{
    inspector_object* inspector = as_inspector(state, self, method);
    Ref old_parser, old_walk;
    Py_BEGIN_CRITICAL_SECTION(self);
    old_parser = Ref::steal(inspector->built_parser);
    old_walk = Ref::steal(inspector->kept_walk);
    inspector->built_parser = Py_XNewRef(parser);
    inspector->kept_walk = Py_XNewRef(walk);
    Py_END_CRITICAL_SECTION();
}

} // namespace vornel::inspector
