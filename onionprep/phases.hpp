// The five phases of ensure_tor_env, in the order in which it runs them.
#pragma once

#include "state.hpp"

namespace vornel::onionprep {

// 1: checks `tor --version`; when that raises an Exception, warns and runs the package manager.
void ensure_tor_installed(Borrowed module, const module_state& state);

// 2: the expanded path of ~/.vornel_torrc, which is written when it does not exist yet.
Ref ensure_torrc(Borrowed module, const module_state& state);

// The curl command that every probe of one call runs, the same list each time.
Ref probe_command(const module_state& state);

// 3: one probe; true when curl exited with 0. An Exception of the probe counts as a failure.
bool proxy_answers(Borrowed module, const module_state& state, Borrowed check_cmd);

// Raises PermissionError, after a warning, unless the configuration file is a regular file of
// the current user that no other user may write: tor would take its settings from it.
void require_trusted_torrc(Borrowed module, const module_state& state, Borrowed torrc_path);

// os.geteuid(), or an empty Ref where os has none.
Ref current_user_id(Borrowed module, const module_state& state);

// 4: kills the current user's running tor and starts a new one on the configuration file,
// without waiting.
void restart_tor(Borrowed module, const module_state& state, Borrowed torrc_path);

// 5: up to 20 probes, 1.5 seconds apart, logging the exit address or giving up with a warning.
void wait_for_bootstrap(Borrowed module, const module_state& state, Borrowed check_cmd);

// subprocess.run(check_cmd, capture_output=True, timeout=2).
Ref run_probe(Borrowed module, const module_state& state, Borrowed check_cmd);

// result.returncode == 0
bool exited_with_zero(const module_state& state, Borrowed result);

} // namespace vornel::onionprep
