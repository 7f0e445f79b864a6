// ensure_tor_env(): makes sure tor is installed, configured and answering on 127.0.0.1:9050.
#include "ensure_tor_env.hpp"

#include "phases.hpp"

namespace vornel::onionprep {
namespace {

Ref ensure_tor_env(Borrowed module, PyObject* const*)
{
    const module_state& state = state_of(module);
    ensure_tor_installed(module, state);
    Ref torrc_path = ensure_torrc(module, state);
    Ref check_cmd = probe_command(state);
    if (proxy_answers(module, state, check_cmd)) return Ref::borrow(Py_None);
    restart_tor(module, state, torrc_path);
    wait_for_bootstrap(module, state, check_cmd);
    return Ref::borrow(Py_None);
}

} // namespace

const py::function_spec ensure_tor_env_spec = {
    "ensure_tor_env",
    "ensure_tor_env",
    "Automates Tor installation, configuration, and verifies complete bootstrap",
    nullptr,
    0,
    ensure_tor_env,
};

} // namespace vornel::onionprep
