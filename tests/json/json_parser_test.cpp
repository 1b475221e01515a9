// parse_json: structure, failure messages, strings, numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "json/json_parser.h"
#include "json_test_util.h"

namespace tarn {
namespace {

using namespace std::string_literals;
using test::parse_error;
using test::parse_ok;

class JsonParse : public ::testing::Test {};

struct FailureCase {
    std::string text;
    const char* message;
};

TEST_F(JsonParse, MalformedDocumentsFailWithTheirMessage) {
    const FailureCase cases[] = {
        {"", "unexpected end"},
        {" \t\r\n", "unexpected end"},
        {"{", "expected string"},
        {"[", "unexpected end"},
        {R"({"a":1,})", "expected string"},
        {"[1,]", "unexpected char"},
        {R"({"a" 1})", "expected ':'"},
        {R"({"a")", "expected ':'"},
        {R"({"a":1 "b":2})", "expected ',' or '}'"},
        {R"({"a":1)", "expected ',' or '}'"},
        {"[1 2]", "expected ',' or ']'"},
        {"[1", "expected ',' or ']'"},
        {"{} x", "trailing garbage"},
        {"\f{}", "unexpected char"},
        {"\v{}", "unexpected char"},
        {"\xEF\xBB\xBF{}", "unexpected char"},
        {"true1", "trailing garbage"},
        {"[nullx]", "expected ',' or ']'"},
        {"tru", "unexpected char"},
        {"nul", "unexpected char"},
        {"fals", "unexpected char"},
        {"+1", "unexpected char"},
        {".5", "unexpected char"},
        {"0x1A", "trailing garbage"},
        {R"("\u12")", "bad \\u"},
        {R"("\u12G4")", "bad \\u hex"},
        {R"("\x")", "bad escape"},
        {"\"abc\\", "unterminated escape"},
        {"\"abc", "unterminated string"},
        {"{\"a", "unterminated string"},
        {"{1:2}", "expected string"},
        {"[\"a\",{\"b\":[1,}]]", "unexpected char"},
    };
    for (const FailureCase& c : cases) EXPECT_EQ(parse_error(c.text), c.message) << "input: " << c.text;
}

TEST_F(JsonParse, FirstFailureWinsOverLaterOnes) {
    // The bad escape comes first; the missing bracket after it is never reported.
    EXPECT_EQ(parse_error(R"([{"a":"\q"}, 1 2)"), "bad escape");
    EXPECT_EQ(parse_error(R"({"a":[1 2]})"), "expected ',' or ']'");
}

TEST_F(JsonParse, EmptyContainersWithWhitespaceInside) {
    const JsonValue object = parse_ok("{ }");
    EXPECT_EQ(object.type, JsonType::Object);
    EXPECT_TRUE(object.object_members.empty());
    const JsonValue array = parse_ok("[ ]");
    EXPECT_EQ(array.type, JsonType::Array);
    EXPECT_TRUE(array.array_items.empty());
}

TEST_F(JsonParse, TrailingWhitespaceIsAccepted) {
    EXPECT_EQ(parse_ok("{} \t\r\n \n").type, JsonType::Object);
}

TEST_F(JsonParse, SuccessLeavesErrorUntouched) {
    JsonValue value;
    std::string error = "kept";
    EXPECT_TRUE(parse_json("[]", value, error));
    EXPECT_EQ(error, "kept");
}

TEST_F(JsonParse, ScalarsAtTheRoot) {
    EXPECT_EQ(parse_ok("null").type, JsonType::Null);
    const JsonValue t = parse_ok(" true ");
    EXPECT_EQ(t.type, JsonType::Bool);
    EXPECT_TRUE(t.bool_value);
    const JsonValue f = parse_ok("false");
    EXPECT_EQ(f.type, JsonType::Bool);
    EXPECT_FALSE(f.bool_value);
    EXPECT_EQ(parse_ok(R"("s")").string_value, "s");
}

TEST_F(JsonParse, MembersAndElementsKeepDocumentOrder) {
    const JsonValue doc = parse_ok(R"({"z":[3,1,2],"a":{},"z":null})");
    ASSERT_EQ(doc.object_members.size(), 3u);
    EXPECT_EQ(doc.object_members[0].key, "z");
    EXPECT_EQ(doc.object_members[1].key, "a");
    EXPECT_EQ(doc.object_members[2].key, "z");
    const auto& items = doc.object_members[0].value.array_items;
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].int_value, 3);
    EXPECT_EQ(items[1].int_value, 1);
    EXPECT_EQ(items[2].int_value, 2);
}

TEST_F(JsonParse, InputNeedNotEndWithNul) {
    const std::string buffer = "[12345]trailing bytes outside the view";
    JsonValue value;
    std::string error;
    ASSERT_TRUE(parse_json(std::string_view(buffer.data(), 5), value, error) == false);
    EXPECT_EQ(error, "expected ',' or ']'");
    JsonValue number;
    ASSERT_TRUE(parse_json(std::string_view(buffer.data() + 1, 3), number, error));
    EXPECT_EQ(number.int_value, 123);
}

struct StringCase {
    std::string text;
    std::string bytes;
};

