// The process entry: chooses service, console, install, reinstall or
// uninstall mode, or the usage or version text, from the first command-line
// argument.
#pragma once

#include <optional>
#include <string_view>

namespace tarn {

// What the first argument asks for. Matching is exact: same length, same
// bytes, case-sensitive; arguments after the first are ignored.
enum class EntryMode { Service, Install, Reinstall, Uninstall, Console, Help, Version, UnknownFlag };

// The mode for a command line whose first argument (as UTF-8) is `first`;
// `has_argument` false means no argument at all (service mode).
EntryMode entry_mode(bool has_argument, std::string_view first);

// What the caller prints on standard output for `mode` before run_mode:
// the usage, one line per mode and flag, for Help; "tarn_ingest_service
// <version>" for Version; nullptr for the others. Each text ends with a line
// feed.
const char* mode_text(EntryMode mode);

// Runs what `mode` asks for and returns the process exit status. Service
// mode falls back to console mode when the process was not started by the
// service manager. Help and Version return 0 and an unknown flag 2; the
// caller has printed their text.
int run_mode(EntryMode mode);

// Console mode: installs the stop handlers, prints the banner and runs the
// service on the calling thread. Returns run_service's status.
int run_console();

// Service mode. Returns nothing, doing nothing, when the process was not
// started by the service manager (the caller then runs console mode).
// Otherwise runs the service to its end and returns the process exit status.
std::optional<int> run_as_managed_service();

// Register and remove the service with the platform's service manager. Each
// prints one line (success on standard output, failure on standard error)
// and returns the process exit status.
int install_service();
int uninstall_service();

// Rewrites the registration of an installed service as install_service
// would write it for this executable (after an upgrade, the new version's
// unit or program path), keeping whether it starts at boot; a running
// service goes on running the old one until it is restarted. Prints
// "reinstalled service '<name>'", or "service not installed" (status 0)
// when there is none, or the failing call and its reason (status 1).
int reinstall_service();

}  // namespace tarn
