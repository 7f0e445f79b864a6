// Data that urllib.parse keeps in module globals (scheme lists, character sets), compared by
// value without running any code of the objects compared.
#pragma once

#include "../pyapi/ref.hpp"

namespace vornel::inspector {

// Whether `value` is an exact str, bytes, int, float, bool or None, or an exact list, tuple,
// dict, set or frozenset of those: data whose comparison runs no code but the interpreter's.
bool is_plain_value(py::Borrowed value);

// What a plain value is later compared with: a copy of a container that can be changed in
// place, the value itself otherwise.
py::Ref plain_snapshot(py::Borrowed value);

// Whether `now` equals the plain value `before`. Only objects of exactly the types of a plain
// value are compared: any other object counts as different, whatever its __eq__ would say.
bool same_plain_value(py::Borrowed now, py::Borrowed before);

} // namespace vornel::inspector
