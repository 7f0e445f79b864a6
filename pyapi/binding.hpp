// Binding vectorcall arguments to parameters, with the interpreter's error texts.
#pragma once

#include "function.hpp"

namespace vornel::py {

// Fills bound[0..spec.parameter_count) with borrowed arguments, or throws with TypeError set.
void bind_arguments(const function_spec& spec, PyObject* const* parameter_names, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** bound);

} // namespace vornel::py
