// Phase 2: ~/.vornel_torrc, written once and never rewritten.
#include "../pyapi/context.hpp"
#include "../pyapi/raised_exception.hpp"
#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

// Removes the configuration file whose writing failed, so that a later call writes it afresh
// instead of finding a broken file that it never rewrites. An Exception of the removal is
// dropped: the error of the write is the one the caller sees.
void remove_partial_file(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    const saved_exception write_error;
    completes_unless_exception([&] {
        Ref remove = global_attribute(module, state.os, state.remove);
        call(remove.get(), torrc_path);
    });
}

void write_torrc(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    Ref file = call(state.open.get(), torrc_path, state.write_mode.get());
    try {
        with_context(file.get(), [&](Borrowed handle) {
            static_cast<void>(call_method(handle, state.write.get(), state.torrc_text.get()));
        });
    } catch (const python_error&) {
        remove_partial_file(module, state, torrc_path);
        throw;
    }
}

} // namespace

Ref ensure_torrc(Borrowed module, const module_state& state)
{
    Ref torrc_path = call_method(global_attribute(module, state.os, state.path).get(), state.expanduser.get(),
                                 state.torrc_literal.get());
    // An existing file, whatever it holds, is left as it is: it may have been edited on purpose.
    Ref found = call_method(global_attribute(module, state.os, state.path).get(), state.exists.get(), torrc_path.get());
    if (!is_true(found.get())) write_torrc(module, state, torrc_path.get());
    return torrc_path;
}

} // namespace vornel::onionprep
