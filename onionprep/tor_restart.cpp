// Phase 4: stop whatever tor runs and start a new one on our configuration file.
#include <utility>

#include "../pyapi/context.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

// Drops the daemon's process object without waiting for the daemon. Its finaliser warns
// (ResourceWarning) about a child that still runs, then leaves the child to subprocess, which
// reaps it once it has ended. Running on is what the daemon is for, so that one warning is
// silenced, and only while the object goes.
void let_daemon_run_on(const module_state& state, Ref process)
{
    Ref warnings = own(PyImport_Import(state.warnings.get()));
    Ref silenced = call_method(warnings, state.catch_warnings);
    with_context(silenced, [&](Borrowed) {
        static_cast<void>(call_method(warnings, state.simplefilter, state.ignore, PyExc_ResourceWarning));
        process.reset();
    });
}

// "pkill -x -u <uid> tor": other users' tor processes are left alone.
Ref kill_command(Borrowed module, const module_state& state)
{
    Ref user = current_user_id(module, state);
    if (!user) return Ref::borrow(state.kill_tor);
    return own(PyUnicode_FromFormat("pkill -x -u %S tor", user.get()));
}

} // namespace

void restart_tor(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    log(module, state, state.warning, state.restarting);
    // Checked before any tor is stopped: no tor is started with a file someone else controls.
    require_trusted_torrc(module, state, torrc_path);
    call(global_attribute(module, state.os, state.system).get(), kill_command(module, state).get());
    call(global_attribute(module, state.time, state.sleep).get(), state.pause_after_kill);
    log(module, state, state.info, state.starting);

    // The daemon outlives this call, so it runs in a session of its own: a Ctrl-C at the
    // caller's terminal, or the terminal's hangup, does not reach it, and it reads nothing
    // from that terminal.
    Ref popen = global_attribute(module, state.subprocess, state.Popen);
    Ref command = new_list({state.tor, state.config_flag, torrc_path});
    Ref devnull_for_stdin = global_attribute(module, state.subprocess, state.DEVNULL);
    Ref devnull_for_stdout = global_attribute(module, state.subprocess, state.DEVNULL);
    Ref devnull_for_stderr = global_attribute(module, state.subprocess, state.DEVNULL);
    Ref process = call_with_keywords(popen, {command}, state.daemon_keywords,
                                     {devnull_for_stdin, devnull_for_stdout, devnull_for_stderr, Py_True});
    let_daemon_run_on(state, std::move(process));

    log(module, state, state.info, state.waiting);
}

} // namespace vornel::onionprep
