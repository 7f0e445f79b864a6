// The VornInspector class: an ordinary, subclassable class whose instances keep a __dict__
// for their public attributes and, natively, the page's count of JSON-LD blocks.
#pragma once

#include "state.hpp"

namespace vornel::inspector {

// Creates the class with its methods, in the order in which they are listed.
Ref create_inspector_type(Borrowed module, Borrowed function_type);

// Throws TypeError unless `self` is an instance of the class (or of a subclass).
void require_inspector(const module_state& state, Borrowed self, const char* method);

// The instance's JSON-LD count; `self` must be an instance of the class (TypeError otherwise).
Py_ssize_t json_ld_count(const module_state& state, Borrowed self, const char* method);
void set_json_ld_count(const module_state& state, Borrowed self, const char* method, Py_ssize_t count);

// The parser that the instance's constructor built for the walk to read, and the walk that the
// constructor kept of it (walk_access.hpp); each empty when there is none, also when `self` is
// not an instance of the class.
struct built_walk {
    Ref parser, walk;
};
built_walk built_parser(const module_state& state, Borrowed self);
void set_built_parser(const module_state& state, Borrowed self, const char* method, Borrowed parser,
                      Borrowed walk = nullptr);

} // namespace vornel::inspector
