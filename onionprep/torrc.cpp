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
    Ref home = mapping_get(environ, state.home_variable, state.get);
    const bool home_usable = home.get() == Py_None || is_true(call_method(path, state.isabs, home).get());
    if (home_usable && is_true(call_method(path, state.isabs, torrc_path).get())) return;
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
    Ref folder = call_method(global_attribute(module, state.os, state.path).get(), state.dirname, torrc_path);
    Ref tempfile = own(PyImport_Import(state.tempfile.get()));
    Ref mkstemp = get_attr(tempfile, state.mkstemp);
    PyObject* args[] = {state.temporary_prefix.get(), folder.get()};
    return own(PyObject_Vectorcall(mkstemp.get(), args, 0, state.temporary_keywords.get()));
}

// The whole text, on disk before the file gets its name.
void write_text(Borrowed module, const module_state& state, Borrowed descriptor)
{
    // open takes the descriptor over (and closes it if it fails after that).
    Ref file = call(state.open, descriptor, state.write_mode);
    with_context(file, [&](Borrowed handle) {
        static_cast<void>(call_method(handle, state.write, state.torrc_text));
        static_cast<void>(call_method(handle, state.flush));
        Ref fileno = call_method(handle, state.fileno);
        call(global_attribute(module, state.os, state.fsync).get(), fileno);
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
        write_text(module, state, descriptor);
        completes_unless(PyExc_FileExistsError, [&] {
            Ref link = global_attribute(module, state.os, state.link);
            static_cast<void>(call(link, temporary, torrc_path));
        });
    } catch (const python_error&) {
        remove_temporary(module, state, temporary);
        throw;
    }
    remove_temporary(module, state, temporary);
}

} // namespace

Ref ensure_torrc(Borrowed module, const module_state& state)
{
    Ref torrc_path =
        call_method(global_attribute(module, state.os, state.path).get(), state.expanduser, state.torrc_literal);
    require_home(module, state, torrc_path);
    // An existing file is not rewritten: it may have been edited on purpose. Whether tor may be
    // started with it is checked when tor is started.
    Ref found = call_method(global_attribute(module, state.os, state.path).get(), state.exists, torrc_path);
    if (!is_true(found)) write_torrc(module, state, torrc_path);
    return torrc_path;
}

} // namespace vornel::onionprep
