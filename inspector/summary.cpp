// VornInspector.get_summary: title, the five extractors, media and structure counts.
#include "inspector_type.hpp"
#include "methods.hpp"
#include "nodes.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// Runs an extractor looked up on the instance, so that a subclass's override is the one that runs.
Ref run_extractor(Borrowed self, Borrowed name) { return call_method(self, name); }

Ref page_title(module_state& state, Borrowed self)
{
    Ref element = call_method(document_of(state, self).get(), state.css_first.get(), state.select_title.get());
    if (element.get() == Py_None) return Ref::borrow(state.no_title.get());
    return element_text(state, element.get());
}

Ref media_record(module_state& state, Borrowed self)
{
    Ref elements = select(state, document_of(state, self).get(), state.select_img.get());
    Ref images = own(PyList_New(0));
    for_each(elements.get(), [&](Borrowed element) {
        Ref attributes = get_attr(element, state.attributes.get());
        Ref source = mapping_get(attributes.get(), state.src.get(), state.get.get());
        if (is_true(source.get())) require(PyList_Append(images.get(), source.get()));
    });
    Ref count = own(PyLong_FromSsize_t(require_size(PyObject_Length(elements.get()))));
    Ref media = own(PyDict_New());
    set_item(media.get(), state.images.get(), images.get());
    set_item(media.get(), state.count.get(), count.get());
    return media;
}

Ref match_count(module_state& state, Borrowed self, Borrowed selector)
{
    Ref elements = select(state, document_of(state, self).get(), selector);
    return own(PyLong_FromSsize_t(require_size(PyObject_Length(elements.get()))));
}

} // namespace

Ref get_summary(Borrowed module, PyObject* const* args)
{
    module_state& state = state_of(module);
    PyObject* self = args[0];
    Ref summary = own(PyDict_New());
    set_item(summary.get(), state.title.get(), page_title(state, self).get());
    set_item(summary.get(), state.metadata.get(), run_extractor(self, state.get_meta.get()).get());
    set_item(summary.get(), state.forms.get(), run_extractor(self, state.get_forms.get()).get());
    set_item(summary.get(), state.links.get(), run_extractor(self, state.get_links.get()).get());
    set_item(summary.get(), state.media.get(), media_record(state, self).get());

    Ref structure = own(PyDict_New());
    set_item(structure.get(), state.tables.get(), match_count(state, self, state.select_table.get()).get());
    Ref json_ld = own(PyLong_FromSsize_t(json_ld_count(state, self, "get_summary")));
    set_item(structure.get(), state.json_ld.get(), json_ld.get());
    set_item(structure.get(), state.lists.get(), match_count(state, self, state.select_lists.get()).get());
    set_item(structure.get(), state.headings.get(), run_extractor(self, state.get_heading_hierarchy.get()).get());
    set_item(structure.get(), state.detailed_tables.get(), run_extractor(self, state.get_tables_detailed.get()).get());
    set_item(summary.get(), state.structure.get(), structure.get());
    return summary;
}

} // namespace vornel::inspector
