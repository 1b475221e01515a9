// Small helpers shared by the JSON tests.
#pragma once

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "json/json_parser.h"
#include "json/json_value.h"

namespace tarn::test {

// Parses `text`, failing the current test if it does not parse.
inline JsonValue parse_ok(std::string_view text) {
    JsonValue value;
    std::string error;
    if (!parse_json(text, value, error)) ADD_FAILURE() << "parse failed: " << error << " for: " << text;
    return value;
}

// The failure message for `text`, or "(parsed)" when it parses.
inline std::string parse_error(std::string_view text) {
    JsonValue value;
    std::string error;
    return parse_json(text, value, error) ? std::string("(parsed)") : error;
}

}  // namespace tarn::test
