// Small helpers shared by the JSON tests, and the headers they all use.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "json/json_parser.h"
#include "json/json_writer.h"

namespace tarn::test {

// Parses `text` (into `out` when given) from a heap block of exactly its size,
// so that the address sanitizer catches any read past the end. Returns the
// failure message, or "(parsed)".
inline std::string parse_error(std::string_view text, JsonValue* out = nullptr) {
    const std::vector<char> exact(text.begin(), text.end());
    JsonValue value;
    std::string error;
    return parse_json(std::string_view(exact.data(), exact.size()), out ? *out : value, error) ? "(parsed)" : error;
}

// Parses `text`, failing the current test if it does not parse.
inline JsonValue parse_ok(std::string_view text) {
    JsonValue value;
    EXPECT_EQ(parse_error(text, &value), "(parsed)") << "for: " << text;
    return value;
}

}  // namespace tarn::test
