// Process entry on Windows: picks the mode from the first argument.
#include <cstring>
#include <cwchar>
#include <string>

#include "service/entry.h"
#include "service/utf8_win.h"

int wmain(int argc, wchar_t** argv) {
    const bool has_argument = argc > 1;
    const std::string first = has_argument ? tarn::utf8_from_wide(argv[1]) : std::string();
    const tarn::EntryMode mode = tarn::entry_mode(has_argument, first);
    // Printed through the wide-character output, so the flag shows as typed.
    if (mode == tarn::EntryMode::UnknownFlag) std::fwprintf(stderr, L"unknown flag: %ls\n", argv[1]);
    if (const char* text = tarn::mode_text(mode)) {
        // The usage and the version are ASCII: each byte is its character.
        std::fputws(std::wstring(text, text + std::strlen(text)).c_str(), stdout);
    }
    return tarn::run_mode(mode);
}
