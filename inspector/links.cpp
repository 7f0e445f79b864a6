// VornInspector._get_links: the page's link targets, resolved and split into internal and external.
#include "methods.hpp"
#include "nodes.hpp"
#include "url_resolver.hpp"

namespace vornel::inspector {

using namespace py;

namespace {

// Fragments, scripts and mail addresses are not links to pages; the test is case-sensitive.
bool is_skipped(const module_state& state, Borrowed href)
{
    if (!PyUnicode_Check(href))
        return is_true(call_method(href, state.startswith.get(), state.skipped_link_prefixes.get()).get());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(href);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state.skipped_link_prefixes.get()); ++i)
        if (require(PyUnicode_Tailmatch(href, PyTuple_GET_ITEM(state.skipped_link_prefixes.get(), i), 0, length, -1)))
            return true;
    return false;
}

} // namespace

Ref get_links(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    Ref internal = own(PySet_New(nullptr));
    Ref external = own(PySet_New(nullptr));
    Ref elements = select(state, document_of(state, self).get(), state.select_a.get());
    Ref page_url = get_attr(self, state.url.get());
    Ref domain = get_attr(self, state.domain.get());
    url_resolver resolver = url_resolver::for_links(state, module, page_url.get());

    for_each(elements.get(), [&](Borrowed element) {
        Ref href = attribute(state, attributes_of(state, element).get(), state.href);
        if (!is_true(href.get()) || is_skipped(state, href.get())) return;
        const std::optional<resolved_url> target = resolver.resolve(href.get());
        if (!target) return; // a malformed link on somebody else's page must not spoil the summary
        Borrowed kind = contains(target->netloc.get(), domain.get()) ? internal.get() : external.get();
        require(PySet_Add(kind, target->url.get()));
    });

    return new_dict({
        {state.internal.get(), own(PySequence_List(internal.get())).get()},
        {state.external.get(), own(PySequence_List(external.get())).get()},
    });
}

} // namespace vornel::inspector
