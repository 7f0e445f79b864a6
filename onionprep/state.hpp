// Per-module state of vornel.onionprep: the function type, the built-in open, and every
// name, command word, number and message that ensure_tor_env uses, made once at import.
#pragma once

#include "../pyapi/module_definition.hpp"
#include "../pyapi/state_texts.hpp"

namespace vornel::onionprep {

using py::Borrowed;
using py::Ref;

struct module_state {
    // Imports os, subprocess, time and loguru's logger into the module and creates ensure_tor_env.
    explicit module_state(Borrowed module);

    Ref function_type;
    Ref open; // the built-in open, as found when the module was imported

    // Names of module globals, looked up at each use.
    Ref os, subprocess, time, logger;
    // Attribute and method names.
    Ref run, Popen, DEVNULL, returncode, stdout_, path, exists, expanduser, system, remove, sleep;
    Ref info, success, warning, write, decode, strip;
    // What writing the configuration file and checking an existing one use.
    Ref environ, get, isabs, dirname, link, fsync, flush, fileno, lstat, st_mode, st_uid, geteuid;
    Ref tempfile, mkstemp, prefix, dir;
    // The warnings module and what silences one kind of warning for a moment.
    Ref warnings, catch_warnings, simplefilter, ignore;
    // Keyword names.
    Ref capture_output, check, timeout, stdin_, stderr_, start_new_session;
    // Keyword name tuples of the three kinds of call that take keywords.
    Ref version_keywords;   // ("capture_output", "check")
    Ref probe_keywords;     // ("capture_output", "timeout")
    Ref daemon_keywords;    // ("stdin", "stdout", "stderr", "start_new_session")
    Ref temporary_keywords; // ("prefix", "dir")
    // Numbers, named for what they are used for; times in seconds.
    Ref exit_success;         // the exit status of a probe that got through the proxy: 0
    Ref probe_time_limit;     // the timeout of one probe: 2
    Ref pause_after_kill;     // between stopping the running tor and starting ours: 1
    Ref pause_between_probes; // between the probes that wait for tor to bootstrap: 1.5

    // Command words, paths and the configuration text.
    Ref tor, version_flag, config_flag, curl, silent_flag, socks5_hostname_flag, proxy_address, ip_echo_url;
    Ref termux_directory, termux_install, debian_install, kill_tor, torrc_literal, write_mode, torrc_text;
    Ref home_variable, temporary_prefix;
    // Log messages.
    Ref tor_missing, restarting, starting, waiting, bootstrapped, giving_up, empty_text;

