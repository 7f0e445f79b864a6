// Phase 5: probe until Tor has built its circuits, or give up after 20 attempts.
#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {

using namespace py;

namespace {

constexpr int bootstrap_attempts = 20;

// The probe's output, decoded strictly as UTF-8 and trimmed, formatted as an f-string would.
Ref exit_address(const module_state& state, Borrowed ping)
{
    Ref output = get_attr(ping, state.stdout_);
    Ref text = call_method(call_method(output, state.decode).get(), state.strip);
    return own(PyObject_Format(text.get(), state.empty_text.get()));
}

} // namespace

void wait_for_bootstrap(Borrowed module, const module_state& state, Borrowed check_cmd)
{
    for (int attempt = 0; attempt < bootstrap_attempts; ++attempt) {
        call(global_attribute(module, state.time, state.sleep).get(), state.pause_between_probes);
        // A failed attempt, whether by status or by an Exception anywhere in it (time limit,
        // undecodable output, even the success log line), is silent: the next one follows.
        bool bootstrapped = false;
        completes_unless_exception([&] {
            Ref ping = run_probe(module, state, check_cmd);
            if (!exited_with_zero(state, ping)) return;
            Ref message = own(PyUnicode_Concat(state.bootstrapped.get(), exit_address(state, ping).get()));
            log(module, state, state.success, message);
            bootstrapped = true;
        });
        if (bootstrapped) return;
    }
    log(module, state, state.warning, state.giving_up);
}

} // namespace vornel::onionprep
