// VornInspector.get_summary: title, the five extractors, media and structure counts.
#include <string>

#include "inspector_type.hpp"
#include "methods.hpp"
#include "node_reading.hpp"
#include "nodes.hpp"
#include "walk_access.hpp"
#include "walk_records.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// Whether `method`, looked up on `self`, is the class's own `function` bound to `self`.
bool is_own_method(Borrowed method, const Ref& function, Borrowed self)
{
    return PyMethod_Check(method) && PyMethod_GET_FUNCTION(method.get()) == function.get() &&
           PyMethod_GET_SELF(method.get()) == self;
}

// Runs an extractor looked up on the instance, so that a subclass's override is the one that
// runs; the class's own is served from the walk when the walk may read the document.
template <class FromWalk>
Ref run_extractor(const module_state& state, Borrowed self, const Ref& name, const Ref& function, instance_walk& walk,
                  FromWalk&& from_walk)
{
    Ref method = get_attr(self, name);
    if (is_own_method(method, function, self))
        if (const page_nodes* page = walk.nodes(document_of(state, self).get())) return from_walk(*page);
    return own(PyObject_CallNoArgs(method.get()));
}

Ref page_title(const module_state& state, Borrowed self, instance_walk& walk)
{
    Ref document = document_of(state, self);
    if (const page_nodes* page = walk.nodes(document)) {
        if (page->title == nullptr) return Ref::borrow(state.no_title);
        std::string buffer;
        return stripped_text(page->title, walk.lexbor().ids.text, buffer);
    }
    Ref element = call_method(document, state.css_first, state.select_title);
    if (element.get() == Py_None) return Ref::borrow(state.no_title);
    return element_text(state, element);
}

Ref media_record(const module_state& state, Borrowed self, instance_walk& walk)
{
    Ref document = document_of(state, self);
    Ref images = own(PyList_New(0));
    Py_ssize_t count = 0;
    if (const page_nodes* page = walk.nodes(document)) {
        for (lexbor::node* element : page->images) {
            const attribute_value source = find_attribute(walk.lexbor(), element, attribute_name::src);
            if (source.is_true()) require(PyList_Append(images.get(), decoded(source.text()).get()));
        }
        count = static_cast<Py_ssize_t>(page->images.size());
    } else {
        Ref elements = select(state, document, state.select_img);
        for_each(elements, [&](Borrowed element) {
            Ref source = attribute(state, attributes_of(state, element).get(), state.src);
            if (is_true(source)) require(PyList_Append(images.get(), source.get()));
        });
        count = length(elements);
    }
    return new_dict({{state.images, images}, {state.count, new_int(count).get()}});
}

// The number of tables (lists) of the page.
Ref match_count(const module_state& state, Borrowed self, instance_walk& walk, const Ref& selector)
{
    Ref document = document_of(state, self);
    if (const page_nodes* page = walk.nodes(document))
        return new_int(selector.get() == state.select_table.get() ? static_cast<Py_ssize_t>(page->table_headers.size())
                                                                  : page->lists);
    return new_int(length(select(state, document, selector).get()));
}

} // namespace

Ref get_summary(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    instance_walk walk(state, self);
    // In this order: an extractor that raises leaves the later ones uncalled.
    Ref title = page_title(state, self, walk);
    Ref metadata = run_extractor(state, self, state.get_meta, state.meta_function, walk,
                                 [&](const page_nodes& page) { return metadata_from_walk(walk.lexbor(), page); });
    Ref forms = run_extractor(state, self, state.get_forms, state.forms_function, walk, [&](const page_nodes& page) {
        return forms_from_walk(module, state, self, walk.lexbor(), page);
    });
    Ref links = run_extractor(state, self, state.get_links, state.links_function, walk, [&](const page_nodes& page) {
        return links_from_walk(module, state, self, walk.lexbor(), page);
    });
    Ref media = media_record(state, self, walk);
    Ref tables = match_count(state, self, walk, state.select_table);
    Ref json_ld = new_int(json_ld_count(state, self, "get_summary"));
    Ref lists = match_count(state, self, walk, state.select_lists);
    Ref headings =
        run_extractor(state, self, state.get_heading_hierarchy, state.headings_function, walk,
                      [&](const page_nodes& page) { return headings_from_walk(state, walk.lexbor(), page); });
    Ref detailed_tables =
        run_extractor(state, self, state.get_tables_detailed, state.tables_function, walk,
                      [&](const page_nodes& page) { return tables_from_walk(state, walk.lexbor(), page); });
    Ref structure = new_dict({
        {state.tables, tables},
        {state.json_ld, json_ld},
        {state.lists, lists},
        {state.headings, headings},
        {state.detailed_tables, detailed_tables},
    });
    return new_dict({
        {state.title, title},
        {state.metadata, metadata},
        {state.forms, forms},
        {state.links, links},
        {state.media, media},
        {state.structure, structure},
    });
}

} // namespace vornel::inspector
