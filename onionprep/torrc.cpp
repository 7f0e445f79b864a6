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

// os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW. Windows has no O_NOFOLLOW; there
// O_EXCL alone already refuses every existing path.
Ref creation_flags(const module_state& state, Borrowed os)
{
    Ref flags = get_attr(os, state.write_only.get());
    for (const Ref* name : {&state.create, &state.exclusive})
        flags = own(PyNumber_Or(flags.get(), get_attr(os, name->get()).get()));
    completes_unless(PyExc_AttributeError, [&] {
        flags = own(PyNumber_Or(flags.get(), get_attr(os, state.no_follow.get()).get()));
    });
    return flags;
}

// A descriptor of a new, empty file at torrc_path that only its owner may read and write, or
// none when the path exists in any form. The creation is exclusive and follows no link, so a
// file that appeared since the existence check, or a planted link (even one that points
// nowhere), is never truncated or written through.
Ref create_new_file(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    Ref os = lookup_global(module, state.os.get());
    Ref flags = creation_flags(state, os.get());
    Ref descriptor;
    completes_unless(PyExc_FileExistsError, [&] {
        Ref os_open = get_attr(os.get(), state.os_open.get());
        PyObject* args[] = {torrc_path, flags.get(), state.owner_only.get()};
        descriptor = own(PyObject_Vectorcall(os_open.get(), args, 3, nullptr));
    });
    return descriptor;
}

void write_torrc(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    Ref descriptor = create_new_file(module, state, torrc_path);
    if (!descriptor) return; // there after all: left as it is, like a file found by the check
    // From here on the file is this call's own, so a failure may remove it. open takes the
    // descriptor over (and closes it if it fails after that), so it is never closed here.
    try {
        Ref file = call(state.open.get(), descriptor.get(), state.write_mode.get());
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