    // Every Ref above, for the garbage collector.
    template <class Visit>
    void for_each_reference(Visit&& visit);
};

using state_text = py::member_text<module_state>;

inline constexpr state_text interned_names[] = {
    {&module_state::os, "os"},
    {&module_state::subprocess, "subprocess"},
    {&module_state::time, "time"},
    {&module_state::logger, "logger"},
    {&module_state::run, "run"},
    {&module_state::Popen, "Popen"},
    {&module_state::DEVNULL, "DEVNULL"},
    {&module_state::returncode, "returncode"},
    {&module_state::stdout_, "stdout"},
    {&module_state::path, "path"},
    {&module_state::exists, "exists"},
    {&module_state::expanduser, "expanduser"},
    {&module_state::system, "system"},
    {&module_state::remove, "remove"},
    {&module_state::sleep, "sleep"},
    {&module_state::info, "info"},
    {&module_state::success, "success"},
    {&module_state::warning, "warning"},
    {&module_state::write, "write"},
    {&module_state::decode, "decode"},
    {&module_state::strip, "strip"},
    {&module_state::environ, "environ"},
    {&module_state::get, "get"},
    {&module_state::isabs, "isabs"},
    {&module_state::dirname, "dirname"},
    {&module_state::link, "link"},
    {&module_state::fsync, "fsync"},
    {&module_state::flush, "flush"},
    {&module_state::fileno, "fileno"},
    {&module_state::lstat, "lstat"},
    {&module_state::st_mode, "st_mode"},
    {&module_state::st_uid, "st_uid"},
    {&module_state::geteuid, "geteuid"},
    {&module_state::tempfile, "tempfile"},
    {&module_state::mkstemp, "mkstemp"},
    {&module_state::prefix, "prefix"},
    {&module_state::dir, "dir"},
    {&module_state::warnings, "warnings"},
    {&module_state::catch_warnings, "catch_warnings"},
    {&module_state::simplefilter, "simplefilter"},
    {&module_state::capture_output, "capture_output"},
    {&module_state::check, "check"},
    {&module_state::timeout, "timeout"},
    {&module_state::stdin_, "stdin"},
    {&module_state::stderr_, "stderr"},
    {&module_state::start_new_session, "start_new_session"},
};

inline constexpr state_text plain_texts[] = {
    {&module_state::tor, "tor"},
    {&module_state::version_flag, "--version"},
    {&module_state::config_flag, "-f"},
    {&module_state::curl, "curl"},
    {&module_state::silent_flag, "-s"},
    {&module_state::socks5_hostname_flag, "--socks5-hostname"},
    {&module_state::proxy_address, "127.0.0.1:9050"},
    // Answers with the caller's address as plain text; through Tor that is the exit's address.
    {&module_state::ip_echo_url, "https://api.ipify.org"},
    {&module_state::termux_directory, "/data/data/com.termux"},
    {&module_state::termux_install, "pkg install tor -y"},
    {&module_state::debian_install, "sudo apt install tor -y"},
    // -x: only processes named exactly "tor", not "torrent" or "monitor". Where the effective
    // user is known, "-u <uid>" is added: other users' tor processes are not ours to end.
    {&module_state::kill_tor, "pkill -x tor"},
    {&module_state::torrc_literal, "~/.vornel_torrc"},
    {&module_state::write_mode, "w"},
    {&module_state::ignore, "ignore"},
    // Cookie authentication keeps other local programs from reconfiguring Tor via port 9051.
    {&module_state::torrc_text, "SocksPort 9050\nControlPort 9051\nCookieAuthentication 1\n"},
    {&module_state::home_variable, "HOME"},
    {&module_state::temporary_prefix, ".vornel_torrc."},
    {&module_state::tor_missing, "Tor not found. Installing..."},
    {&module_state::restarting, "Tor SOCKS5 proxy offline or not ready. Restarting..."},
    // U+1F680 rocket
    {&module_state::starting, "\xF0\x9F\x9A\x80 Starting Tor background process..."},
    // U+23F3 hourglass with flowing sand
    {&module_state::waiting, "\xE2\x8F\xB3 Waiting for Tor circuits to finalize (Bootstrapping)..."},
    // U+1F6E1 shield, U+FE0F emoji presentation
    {&module_state::bootstrapped, "\xF0\x9F\x9B\xA1\xEF\xB8\x8F Tor circuits fully bootstrapped! Exit IP: "},
    // U+26A0 warning sign, U+FE0F emoji presentation
    {&module_state::giving_up,
     "\xE2\x9A\xA0\xEF\xB8\x8F Tor is taking longer than usual to connect. Proceeding anyway..."},
    {&module_state::empty_text, ""},
};

template <class Visit>
void module_state::for_each_reference(Visit&& visit)
{
    visit(function_type);
    visit(open);
    py::for_each_member(*this, interned_names, visit);
    py::for_each_member(*this, plain_texts, visit);
    for (Ref* ref : {&version_keywords, &probe_keywords, &daemon_keywords, &temporary_keywords, &exit_success,
                     &probe_time_limit, &pause_after_kill, &pause_between_probes})
        visit(*ref);
}

// The state of a vornel.onionprep module; the phases only read it.
inline const module_state& state_of(Borrowed module) { return py::module_definition<module_state>::state_of(module); }

} // namespace vornel::onionprep
