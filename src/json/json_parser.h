// Strict recursive-descent JSON parser with fixed English failure messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tarn {

// Deepest nesting of arrays and objects that a document may have; the next
// opening bracket fails the parse with "nesting too deep".
constexpr std::size_t json_max_depth = 512;

// Parses the whole of `text` into `out` (passed default-constructed).
// Returns true on success; `error` is left untouched. On failure returns
// false with one message in `error` (passed empty); `out` may then hold a
// partial tree that the caller must not use. Throws only when memory runs out.
// Safe to call from any number of threads at once.
bool parse_json(std::string_view text, JsonValue& out, std::string& error);

}  // namespace tarn
