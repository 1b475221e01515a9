// Small helpers shared by the JSON tests, and the headers they all use.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "json/json_parser.h"
#include "json/json_writer.h"

namespace tarn::test {

// Parses `text` (into `out` when given) from a heap block of exactly its size,
// so that the address sanitizer catches any read past the end. Returns the
// failure message, or "(parsed)".
inline std::string parse_error(std::string_view text, JsonValue* out = nullptr) {
    const auto exact = std::make_unique<char[]>(text.size());
    std::copy(text.begin(), text.end(), exact.get());
    JsonValue value;
    std::string error;
    return parse_json(std::string_view(exact.get(), text.size()), out ? *out : value, error) ? "(parsed)" : error;
}

// Parses `text`, failing the current test if it does not parse.
inline JsonValue parse_ok(std::string_view text) {
    JsonValue value;
    EXPECT_EQ(parse_error(text, &value), "(parsed)") << "for: " << text;
    return value;
}

}  // namespace tarn::test
