// VornInspector.__init__: parse the page, record its URL and domain, drop scripts and styles.
#include "../pyapi/globals.hpp"
#include "inspector_type.hpp"
#include "methods.hpp"
#include "nodes.hpp"
#include "walk_access.hpp"

namespace vornel::inspector {

using namespace py;

void initialize(Borrowed module, const module_state& state, Borrowed self, Borrowed html, Borrowed url)
{
    Ref document = call(lookup_global(module, state.LexborHTMLParser).get(), html);
    set_attr(self, state.parser, document);
    set_built_parser(state, self, "__init__", walkable_parser(state, document) ? document.get() : nullptr);
    set_attr(self, state.url, url);
    Ref urlparse = lookup_global(module, state.urlparse);
    // unchanged_since_import() drops answers that urllib.parse cached while it was changed, so
    // that the domain and the links resolved later come from the same urllib.parse.
    const bool library_unchanged =
        state.url_library.is_urlparse(urlparse) && state.url_library.unchanged_since_import();
    Ref parts = call(urlparse, url);
    if (library_unchanged) state.url_library.note_own_calls();
    set_attr(self, state.domain, get_attr(parts, state.netloc).get());

    Ref parsed = document_of(state, self);
    if (selectolax_parser* parser = walkable_parser(state, parsed); parser && parsed.get() == document.get()) {
        // The walk finds what the two queries below find; each removal counts as one change of
        // the tree, as selectolax's decompose() counts it.
        page_nodes page = walk_page(*state.lexbor, parser->document);
        set_json_ld_count(state, self, "__init__", page.json_ld);
        for (lexbor::node* element : page.scripts_and_styles) {
            remove_deep(*state.lexbor, element);
            ++parser->mutation_count;
        }
        // Taking out scripts and styles that hold nothing but text changes nothing else, so the
        // walk stays true for the summaries. An element inside one (SVG may put HTML there) could
        // make Lexbor update other parts of the tree as it goes.
        if (!page.scripts_hold_elements) {
            page.scripts_and_styles.clear();
            Ref kept = keep_walk(std::move(page), parser->mutation_count);
            set_built_parser(state, self, "__init__", document, kept);
        }
        return;
    }

    // JSON-LD blocks are scripts, so they are counted before the scripts go.
    Ref json_ld = select(state, document_of(state, self).get(), state.select_json_ld);
    set_json_ld_count(state, self, "__init__", length(json_ld));

    Ref scripts = select(state, document_of(state, self).get(), state.select_script_style);
    for_each(scripts, [&](Borrowed node) { call_method(node, state.decompose); });
}

Ref construct(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    require_inspector(state, args[0], "__init__");
    initialize(module, state, args[0], args[1], args[2]);
    return Ref::borrow(Py_None);
}

} // namespace vornel::inspector
