// Phase 1: `tor --version`, and the package manager's install command when that fails.
#include <csignal>

#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

// Whether the wait status that os.system returned says Ctrl-C (SIGINT) or Ctrl-\ (SIGQUIT)
// ended the installer: the shell was killed by one of them, or it exited with 128 + its number,
// as a shell or sudo does whose own child the signal ended. Windows has no wait statuses;
// there Ctrl-C reaches the interpreter itself.
bool ended_by_interrupt([[maybe_unused]] Borrowed status)
{
#ifdef _WIN32
    return false;
#else
    if (!PyLong_Check(status)) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(status, &overflow);
    if (overflow != 0 || value < 0 || value > 0xFFFF) return false; // -1: the shell never ran
    const int wait_status = static_cast<int>(value);
    for (const int signal : {SIGINT, SIGQUIT})
        if ((WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == signal) ||
            (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 128 + signal))
            return true;
    return false;
#endif
}

} // namespace

void ensure_tor_installed(Borrowed module, const module_state& state)
{
    // Any Exception means "no usable tor": not found, not executable, or a non-zero status
    // (check=True). The exception itself is not looked at.
    const bool present = completes_unless_exception([&] {
        Ref run = global_attribute(module, state.subprocess, state.run);
        Ref command = new_list({state.tor, state.version_flag});
        call_with_keywords(run, {command}, state.version_keywords, {Py_True, Py_True});
    });
    if (present) return;

    log(module, state, state.warning, state.tor_missing);
    Ref path = global_attribute(module, state.os, state.path);
    const bool termux = is_true(call_method(path, state.exists, state.termux_directory).get());
    Ref system = global_attribute(module, state.os, state.system);
    Ref status = call(system, termux ? state.termux_install : state.debian_install);
    // os.system ignores SIGINT and SIGQUIT in this process while the installer runs, so a
    // Ctrl-C or Ctrl-\ at the terminal ends only the installer. Stop here as the interpreter would have, before the
    // configuration is written or any tor is killed. Any other failed installation shows when
    // tor is started.
    if (ended_by_interrupt(status)) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw python_error{};
    }
}

} // namespace vornel::onionprep
