// to_json, append_json_string and json_escape: exact output.
#include <cmath>
#include <limits>
#include <tuple>

#include "json_test_util.h"

namespace tarn {

using namespace std::string_literals;
using test::parse_ok;

class JsonWrite : public ::testing::Test {};

// Each document is written compactly; the written text reads back to itself.
TEST_F(JsonWrite, DocumentsComeBackCompactInStoredOrder) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"b":1, "a":[true,null,"x"], "b":2.5})", R"({"b":1,"a":[true,null,"x"],"b":2.5})"},
        {" [ ] ", "[]"}, {" { } \t\r\n", "{}"}, {R"( [{"a":{}},[[]],null,false] )", R"([{"a":{}},[[]],null,false])"},
        {"[-9223372036854775808,9223372036854775807,-0,007]", "[-9223372036854775808,9223372036854775807,0,7]"},
        {"[1e999,-1e999,1e-999,1e16,0.1]", "[1e999,-1e999,0,10000000000000000,0.10000000000000001]"},
        {R"({"a\"b\u0001":"\b","":"\ud83d\ude00"})", "{\"a\\\"b\\u0001\":\"\\b\",\"\":\"\xF0\x9F\x98\x80\"}"},
        {R"([{"a":1,"b":2,"c":3},{"x":"y"},{},{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9},{"z":[]}])",
         R"([{"a":1,"b":2,"c":3},{"x":"y"},{},{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9},{"z":[]}])"},
    };
    for (const auto& [text, written] : cases) {
        EXPECT_EQ(to_json(parse_ok(text)), written) << text;
        EXPECT_EQ(to_json(parse_ok(written)), written) << text;
    }
    std::string out = "prefix:";
    append_json(out, parse_ok("[1]"));
    EXPECT_EQ(out, "prefix:[1]");
}

// -0.0, like every integral double, is written without a point and so reads
// back as the Int 0.
TEST_F(JsonWrite, DoublesWithSeventeenSignificantDigits) {
    const std::pair<double, const char*> cases[] = {
        {0.1, "0.10000000000000001"}, {1.0, "1"}, {1e21, "1e+21"}, {1e-7, "9.9999999999999995e-08"},
        {1e17, "1e+17"}, {-0.0, "-0"}, {std::numeric_limits<double>::infinity(), "1e999"},
        {-std::numeric_limits<double>::infinity(), "-1e999"}, {std::nan(""), "null"},
    };
    for (const auto& [number, text] : cases) {
        JsonValue value = parse_ok("0.5");  // a Double, given the value under test
        value.double_value = number;
        EXPECT_EQ(to_json(value), text) << text;
    }
    EXPECT_EQ(parse_ok("-0").type, JsonType::Int);
}

// append_json_string writes \b and \f, json_escape \u0008 and \u000c.
TEST_F(JsonWrite, BothEscapingRules) {
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {"\b\f", R"("\b\f")", R"(\u0008\u000c)"},
        {"x\t\n\r\"\\/y", R"("x\t\n\r\"\\/y")", R"(x\t\n\r\"\\/y)"},
        {"\0\x01\x0B\x1B\x1F"s, R"("\u0000\u0001\u000b\u001b\u001f")", R"(\u0000\u0001\u000b\u001b\u001f)"},
        {"\x7F caf\xC3\xA9 \xFF\x80", "\"\x7F caf\xC3\xA9 \xFF\x80\"", "\x7F caf\xC3\xA9 \xFF\x80"},
        {"", R"("")", ""},
    };
    for (const auto& [bytes, literal, escaped] : cases) {
        std::string out;
        append_json_string(out, bytes);
        EXPECT_EQ(out, literal);
        EXPECT_EQ(json_escape(bytes), escaped) << literal;
    }
}

}  // namespace tarn
