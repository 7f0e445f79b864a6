// VornInspector._get_forms: every form with its resolved action, method and named fields.
#include <vector>

#include "methods.hpp"
#include "node_reading.hpp"
#include "nodes.hpp"
#include "url_resolver.hpp"
#include "walk_access.hpp"
#include "walk_records.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// The record of a named field, or nothing for a field without a usable name.
Ref field_record(const module_state& state, Borrowed field)
{
    Ref attributes = attributes_of(state, field);
    Ref name = attribute(state, attributes, state.name);
    if (!is_true(name)) return Ref();
    return new_dict({
        {state.name, name},
        {state.type, attribute_or(state, attributes, state.type, state.text).get()},
        {state.placeholder, attribute_or(state, attributes, state.placeholder, state.empty).get()},
        {state.required, contains(attributes, state.required) ? Py_True : Py_False},
    });
}

Ref forms_from_queries(Borrowed module, const module_state& state, Borrowed self, Borrowed document)
{
    Ref forms = own(PyList_New(0));
    Ref elements = select(state, document, state.select_form);
    Ref page_url = get_attr(self, state.url);
    url_resolver resolver = url_resolver::for_form_actions(module, state, page_url);

    for_each(elements, [&](Borrowed form) {
        Ref attributes = attributes_of(state, form);
        Ref action = attribute_or(state, attributes, state.action, state.empty);
        Ref method = attribute_or(state, attributes, state.method, state.default_method);
        // A method attribute without a value means the default method, as browsers read it.
        if (method.get() == Py_None) method = Ref::borrow(state.default_method);

        Ref inputs = own(PyList_New(0));
        Ref record = new_dict({
            {state.action, resolver.join(action).get()},
            {state.method, call_method(method, state.upper).get()},
            {state.inputs, inputs},
        });
        Ref fields = select(state, form, state.select_fields);
        for_each(fields, [&](Borrowed field) {
            if (Ref input = field_record(state, field)) require(PyList_Append(inputs.get(), input.get()));
        });
        require(PyList_Append(forms.get(), record.get()));
    });
    return forms;
}

Ref field_record(const module_state& state, const lexbor_access& lexbor, lexbor::node* field)
{
    const auto [name, type, placeholder, required] = find_attributes<4>(
        lexbor, field,
        {attribute_name::name, attribute_name::type, attribute_name::placeholder, attribute_name::required});
    if (!name.is_true()) return Ref();
    return new_dict({
        {state.name, decoded(name.text()).get()},
        {state.type, attribute_object(type, state.text).get()},
        {state.placeholder, attribute_object(placeholder, state.empty).get()},
        {state.required, required.found ? Py_True : Py_False},
    });
}

// A form as read from the page, before its action is resolved.
struct form_values {
    Ref action, method, inputs;
};

} // namespace

Ref forms_from_walk(Borrowed module, const module_state& state, Borrowed self, const lexbor_access& lexbor,
                    const page_nodes& page)
{
    // Everything is read from the page before the first action is resolved, which may run Python code.
    std::vector<form_values> read;
    read.reserve(page.forms.size());
    for (const form_nodes& form : page.forms) {
        const auto [action, method] =
            find_attributes<2>(lexbor, form.form, {attribute_name::action, attribute_name::method});
        Ref inputs = own(PyList_New(0));
        for (lexbor::node* field : form.fields)
            if (Ref input = field_record(state, lexbor, field)) require(PyList_Append(inputs.get(), input.get()));
        // A method attribute without a value means the default method, as browsers read it.
        read.push_back(
            {attribute_object(action, state.empty),
             method.data != nullptr ? upper_case(method.text(), state.upper) : Ref::borrow(state.default_method),
             std::move(inputs)});
    }

    Ref page_url = get_attr(self, state.url);
    url_resolver resolver = url_resolver::for_form_actions(module, state, page_url);
    Ref forms = own(PyList_New(0));
    for (form_values& form : read) {
        Ref record = new_dict({
            {state.action, resolver.join(form.action).get()},
            {state.method, form.method},
            {state.inputs, form.inputs},
        });
        require(PyList_Append(forms.get(), record.get()));
    }
    return forms;
}

Ref get_forms(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    instance_walk walk(state, self);
    Ref document = document_of(state, self);
    if (const page_nodes* page = walk.nodes(document))
        return forms_from_walk(module, state, self, walk.lexbor(), *page);
    return forms_from_queries(module, state, self, document);
}

} // namespace vornel::inspector
