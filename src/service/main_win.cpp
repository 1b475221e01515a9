// Process entry on Windows: picks the mode from the first argument.
#include <cwchar>

#include "service/entry.h"
#include "service/utf8_win.h"

int wmain(int argc, wchar_t** argv) {
    const bool has_argument = argc > 1;
    const std::string first = has_argument ? tarn::utf8_from_wide(argv[1]) : std::string();
    const tarn::EntryMode mode = tarn::entry_mode(has_argument, first);
    // Printed through the wide-character output, so the flag shows as typed.
    if (mode == tarn::EntryMode::UnknownFlag) std::fwprintf(stderr, L"unknown flag: %ls\n", argv[1]);
    return tarn::run_mode(mode);
}
