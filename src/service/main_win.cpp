// Process entry on Windows: picks the mode from the first argument.
#include <cwchar>

#include "service/entry.h"
#include "service/utf8_win.h"

int wmain(int argc, wchar_t** argv) {
    const bool has_argument = argc > 1;
    const std::string first = has_argument ? tarn::utf8_from_wide(argv[1]) : std::string();
    switch (tarn::entry_mode(has_argument, first)) {
        case tarn::EntryMode::Service: {
            int status = 0;
            if (tarn::run_as_managed_service(status)) return status;
            return tarn::run_console();
        }
        case tarn::EntryMode::Install: return tarn::install_service();
        case tarn::EntryMode::Uninstall: return tarn::uninstall_service();
        case tarn::EntryMode::Console: return tarn::run_console();
        case tarn::EntryMode::UnknownFlag: break;
    }
    // Printed through the wide-character output, so the flag shows as typed.
    std::fwprintf(stderr, L"unknown flag: %ls\n", argv[1]);
    return 2;
}
