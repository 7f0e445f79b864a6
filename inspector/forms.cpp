// VornInspector._get_forms: every form with its resolved action, method and named fields.
#include "methods.hpp"
#include "nodes.hpp"
#include "url_resolver.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// The record of a named field, or nothing for a field without a usable name.
Ref field_record(const module_state& state, Borrowed field)
{
    Ref attributes = attributes_of(state, field);
    Ref name = attribute(state, attributes.get(), state.name);
    if (!is_true(name.get())) return Ref();
    return new_dict({
        {state.name.get(), name.get()},
        {state.type.get(), attribute_or(state, attributes.get(), state.type, state.text).get()},
        {state.placeholder.get(), attribute_or(state, attributes.get(), state.placeholder, state.empty).get()},
        {state.required.get(), contains(attributes.get(), state.required.get()) ? Py_True : Py_False},
    });
}

} // namespace

Ref get_forms(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    Ref forms = own(PyList_New(0));
    Ref elements = select(state, document_of(state, self).get(), state.select_form.get());
    Ref page_url = get_attr(self, state.url.get());
    url_resolver resolver = url_resolver::for_form_actions(state, module, page_url.get());

    for_each(elements.get(), [&](Borrowed form) {
        Ref attributes = attributes_of(state, form);
        Ref action = attribute_or(state, attributes.get(), state.action, state.empty);
        Ref method = attribute_or(state, attributes.get(), state.method, state.get_method);
        // A method attribute without a value means the default method, as browsers read it.
        if (method.get() == Py_None) method = Ref::borrow(state.get_method.get());

        Ref inputs = own(PyList_New(0));
        Ref record = new_dict({
            {state.action.get(), resolver.join(action.get()).get()},
            {state.method.get(), call_method(method.get(), state.upper.get()).get()},
            {state.inputs.get(), inputs.get()},
        });
        Ref fields = select(state, form, state.select_fields.get());
        for_each(fields.get(), [&](Borrowed field) {
            if (Ref input = field_record(state, field)) require(PyList_Append(inputs.get(), input.get()));
        });
        require(PyList_Append(forms.get(), record.get()));
    });
    return forms;
}

} // namespace vornel::inspector
