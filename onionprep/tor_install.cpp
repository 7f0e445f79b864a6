// Phase 1: `tor --version`, and the package manager's install command when that fails.
#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {

using namespace py;

void ensure_tor_installed(Borrowed module, const module_state& state)
{
    // Any Exception means "no usable tor": not found, not executable, or a non-zero status
    // (check=True). The exception itself is not looked at.
    const bool present = completes_unless_exception([&] {
        Ref run = global_attribute(module, state.subprocess, state.run);
        Ref command = new_list({state.tor.get(), state.version_flag.get()});
        call_with_keywords(run.get(), {command.get()}, state.version_keywords.get(), {Py_True, Py_True});
    });
    if (present) return;

    log(module, state, state.warning, state.tor_missing.get());
    Ref path = global_attribute(module, state.os, state.path);
    const bool termux = is_true(call_method(path.get(), state.exists.get(), state.termux_directory.get()).get());
    Ref system = global_attribute(module, state.os, state.system);
    // The installer talks to the user's terminal; its status is not checked here, since a
    // failed installation shows when tor is started.
    call(system.get(), termux ? state.termux_install.get() : state.debian_install.get());
}

} // namespace vornel::onionprep
