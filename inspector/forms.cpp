// VornInspector._get_forms: every form with its resolved action, method and named fields.
#include "methods.hpp"
#include "nodes.hpp"
#include "url_resolver.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// The record of a named field, or nothing for a field without a usable name.
Ref field_record(module_state& state, Borrowed field)
{
    Ref attributes = get_attr(field, state.attributes.get());
    Ref name = mapping_get(attributes.get(), state.name.get(), state.get.get());
    if (!is_true(name.get())) return Ref();
    Ref record = own(PyDict_New());
    set_item(record.get(), state.name.get(), name.get());
    set_item(record.get(), state.type.get(),
             mapping_get(attributes.get(), state.type.get(), state.text.get(), state.get.get()).get());
    set_item(record.get(), state.placeholder.get(),
             mapping_get(attributes.get(), state.placeholder.get(), state.empty.get(), state.get.get()).get());
    set_item(record.get(), state.required.get(), contains(attributes.get(), state.required.get()) ? Py_True : Py_False);
    return record;
}

} // namespace

Ref get_forms(Borrowed module, PyObject* const* args)
{
    module_state& state = state_of(module);
    PyObject* self = args[0];
    Ref forms = own(PyList_New(0));
    Ref elements = select(state, document_of(state, self).get(), state.select_form.get());
    Ref page_url = get_attr(self, state.url.get());
    const url_resolver resolver(state, module, page_url.get(), false);

    for_each(elements.get(), [&](Borrowed form) {
        Ref attributes = get_attr(form, state.attributes.get());
        Ref action = mapping_get(attributes.get(), state.action.get(), state.empty.get(), state.get.get());
        Ref method = mapping_get(attributes.get(), state.method.get(), state.get_method.get(), state.get.get());
        // A method attribute without a value means the default method, as browsers read it.
        if (method.get() == Py_None) method = Ref::borrow(state.get_method.get());

        Ref record = own(PyDict_New());
        set_item(record.get(), state.action.get(), resolver.join(action.get()).get());
        set_item(record.get(), state.method.get(), call_method(method.get(), state.upper.get()).get());
        Ref inputs = own(PyList_New(0));
        set_item(record.get(), state.inputs.get(), inputs.get());

        Ref fields = select(state, form, state.select_fields.get());
        for_each(fields.get(), [&](Borrowed field) {
            if (Ref input = field_record(state, field)) require(PyList_Append(inputs.get(), input.get()));
        });
        require(PyList_Append(forms.get(), record.get()));
    });
    return forms;
}

} // namespace vornel::inspector
