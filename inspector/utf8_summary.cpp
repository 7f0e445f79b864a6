// vornel.inspector._summarize_utf8(page, url): the crawl layer's way in for a page that is UTF-8
// bytes. selectolax parses bytes as UTF-8, and a str by encoding it to UTF-8 first, so valid
// bytes give the parser exactly what the decoded text would, without decoding them to a str
// and encoding that back.
#include <iterator>

#include "../pyapi/function.hpp"
#include "../pyapi/globals.hpp"
#include "inspector_type.hpp"
#include "methods.hpp"
#include "utf8.hpp"

namespace vornel::inspector {

namespace {

using namespace py;

// VornInspector(page.decode(), url).get_summary(), or None when the page is not valid UTF-8 or
// the module's parser class is not selectolax's own (which alone is sure to take bytes the same
// way): then the caller decodes the page and makes the summary from the text.
Ref summarize_utf8(Borrowed module, PyObject* const* args)
{
    const module_state& state = state_of(module);
    PyObject* page = args[0];
    if (!PyBytes_CheckExact(page)) {
        PyErr_Format(PyExc_TypeError, "Argument 'page' has incorrect type (expected bytes, got %.200s)",
                     Py_TYPE(page)->tp_name);
        throw python_error{};
    }
    const std::string_view bytes(PyBytes_AS_STRING(page), static_cast<std::size_t>(PyBytes_GET_SIZE(page)));
    if (!state.lexbor || lookup_global(module, state.LexborHTMLParser).get() != state.parser_type.get() ||
        !is_valid_utf8(bytes))
        return Ref::borrow(Py_None);

    auto* type = reinterpret_cast<PyTypeObject*>(state.inspector_type.get());
    Ref self = own(type->tp_alloc(type, 0));
    initialize(module, state, self, page, args[1]);
    PyObject* summary_args[] = {self.get()};
    return get_summary(module, summary_args);
}

constexpr parameter summarize_parameters[] = {{"page"}, {"url", accepts::exact_str, "str"}};

} // namespace

const function_spec summarize_utf8_spec = {
    "_summarize_utf8", "_summarize_utf8", nullptr, summarize_parameters, std::size(summarize_parameters),
    summarize_utf8,
};

} // namespace vornel::inspector
