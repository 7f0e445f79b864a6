// The proxy probe: curl through the SOCKS5 proxy to an address-echo service, and phase 3.
#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {

using namespace py;

Ref probe_command(const module_state& state)
{
    // --socks5-hostname lets the proxy resolve the host too, so no DNS query leaves unproxied.
    return new_list(
        {state.curl, state.silent_flag, state.socks5_hostname_flag, state.proxy_address, state.ip_echo_url});
}

Ref run_probe(Borrowed module, const module_state& state, Borrowed check_cmd)
{
    Ref run = global_attribute(module, state.subprocess, state.run);
    return call_with_keywords(run, {check_cmd}, state.probe_keywords, {Py_True, state.probe_time_limit});
}

bool exited_with_zero(const module_state& state, Borrowed result)
{
    Ref status = get_attr(result, state.returncode);
    return require(PyObject_RichCompareBool(status.get(), state.exit_success.get(), Py_EQ)) != 0;
}

bool proxy_answers(Borrowed module, const module_state& state, Borrowed check_cmd)
{
    // curl's exit status alone decides; a missing curl or the time limit count as "no".
    bool answers = false;
    completes_unless_exception([&] { answers = exited_with_zero(state, run_probe(module, state, check_cmd).get()); });
    return answers;
}

} // namespace vornel::onionprep
