// The module's one function, ensure_tor_env().
#pragma once

#include "../pyapi/function.hpp"

namespace vornel::onionprep {

extern const py::function_spec ensure_tor_env_spec;

} // namespace vornel::onionprep
