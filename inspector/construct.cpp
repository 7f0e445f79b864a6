// VornInspector.__init__: parse the page, record its URL and domain, drop scripts and styles.
#include "../pyapi/globals.hpp"
#include "inspector_type.hpp"
#include "methods.hpp"
#include "nodes.hpp"

namespace vornel::inspector {

using namespace py;

Ref construct(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* self = args[0];
    PyObject* html = args[1];
    PyObject* url = args[2];
    require_inspector(state, self, "__init__");

    Ref document = call(lookup_global(module, state.LexborHTMLParser.get()).get(), html);
    set_attr(self, state.parser.get(), document.get());
    set_attr(self, state.url.get(), url);
    Ref urlparse = lookup_global(module, state.urlparse.get());
    // holds() drops answers that urllib.parse cached while it was changed, so that the domain
    // and the links resolved later come from the same urllib.parse.
    const bool sound = state.url_library.is_urlparse(urlparse.get()) && state.url_library.holds();
    Ref parts = call(urlparse.get(), url);
    if (sound) state.url_library.note_own_calls();
    set_attr(self, state.domain.get(), get_attr(parts.get(), state.netloc.get()).get());

    // JSON-LD blocks are scripts, so they are counted before the scripts go.
    Ref json_ld = select(state, document_of(state, self).get(), state.select_json_ld.get());
    set_json_ld_count(state, self, "__init__", length(json_ld.get()));

    Ref scripts = select(state, document_of(state, self).get(), state.select_script_style.get());
    for_each(scripts.get(), [&](Borrowed node) { call_method(node, state.decompose.get()); });
    return Ref::borrow(Py_None);
}

} // namespace vornel::inspector
