// Phase 4: stop whatever tor runs and start a new one on our configuration file.
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {

using namespace py;

void restart_tor(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    log(module, state, state.warning, state.restarting.get());
    call(global_attribute(module, state.os, state.system).get(), state.kill_tor.get());
    call(global_attribute(module, state.time, state.sleep).get(), state.one.get());
    log(module, state, state.info, state.starting.get());

    // The daemon outlives this call: its process object is dropped and never waited for.
    Ref popen = global_attribute(module, state.subprocess, state.Popen);
    Ref command = new_list({state.tor.get(), state.config_flag.get(), torrc_path});
    Ref devnull_for_stdout = global_attribute(module, state.subprocess, state.DEVNULL);
    Ref devnull_for_stderr = global_attribute(module, state.subprocess, state.DEVNULL);
    call_with_keywords(popen.get(), {command.get()}, state.output_keywords.get(),
                       {devnull_for_stdout.get(), devnull_for_stderr.get()});

    log(module, state, state.info, state.waiting.get());
}

} // namespace vornel::onionprep
