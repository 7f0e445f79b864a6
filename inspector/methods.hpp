// The bodies of VornInspector's methods.
#pragma once

#include "state.hpp"

namespace vornel::inspector {

Ref construct(Borrowed module, PyObject* const* args);
Ref get_meta(Borrowed module, PyObject* const* args);

} // namespace vornel::inspector
