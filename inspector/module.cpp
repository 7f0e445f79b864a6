// Initialisation of vornel.inspector: binds its imports and creates VornInspector.
#include "../pyapi/function.hpp"
#include "inspector_type.hpp"
#include "methods.hpp"
#include "state.hpp"

namespace vornel::inspector {
namespace {

using namespace py;

// Binds `name` in the module to the attribute of the same name of `source`; returns the value.
Ref bind_from(Borrowed module, Borrowed source, const char* name)
{
    Ref value = own(PyObject_GetAttrString(source, name));
    require(PyModule_AddObjectRef(module, name, value.get()));
    return value;
}

// The function that the class itself defines under `name`.
Ref own_method(Borrowed type, Borrowed name) { return own(PyObject_GetAttr(type, name)); }

Ref import_url_library(Borrowed module)
{
    Ref urllib_parse = own(PyImport_ImportModule("urllib.parse"));
    bind_from(module, urllib_parse, "urljoin");
    bind_from(module, urllib_parse, "urlparse");
    return urllib_parse;
}

PyModuleDef inspector_module = module_definition<module_state>::make("inspector");

} // namespace

module_state::module_state(Borrowed module) : url_library(import_url_library(module).get())
{
    intern_names(*this, interned_names);
    make_texts(*this, plain_texts);
    skipped_link_prefixes = own(Py_BuildValue("(sss)", "#", "javascript:", "mailto:"));

    Ref lexbor = own(PyImport_ImportModule("selectolax.lexbor"));
    parser_type = bind_from(module, lexbor, "LexborHTMLParser");

    function_type = create_function_type(module);
    inspector_type = create_inspector_type(module, function_type);
    meta_function = own_method(inspector_type, get_meta);
    forms_function = own_method(inspector_type, get_forms);
    links_function = own_method(inspector_type, get_links);
    headings_function = own_method(inspector_type, get_heading_hierarchy);
    tables_function = own_method(inspector_type, get_tables_detailed);
    require(PyModule_AddObjectRef(module, "VornInspector", inspector_type.get()));
    add_function(module, function_type, summarize_utf8_spec);
}

} // namespace vornel::inspector

PyMODINIT_FUNC PyInit_inspector() { return PyModuleDef_Init(&vornel::inspector::inspector_module); }
