// The command-line vocabulary of the service executable and what each word runs.
#include "service/entry.h"

namespace tarn {

EntryMode entry_mode(bool has_argument, std::string_view first) {
    if (!has_argument) return EntryMode::Service;
    if (first == "--install") return EntryMode::Install;
    if (first == "--uninstall") return EntryMode::Uninstall;
    if (first == "--console") return EntryMode::Console;
    return EntryMode::UnknownFlag;
}

int run_mode(EntryMode mode) {
    switch (mode) {
        case EntryMode::Service: {
            int status = 0;
            if (run_as_managed_service(status)) return status;
            return run_console();
        }
        case EntryMode::Install: return install_service();
        case EntryMode::Uninstall: return uninstall_service();
        case EntryMode::Console: return run_console();
        case EntryMode::UnknownFlag: break;
    }
    return 2;
}

}  // namespace tarn
