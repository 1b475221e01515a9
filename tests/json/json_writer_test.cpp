// to_json, append_json_string and json_escape: exact output.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "json/json_writer.h"
#include "json_test_util.h"

namespace tarn {
namespace {

using namespace std::string_literals;
using test::parse_ok;

class JsonWrite : public ::testing::Test {
protected:
    static std::string write_double(double d) {
        JsonValue value;
        value.type = JsonType::Double;
        value.double_value = d;
        return to_json(value);
    }
    static std::string write_string(const std::string& s) {
        std::string out;
        append_json_string(out, s);
        return out;
    }
};

TEST_F(JsonWrite, DocumentComesBackCompactInStoredOrder) {
    EXPECT_EQ(to_json(parse_ok(R"({"b":1, "a":[true,null,"x"], "b":2.5})")), R"({"b":1,"a":[true,null,"x"],"b":2.5})");
    EXPECT_EQ(to_json(parse_ok(" [ ] ")), "[]");
    EXPECT_EQ(to_json(parse_ok(" { } ")), "{}");
    EXPECT_EQ(to_json(parse_ok(R"([{"a":{}},[[]],false])")), R"([{"a":{}},[[]],false])");
}

TEST_F(JsonWrite, IntsAsPlainDecimal) {
    EXPECT_EQ(to_json(parse_ok("-9223372036854775808")), "-9223372036854775808");
    EXPECT_EQ(to_json(parse_ok("9223372036854775807")), "9223372036854775807");
    EXPECT_EQ(to_json(parse_ok("-0")), "0");
    EXPECT_EQ(to_json(parse_ok("007")), "7");
}

TEST_F(JsonWrite, DoublesWithSeventeenSignificantDigits) {
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.1, "0.10000000000000001"},
        {3.14, "3.1400000000000001"},
        {1.0, "1"},
        {100.0, "100"},
        {1e21, "1e+21"},
        {1e-7, "9.9999999999999995e-08"},
        {2.5, "2.5"},
        {1e16, "10000000000000000"},
        {1e17, "1e+17"},
        {-1.5e-300, "-1.5000000000000001e-300"},
        {5e-324, "4.9406564584124654e-324"},
    };
    for (const Case& c : cases) EXPECT_EQ(write_double(c.value), c.text) << c.text;
}

TEST_F(JsonWrite, NonFiniteDoublesStayJson) {
    EXPECT_EQ(write_double(std::numeric_limits<double>::infinity()), "1e999");
    EXPECT_EQ(write_double(-std::numeric_limits<double>::infinity()), "-1e999");
    EXPECT_EQ(write_double(std::nan("")), "null");
    EXPECT_EQ(to_json(parse_ok("[1e999,-1e999]")), "[1e999,-1e999]");
}

// Like every integral double, -0.0 is written without a point (-0) and
// reads back as an Int: the one value whose text changes on a second round.
TEST_F(JsonWrite, NegativeZeroIsWrittenAsMinusZeroAndReadsBackAsInt0) {
    EXPECT_EQ(write_double(-0.0), "-0");
    EXPECT_EQ(write_double(0.0), "0");
    EXPECT_EQ(to_json(parse_ok(write_double(-0.0))), "0");
}

struct EscapeCase {
    std::string bytes;
    const char* literal;  // append_json_string, quotes included
    const char* escaped;  // json_escape
};

TEST_F(JsonWrite, BothEscapingRules) {
    const EscapeCase cases[] = {
        {"\b", R"("\b")", R"(\u0008)"},
        {"\f", R"("\f")", R"(\u000c)"},
        {"\t", R"("\t")", R"(\t)"},
        {"\n", R"("\n")", R"(\n)"},
        {"\r", R"("\r")", R"(\r)"},
        {"\"", R"("\"")", R"(\")"},
        {"\\", R"("\\")", R"(\\)"},
        {"\0"s, R"("\u0000")", R"(\u0000)"},
        {"\x01\x1F\x7F", "\"\\u0001\\u001f\x7F\"", "\\u0001\\u001f\x7F"},
        {"\x0B\x1B", R"("\u000b\u001b")", R"(\u000b\u001b)"},
        {"/", R"("/")", "/"},
        {"caf\xC3\xA9 \xFF\x80", "\"caf\xC3\xA9 \xFF\x80\"", "caf\xC3\xA9 \xFF\x80"},
        {"", R"("")", ""},
        {"plain text, then a \"quote\"\b\f", R"("plain text, then a \"quote\"\b\f")",
         R"(plain text, then a \"quote\"\u0008\u000c)"},
    };
    for (const EscapeCase& c : cases) {
        EXPECT_EQ(write_string(c.bytes), c.literal) << c.literal;
        EXPECT_EQ(json_escape(c.bytes), c.escaped) << c.literal;
    }
}

TEST_F(JsonWrite, KeysAreEscapedLikeStrings) {
    EXPECT_EQ(to_json(parse_ok(R"({"a\"b\u0001":"\b"})")), R"({"a\"b\u0001":"\b"})");
}

TEST_F(JsonWrite, AppendJsonKeepsWhatIsAlreadyThere) {
    std::string out = "prefix:";
    append_json(out, parse_ok("[1]"));
    EXPECT_EQ(out, "prefix:[1]");
}

// Every other value is written as text that is written back unchanged.
TEST_F(JsonWrite, WritingWhatWasWrittenGivesTheSameText) {
    const char* documents[] = {
        R"({"a":[0.1,1e999,1e-999,12345678901234567.0,1e16,"\ud83d\ude00\u0000\b"],"b":{"c":-0}})",
        "[\"raw\x01\xFF\", 2.2250738585072014e-308, 99999999999999999999, -.5, 1.]",
    };
    for (const char* text : documents) {
        const std::string once = to_json(parse_ok(text));
        EXPECT_EQ(to_json(parse_ok(once)), once) << text;
    }
}

}  // namespace
}  // namespace tarn