TEST_F(JsonParse, StringEscapesDecodeToBytes) {
    const StringCase cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u00e9")", "\xC3\xA9"},
        {R"("\u20AC")", "\xE2\x82\xAC"},
        {R"("\u0041\u007f")", "A\x7F"},
        {R"("\u0080\u07FF")", "\xC2\x80\xDF\xBF"},
        {R"("\u0800\uFFFF")", "\xE0\xA0\x80\xEF\xBF\xBF"},
        {R"("a\u0000b")", "a\0b"s},
        {"\"raw\ttab\"", "raw\ttab"},
        {"\"raw\nline\"", "raw\nline"},
        {"\"\xFF\x7F\x01\"", "\xFF\x7F\x01"},
        {"\"nul\0inside\""s, "nul\0inside"s},
    };
    for (const StringCase& c : cases) EXPECT_EQ(parse_ok(c.text).string_value, c.bytes) << c.text;
}

// \ud83d\ude00 used to become two three-byte sequences, which is not UTF-8.
TEST_F(JsonParse, SurrogatePairEscapesDecodeToOneFourByteSequence) {
    const StringCase cases[] = {
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"},
        {R"("\uD800\uDC00")", "\xF0\x90\x80\x80"},
        {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        {R"("x\uD834\uDD1Ey")", "x\xF0\x9D\x84\x9Ey"},
        // Lone halves keep their own three-byte form.
        {R"("\ud83d")", "\xED\xA0\xBD"},
        {R"("\ude00")", "\xED\xB8\x80"},
        {R"("\ude00\ud83d")", "\xED\xB8\x80\xED\xA0\xBD"},
        {R"("\ud83dx\ude00")", "\xED\xA0\xBDx\xED\xB8\x80"},
        {R"("\ud83d\u0041")", "\xED\xA0\xBD" "A"},
        {R"("\ud83d\ud83d\ude00")", "\xED\xA0\xBD\xF0\x9F\x98\x80"},
    };
    for (const StringCase& c : cases) EXPECT_EQ(parse_ok(c.text).string_value, c.bytes) << c.text;
}

TEST_F(JsonParse, HighSurrogateBeforeBadEscapeStillReportsIt) {
    EXPECT_EQ(parse_error(R"("\ud83d\u12G4")"), "bad \\u hex");
    EXPECT_EQ(parse_error(R"("\ud83d\u12")"), "bad \\u");
    EXPECT_EQ(parse_error("\"\\ud83d\\"), "unterminated escape");
}

TEST_F(JsonParse, LongStringsWithEscapesBetweenRuns) {
    std::string text = "\"";
    std::string expected;
    for (int i = 0; i < 2000; ++i) {
        text += "plain run of bytes \\n\\u00e9";
        expected += "plain run of bytes \n\xC3\xA9";
    }
    text += "\"";
    EXPECT_EQ(parse_ok(text).string_value, expected);
}

struct IntCase {
    const char* text;
    std::int64_t value;
};

TEST_F(JsonParse, IntegersAsStrtollReadsThem) {
    const IntCase cases[] = {
        {"0", 0},
        {"-", 0},
        {"-0", 0},
        {"007", 7},
        {"-12", -12},
        {"999999999999999999", 999999999999999999},
        {"9223372036854775807", 9223372036854775807},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", 9223372036854775807},
        {"99999999999999999999", 9223372036854775807},
        {"-99999999999999999999", std::numeric_limits<std::int64_t>::min()},
        {"000000000000000000000000000042", 42},
    };
    for (const IntCase& c : cases) {
        const JsonValue value = parse_ok(c.text);
        EXPECT_EQ(value.type, JsonType::Int) << c.text;
        EXPECT_EQ(value.int_value, c.value) << c.text;
    }
}

TEST_F(JsonParse, DoublesMatchStrtodBitForBit) {
    const char* cases[] = {
        "1.5", "2e3", "1.", "1e", "1e+", "1E-", "-.5", "-0.0", "0e999", "-0e-5", "1e999", "-1e999",
        "1e-400", "4.9406564584124654e-324", "2.2250738585072014e-308", "1.7976931348623157e308",
        "0.1", "3.14", "123456.789", "-98.76543210987654", "9007199254740993.0", "9007199254740992.5",
        "1e22", "1e23", "1e-22", "1e-23", "123456789012345678901234567890.5", "0.000000000000000000001",
        "1.00000000000000000000000000001", "12345678901234567890e-5", "-.e5", "-.", "1.e5",
        "7e1000000", "7e-1000000", "0.30000000000000004", "-2.5E+2",
    };
    for (const char* text : cases) {
        const JsonValue value = parse_ok(text);
        EXPECT_EQ(value.type, JsonType::Double) << text;
        const double expected = std::strtod(text, nullptr);
        if (std::isnan(expected)) continue;
        EXPECT_EQ(std::signbit(value.double_value), std::signbit(expected)) << text;
        EXPECT_EQ(value.double_value, expected) << text;
    }
}

TEST_F(JsonParse, NumbersInsideContainersEndAtTheirDelimiter) {
    const JsonValue doc = parse_ok(R"({"a":[1,-2.5e1,3],"b":-0})");
    EXPECT_EQ(doc.find("a")->array_items[1].double_value, -25.0);
    EXPECT_EQ(doc.find("a")->array_items[2].int_value, 3);
    EXPECT_EQ(doc.find("b")->type, JsonType::Int);
}

}  // namespace
}  // namespace tarn
