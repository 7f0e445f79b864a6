// The bodies of VornInspector's methods.
#pragma once

#include "../pyapi/function.hpp"
#include "state.hpp"

namespace vornel::inspector {

Ref construct(Borrowed module, PyObject* const* args);
// The constructor's work on an instance: `html` is the page as the parser is given it.
void initialize(Borrowed module, const module_state& state, Borrowed self, Borrowed html, Borrowed url);
Ref get_summary(Borrowed module, PyObject* const* args);
Ref get_meta(Borrowed module, PyObject* const* args);
Ref get_forms(Borrowed module, PyObject* const* args);
Ref get_links(Borrowed module, PyObject* const* args);
Ref get_heading_hierarchy(Borrowed module, PyObject* const* args);
Ref get_tables_detailed(Borrowed module, PyObject* const* args);

// The module function _summarize_utf8, the crawl layer's private way in for UTF-8 pages.
extern const py::function_spec summarize_utf8_spec;

} // namespace vornel::inspector
