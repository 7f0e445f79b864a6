// Reaching os, subprocess, time and logger through the module namespace at each use.
#pragma once

#include "../pyapi/calls.hpp"
#include "../pyapi/globals.hpp"
#include "state.hpp"

namespace vornel::onionprep {

// `global.attribute`, with `global` looked up in the module namespace now.
inline Ref global_attribute(Borrowed module, const Ref& global, const Ref& attribute)
{
    return py::get_attr(py::lookup_global(module, global).get(), attribute);
}

// logger.<level>(message); the logger's answer is not used.
inline void log(Borrowed module, const module_state& state, const Ref& level, Borrowed message)
{
    static_cast<void>(py::call_method(py::lookup_global(module, state.logger).get(), level, message));
}

} // namespace vornel::onionprep
