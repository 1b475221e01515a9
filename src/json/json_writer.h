// Compact JSON text from a JsonValue, and escaping of byte strings.
#pragma once

#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tarn {

// Appends the compact text of `value` to `out` (no whitespace, members in
// stored order, duplicates included). An infinite Double is written as
// 1e999 or -1e999, a NaN as null.
void append_json(std::string& out, const JsonValue& value);

// Appends `text` as a complete JSON string literal (quotes included).
void append_json_string(std::string& out, std::string_view text);

// The compact text of `value` as a new string.
std::string to_json(const JsonValue& value);

// The escaped content of `text` without surrounding quotes, for embedding in
// a JSON reply. Differs from append_json_string in backspace and form feed,
// which become \u0008 and \u000c.
std::string json_escape(std::string_view text);

}  // namespace tarn
