// Phase 2: ~/.vornel_torrc, written once and never rewritten.
#include "../pyapi/context.hpp"
#include "../pyapi/raised_exception.hpp"
#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

// The configuration belongs in a home directory. An empty HOME would put it at the root of the
// file system (/.vornel_torrc), a relative one wherever the caller happens to be.
void require_home(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    Ref path = global_attribute(module, state.os, state.path);
    Ref environ = global_attribute(module, state.os, state.environ);
    Ref home = mapping_get(environ.get(), state.home_variable.get(), state.get.get());
    const bool home_usable =
        home.get() == Py_None || is_true(call_method(path.get(), state.isabs.get(), home.get()).get());
    if (home_usable && is_true(call_method(path.get(), state.isabs.get(), torrc_path).get())) return;
    PyErr_Format(PyExc_RuntimeError,
                 "ensure_tor_env needs a home directory for ~/.vornel_torrc, but HOME is %R: set HOME to an "
                 "absolute path",
                 home.get());
    throw python_error{};
}

// Removes the temporary file; an Exception of the removal is dropped (at worst a file of its own
// name is left behind), and an error being raised stays the one the caller sees.
void remove_temporary(Borrowed module, const module_state& state, Borrowed temporary)
{
    const saved_exception raised;
    completes_unless_exception([&] { call(global_attribute(module, state.os, state.remove).get(), temporary); });
}

// A new, empty file of a name of its own in `folder`, created exclusively and readable and
// writable by its owner only: (descriptor, path).
Ref make_temporary(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    Ref folder = call_method(global_attribute(module, state.os, state.path).get(), state.dirname.get(), torrc_path);
    Ref tempfile = own(PyImport_Import(state.tempfile.get()));
    Ref mkstemp = get_attr(tempfile.get(), state.mkstemp.get());
    PyObject* args[] = {state.temporary_prefix.get(), folder.get()};
    return own(PyObject_Vectorcall(mkstemp.get(), args, 0, state.temporary_keywords.get()));
}

// The whole text, on disk before the file gets its name.
void write_text(Borrowed module, const module_state& state, Borrowed descriptor)
{
    // open takes the descriptor over (and closes it if it fails after that).
    Ref file = call(state.open.get(), descriptor, state.write_mode.get());
    with_context(file.get(), [&](Borrowed handle) {
        static_cast<void>(call_method(handle, state.write.get(), state.torrc_text.get()));
        static_cast<void>(call_method(handle, state.flush.get()));
        Ref fileno = call_method(handle, state.fileno.get());
        call(global_attribute(module, state.os, state.fsync).get(), fileno.get());
    });
}

// Writes the configuration under a temporary name in the same folder, then links it into place,
// which replaces nothing: the path either does not exist or holds the whole text, even when
// the write and the removal of the temporary file both fail. A path that appeared meanwhile, in
// any form, is left as it is, like a file found by the existence check.
void write_torrc(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    Ref made = make_temporary(module, state, torrc_path);
    Ref descriptor = own(PySequence_GetItem(made.get(), 0));
    Ref temporary = own(PySequence_GetItem(made.get(), 1));
    try {
        write_text(module, state, descriptor.get());
        completes_unless(PyExc_FileExistsError, [&] {
            Ref link = global_attribute(module, state.os, state.link);
            static_cast<void>(call(link.get(), temporary.get(), torrc_path));
        });
    } catch (const python_error&) {
        remove_temporary(module, state, temporary.get());
        throw;
    }
    remove_temporary(module, state, temporary.get());
}

} // namespace

Ref ensure_torrc(Borrowed module, const module_state& state)
{
    Ref torrc_path = call_method(global_attribute(module, state.os, state.path).get(), state.expanduser.get(),
                                 state.torrc_literal.get());
    require_home(module, state, torrc_path.get());
    // An existing file is not rewritten: it may have been edited on purpose. Whether tor may be
    // started with it is checked when tor is started.
    Ref found = call_method(global_attribute(module, state.os, state.path).get(), state.exists.get(), torrc_path.get());
    if (!is_true(found.get())) write_torrc(module, state, torrc_path.get());
    return torrc_path;
}

} // namespace vornel::onionprep
