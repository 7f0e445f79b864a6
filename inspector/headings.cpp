// VornInspector._get_heading_hierarchy: the first fifteen headings of levels 1 to 3.
#include <algorithm>
#include <string>

#include "methods.hpp"
#include "node_reading.hpp"
#include "nodes.hpp"
#include "walk_access.hpp"
#include "walk_records.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

constexpr Py_ssize_t max_headings = 15;

Ref headings_from_queries(const module_state& state, Borrowed document)
{
    Ref headings = own(PyList_New(0));
    Ref elements = select(state, document, state.select_headings);
    // Every heading is recorded, also those past the fifteenth, so that an error in any of them
    // reaches the caller; only the first fifteen records are returned.
    for_each(elements, [&](Borrowed element) {
        Ref record = new_dict({
            {state.tag, call_method(get_attr(element, state.tag).get(), state.upper).get()},
            {state.text, element_text(state, element).get()},
        });
        require(PyList_Append(headings.get(), record.get()));
    });
    return own(PyList_GetSlice(headings.get(), 0, max_headings));
}

// The element's tag name upper-cased: H1, H2 or H3.
Ref heading_tag(const module_state& state, std::string_view name)
{
    if (name == "h1") return Ref::borrow(state.h1_tag);
    if (name == "h2") return Ref::borrow(state.h2_tag);
    if (name == "h3") return Ref::borrow(state.h3_tag);
    return upper_case(name, state.upper);
}

} // namespace

Ref headings_from_walk(const module_state& state, const lexbor_access& lexbor, const page_nodes& page)
{
    // Reading a heading cannot fail, so those past the fifteenth need not be read.
    const auto count = static_cast<Py_ssize_t>(std::min<std::size_t>(page.headings.size(), max_headings));
    Ref headings = own(PyList_New(count));
    std::string buffer;
    for (Py_ssize_t i = 0; i < count; ++i) {
        lexbor::node* element = page.headings[static_cast<std::size_t>(i)];
        Ref record = new_dict({
            {state.tag, heading_tag(state, lexbor.element_name(element)).get()},
            {state.text, stripped_text(element, lexbor.ids.text, buffer).get()},
        });
        PyList_SET_ITEM(headings.get(), i, record.release());
    }
    return headings;
}

Ref get_heading_hierarchy(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    instance_walk walk(state, args[0]);
    Ref document = document_of(state, args[0]);
    if (const page_nodes* page = walk.nodes(document)) return headings_from_walk(state, walk.lexbor(), *page);
    return headings_from_queries(state, document);
}

} // namespace vornel::inspector
