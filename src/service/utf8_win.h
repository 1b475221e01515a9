// Conversion from the wide-character strings of the Windows interfaces to the
// UTF-8 byte strings used everywhere else.
#pragma once

#include <string>

namespace tarn {

// The UTF-8 form of the NUL-terminated wide string `text`; empty for nullptr.
std::string utf8_from_wide(const wchar_t* text);

}  // namespace tarn
