// Whether tor may be started with the configuration file: tor takes its ports and everything
// else from it, so it must be a file that only the caller controls.
#include <sys/stat.h>

#include "../pyapi/suppress.hpp"
#include "module_globals.hpp"
#include "phases.hpp"

namespace vornel::onionprep {
namespace {

using namespace py;

// Why the file at `torrc_path` must not configure tor, or nullptr when it may. lstat looks at
// the path itself: tor would read the target of a link, which anybody may have chosen. Windows
// has neither these file types nor owners in lstat's answer; nothing is checked there.
const char* distrust_reason([[maybe_unused]] Borrowed module, [[maybe_unused]] const module_state& state,
                            [[maybe_unused]] Borrowed torrc_path)
{
#ifdef _WIN32
    return nullptr;
#else
    Ref status = call(global_attribute(module, state.os, state.lstat).get(), torrc_path);
    const auto mode = static_cast<mode_t>(to_long_long(get_attr(status, state.st_mode).get()));
    if (S_ISLNK(mode)) return "it is a symbolic link";
    if (S_ISDIR(mode)) return "it is a directory";
    if (!S_ISREG(mode)) return "it is not a regular file";
    Ref user = current_user_id(module, state);
    Ref owner = get_attr(status, state.st_uid);
    if (user && require(PyObject_RichCompareBool(owner.get(), user.get(), Py_NE)) == 1)
        return "it belongs to another user";
    if ((mode & (S_IWGRP | S_IWOTH)) != 0) return "users other than its owner may write to it";
    return nullptr;
#endif
}

} // namespace

Ref current_user_id(Borrowed module, const module_state& state)
{
    Ref user;
    completes_unless(PyExc_AttributeError,
                     [&] { user = call_method(lookup_global(module, state.os).get(), state.geteuid); });
    return user;
}

void require_trusted_torrc(Borrowed module, const module_state& state, Borrowed torrc_path)
{
    const char* reason = distrust_reason(module, state, torrc_path);
    if (reason == nullptr) return;
    Ref message = own(PyUnicode_FromFormat(
        "Not starting Tor with %U: %s. Remove it to have it written afresh, or make it a regular file of your own "
        "that only you can write.",
        torrc_path.get(), reason));
    log(module, state, state.warning, message);
    PyErr_SetObject(PyExc_PermissionError, message.get());
    throw python_error{};
}

} // namespace vornel::onionprep
