// The bodies of VornInspector's methods.
#pragma once

#include "state.hpp"

namespace vornel::inspector {

Ref construct(Borrowed module, PyObject* const* args);
Ref get_summary(Borrowed module, PyObject* const* args);
Ref get_meta(Borrowed module, PyObject* const* args);
Ref get_forms(Borrowed module, PyObject* const* args);
Ref get_links(Borrowed module, PyObject* const* args);
Ref get_heading_hierarchy(Borrowed module, PyObject* const* args);
Ref get_tables_detailed(Borrowed module, PyObject* const* args);

} // namespace vornel::inspector
