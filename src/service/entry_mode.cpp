// The command-line vocabulary of the service executable and what each word runs.
#include "service/entry.h"

#include "tarn/build_config.h"

namespace tarn {
namespace {

constexpr const char* usage =
    "Usage: tarn_ingest_service [flag]\n"
    "  (no flag)     run as the service when the service manager starts it, else as --console\n"
    "  --console     run in the foreground until Ctrl+C\n"
    "  --install     register the service, started at boot\n"
    "  --reinstall   rewrite an installed service's registration for this program (after an upgrade)\n"
    "  --uninstall   stop and remove the service\n"
    "  --help        print this text\n"
    "  --version     print the version\n";

constexpr const char* version = "tarn_ingest_service " TARN_VERSION "\n";

}  // namespace

EntryMode entry_mode(bool has_argument, std::string_view first) {
    if (!has_argument) return EntryMode::Service;
    if (first == "--install") return EntryMode::Install;
    if (first == "--reinstall") return EntryMode::Reinstall;
    if (first == "--uninstall") return EntryMode::Uninstall;
    if (first == "--console") return EntryMode::Console;
    if (first == "--help") return EntryMode::Help;
    if (first == "--version") return EntryMode::Version;
    return EntryMode::UnknownFlag;
}

const char* mode_text(EntryMode mode) {
    if (mode == EntryMode::Help) return usage;
    if (mode == EntryMode::Version) return version;
    return nullptr;
}

int run_mode(EntryMode mode) {
    switch (mode) {
        case EntryMode::Service: {
            if (const std::optional<int> status = run_as_managed_service()) return *status;
            return run_console();
        }
        case EntryMode::Install: return install_service();
        case EntryMode::Reinstall: return reinstall_service();
        case EntryMode::Uninstall: return uninstall_service();
        case EntryMode::Console: return run_console();
        case EntryMode::Help:
        case EntryMode::Version: return 0;
        case EntryMode::UnknownFlag: break;
    }
    return 2;
}

}  // namespace tarn
