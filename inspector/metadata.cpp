// VornInspector._get_meta: the page's meta elements as one flat name -> content dict.
#include "methods.hpp"
#include "node_reading.hpp"
#include "nodes.hpp"
#include "walk_access.hpp"
#include "walk_records.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

Ref metadata_from_queries(const module_state& state, Borrowed document)
{
    Ref metadata = own(PyDict_New());
    Ref elements = select(state, document, state.select_meta);
    for_each(elements, [&](Borrowed element) {
        Ref attributes = attributes_of(state, element);
        Ref key = attribute(state, attributes, state.name);
        if (!is_true(key)) key = attribute(state, attributes, state.property);
        Ref content = attribute(state, attributes, state.content);
        if (is_true(key) && is_true(content)) set_item(metadata, key, content);
    });
    return metadata;
}

} // namespace

Ref metadata_from_walk(const lexbor_access& lexbor, const page_nodes& page)
{
    Ref metadata = own(PyDict_New());
    for (lexbor::node* element : page.metas) {
        const auto [name, property, content] = find_attributes<3>(
            lexbor, element, {attribute_name::name, attribute_name::property, attribute_name::content});
        const attribute_value& key = name.is_true() ? name : property;
        if (key.is_true() && content.is_true())
            set_item(metadata, decoded(key.text()).get(), decoded(content.text()).get());
    }
    return metadata;
}

Ref get_meta(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    instance_walk walk(state, args[0]);
    Ref document = document_of(state, args[0]);
    if (const page_nodes* page = walk.nodes(document)) return metadata_from_walk(walk.lexbor(), *page);
    return metadata_from_queries(state, document);
}

} // namespace vornel::inspector
