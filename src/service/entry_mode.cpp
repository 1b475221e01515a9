// The command-line vocabulary of the service executable.
#include "service/entry.h"

namespace tarn {

EntryMode entry_mode(bool has_argument, std::string_view first) {
    if (!has_argument) return EntryMode::Service;
    if (first == "--install") return EntryMode::Install;
    if (first == "--uninstall") return EntryMode::Uninstall;
    if (first == "--console") return EntryMode::Console;
    return EntryMode::UnknownFlag;
}

}  // namespace tarn
