// Reading a module global the way the module's own code would, at the moment of use.
#pragma once

#include "ref.hpp"

namespace vornel::py {

// The module's dict first, then the built-ins; NameError as the interpreter words it.
Ref lookup_global(Borrowed module, Borrowed name);

} // namespace vornel::py
