// VornInspector.get_summary: title, the five extractors, media and structure counts.
#include "inspector_type.hpp"
#include "methods.hpp"
#include "nodes.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// Runs an extractor looked up on the instance, so that a subclass's override is the one that runs.
Ref run_extractor(Borrowed self, const Ref& name) { return call_method(self, name.get()); }

Ref page_title(const module_state& state, Borrowed self)
{
    Ref element = call_method(document_of(state, self).get(), state.css_first.get(), state.select_title.get());
    if (element.get() == Py_None) return Ref::borrow(state.no_title.get());
    return element_text(state, element.get());
}

Ref media_record(const module_state& state, Borrowed self)
{
    Ref elements = select(state, document_of(state, self).get(), state.select_img.get());
    Ref images = own(PyList_New(0));
    for_each(elements.get(), [&](Borrowed element) {
        Ref source = attribute(state, attributes_of(state, element).get(), state.src);
        if (is_true(source.get())) require(PyList_Append(images.get(), source.get()));
    });
    return new_dict({{state.images.get(), images.get()}, {state.count.get(), new_int(length(elements.get())).get()}});
}

Ref match_count(const module_state& state, Borrowed self, const Ref& selector)
{
    return new_int(length(select(state, document_of(state, self).get(), selector.get()).get()));
}

} // namespace

Ref get_summary(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    return new_dict({
        {state.title.get(), page_title(state, self).get()},
        {state.metadata.get(), run_extractor(self, state.get_meta).get()},
        {state.forms.get(), run_extractor(self, state.get_forms).get()},
        {state.links.get(), run_extractor(self, state.get_links).get()},
        {state.media.get(), media_record(state, self).get()},
        {state.structure.get(), new_dict({
            {state.tables.get(), match_count(state, self, state.select_table).get()},
            {state.json_ld.get(), new_int(json_ld_count(state, self, "get_summary")).get()},
            {state.lists.get(), match_count(state, self, state.select_lists).get()},
            {state.headings.get(), run_extractor(self, state.get_heading_hierarchy).get()},
            {state.detailed_tables.get(), run_extractor(self, state.get_tables_detailed).get()},
        }).get()},
    });
}

} // namespace vornel::inspector
