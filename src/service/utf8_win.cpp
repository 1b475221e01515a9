// Wide-character to UTF-8 conversion with WideCharToMultiByte.
#include "service/utf8_win.h"

#include <windows.h>

namespace tarn {

std::string utf8_from_wide(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(size - 1));
    return result;
}

}  // namespace tarn
