// The function type: a heap type per module whose instances bind like Python functions.
#include "function.hpp"

#include <new>
#include <string>

#include "binding.hpp"
#include "compat.hpp"
#include "references.hpp"

namespace vornel::py {
namespace {

// What a function object owns besides its header; built whole before the object exists.
struct function_data {
    function_data(Borrowed module, const function_spec& spec);

    const function_spec* spec;
    Ref module;         // the module whose globals the body reads
    Ref name;           // __name__
    Ref qualname;       // __qualname__
    Ref module_name;    // __module__
    Ref doc;            // __doc__
    Ref annotations;    // __annotations__, a dict the caller may change
    Ref text_signature; // "(self, html, url)", read by inspect.signature
    Ref parameter_names[max_parameters];

    template <class Visit>
    void for_each_reference(Visit&& visit)
    {
        for (Ref* ref : {&module, &name, &qualname, &module_name, &doc, &annotations, &text_signature}) visit(*ref);
        for (Ref& ref : parameter_names) visit(ref);
    }
};

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    function_data data; // constructed by make_function, destroyed by function_dealloc
};

function_object* as_function(PyObject* self) { return reinterpret_cast<function_object*>(self); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    return object_boundary([&] {
        const function_data& self = as_function(callable)->data;
        PyObject* names[max_parameters];
        for (std::size_t i = 0; i < self.spec->parameter_count; ++i) names[i] = self.parameter_names[i].get();
        PyObject* bound[max_parameters];
        bind_arguments(*self.spec, names, args, PyVectorcall_NARGS(nargsf), kwnames, bound);
        return self.spec->body(self.module, bound).release();
    });
}

// Found on an instance, a function becomes a bound method; found on the class, itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    Py_VISIT(Py_TYPE(self));
    return visit_references(as_function(self)->data, visit, arg);
}

int function_clear(PyObject* self) noexcept
{
    clear_references(as_function(self)->data);
    return 0;
}

void function_dealloc(PyObject* self) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_function(self)->data.~function_data();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->data.qualname.get(), self);
}

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->data.name.get()); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->data.qualname.get()); }
PyObject* get_module(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->data.module_name.get()); }
PyObject* get_doc(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->data.doc.get()); }
PyObject* get_annotations(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->data.annotations.get());
}
PyObject* get_text_signature(PyObject* self, void*) noexcept
{
    return Py_NewRef(as_function(self)->data.text_signature.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(function_object, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    "vornel.function",
    sizeof(function_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

Ref interned(const char* text) { return own(PyUnicode_InternFromString(text)); }

std::string text_signature_of(const function_spec& spec)
{
    std::string text = "(";
    for (std::size_t i = 0; i < spec.parameter_count; ++i) {
        if (i != 0) text += ", ";
        text += spec.parameters[i].name;
    }
    return text + ")";
}

Ref annotations_of(const function_spec& spec, const Ref (&parameter_names)[max_parameters])
{
    Ref annotations = own(PyDict_New());
    for (std::size_t i = 0; i < spec.parameter_count; ++i) {
        if (spec.parameters[i].annotation == nullptr) continue;
        Ref annotation = own(PyUnicode_FromString(spec.parameters[i].annotation));
        require(PyDict_SetItem(annotations.get(), parameter_names[i].get(), annotation.get()));
    }
    return annotations;
}

function_data::function_data(Borrowed module, const function_spec& spec)
    : spec(&spec), module(Ref::borrow(module)), name(interned(spec.name)), qualname(interned(spec.qualname)),
      module_name(own(PyModule_GetNameObject(module))),
      doc(spec.doc != nullptr ? own(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None))
{
    if (spec.parameter_count > max_parameters) {
        PyErr_SetString(PyExc_SystemError, "vornel: too many parameters");
        throw python_error{};
    }
    for (std::size_t i = 0; i < spec.parameter_count; ++i) parameter_names[i] = interned(spec.parameters[i].name);
    annotations = annotations_of(spec, parameter_names);
    const std::string signature = text_signature_of(spec);
    text_signature = own(PyUnicode_FromStringAndSize(signature.data(), static_cast<Py_ssize_t>(signature.size())));
}

} // namespace

Ref create_function_type(Borrowed module)
{
    return own(PyType_FromModuleAndSpec(module, &function_type_spec, nullptr));
}

Ref make_function(Borrowed module, Borrowed function_type, const function_spec& spec)
{
    // Everything that can fail happens before the object exists, so that its dealloc only ever
    // meets a whole function_data.
    function_data data(module, spec);
    auto* self = PyObject_GC_New(function_object, reinterpret_cast<PyTypeObject*>(function_type.get()));
    if (self == nullptr) throw python_error{};
    self->vectorcall = function_vectorcall;
    new (&self->data) function_data(std::move(data));
    PyObject_GC_Track(self);
    return Ref::steal(reinterpret_cast<PyObject*>(self));
}

void add_function(Borrowed module, Borrowed function_type, const function_spec& spec)
{
    Ref function = make_function(module, function_type, spec);
    require(PyModule_AddObjectRef(module, spec.name, function.get()));
}

} // namespace vornel::py
