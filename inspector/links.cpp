// VornInspector._get_links: the page's link targets, resolved and split into internal and external.
#include <string_view>
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

// Fragments, scripts and mail addresses are not links to pages; the test is case-sensitive.
bool is_skipped(const module_state& state, Borrowed href)
{
    if (!PyUnicode_Check(href)) return is_true(call_method(href, state.startswith, state.skipped_link_prefixes).get());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(href);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(state.skipped_link_prefixes.get()); ++i)
        if (require(PyUnicode_Tailmatch(href, PyTuple_GET_ITEM(state.skipped_link_prefixes.get(), i), 0, length, -1)))
            return true;
    return false;
}

// The same test on the UTF-8 bytes: the prefixes are ASCII, which bytes that do not decode
// never become.
bool is_skipped(std::string_view href)
{
    return href.starts_with("#") || href.starts_with("javascript:") || href.starts_with("mailto:");
}

// Each URL once, in the order in which it first occurs.
class url_list {
public:
    url_list() : list_(own(PyList_New(0))), seen_(own(PySet_New(nullptr))) {}

    void add(Borrowed url)
    {
        if (require(PySet_Contains(seen_.get(), url))) return;
        require(PySet_Add(seen_.get(), url));
        require(PyList_Append(list_.get(), url));
    }
    const Ref& list() const { return list_; }

private:
    Ref list_, seen_;
};

// Resolves hrefs against the instance's `url` and keeps each in the list it belongs to: internal
// when the instance's `domain` occurs in its network location.
class link_lists {
public:
    link_lists(Borrowed module, const module_state& state, Borrowed self)
        : state_(state), page_url_(get_attr(self, state.url)), domain_(get_attr(self, state.domain)),
          resolver_(url_resolver::for_links(module, state, page_url_))
    {
    }

    void add(Borrowed href)
    {
        const std::optional<resolved_url> target = resolver_.resolve(href);
        if (!target) return; // a malformed link on somebody else's page must not spoil the summary
        (contains(target->netloc, domain_) ? internal_ : external_).add(target->url);
    }

    Ref result() const { return new_dict({{state_.internal, internal_.list()}, {state_.external, external_.list()}}); }

private:
    const module_state& state_;
    Ref page_url_, domain_;
    url_resolver resolver_;
    url_list internal_, external_;
};

Ref links_from_queries(Borrowed module, const module_state& state, Borrowed self, Borrowed document)
{
    Ref elements = select(state, document, state.select_a);
    link_lists links(module, state, self);
    for_each(elements, [&](Borrowed element) {
        Ref href = attribute(state, attributes_of(state, element).get(), state.href);
        if (is_true(href) && !is_skipped(state, href)) links.add(href);
    });
    return links.result();
}

} // namespace

Ref links_from_walk(Borrowed module, const module_state& state, Borrowed self, const lexbor_access& lexbor,
                    const page_nodes& page)
{
    // Every href is read from the page before the first is resolved, which may run Python code.
    std::vector<Ref> hrefs;
    hrefs.reserve(page.anchors.size());
    for (lexbor::node* anchor : page.anchors) {
        const attribute_value href = find_attribute(lexbor, anchor, attribute_name::href);
        if (href.is_true() && !is_skipped(href.text())) hrefs.push_back(decoded(href.text()));
    }
    link_lists links(module, state, self);
    for (const Ref& href : hrefs) links.add(href);
    return links.result();
}

Ref get_links(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    instance_walk walk(state, self);
    Ref document = document_of(state, self);
    if (const page_nodes* page = walk.nodes(document))
        return links_from_walk(module, state, self, walk.lexbor(), *page);
    return links_from_queries(module, state, self, document);
}

} // namespace vornel::inspector
