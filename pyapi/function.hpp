// A callable type for the package's functions and methods that behaves like a Python function:
// vectorcall, every parameter bindable by position or keyword, method binding on a class.
#pragma once

#include <cstddef>

#include "ref.hpp"

namespace vornel::py {

// What a parameter accepts; checked after all parameters are bound, in parameter order.
enum class accepts { anything, exact_str };

struct parameter {
    const char* name;
    accepts check = accepts::anything;
    const char* annotation = nullptr; // shown in __annotations__ when set
};

// Receives the module the function belongs to and one bound argument per parameter.
using function_body = Ref (*)(Borrowed module, PyObject* const* arguments);

inline constexpr std::size_t max_parameters = 4;

// Static description of one function; must outlive every function object made from it.
struct function_spec {
    const char* name;
    const char* qualname;
    const char* doc; // nullptr: __doc__ is None
    const parameter* parameters;
    std::size_t parameter_count;
    function_body body;
};

// The function type of one module; kept in that module's state.
Ref create_function_type(Borrowed module);

// A new function object of `function_type`, belonging to `module`.
Ref make_function(Borrowed module, Borrowed function_type, const function_spec& spec);

// The one way a module gets a function: made from `spec` and bound in the module as spec.name.
void add_function(Borrowed module, Borrowed function_type, const function_spec& spec);

} // namespace vornel::py
