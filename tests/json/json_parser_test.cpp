// parse_json: failure messages, string escapes, numbers, and the fast paths of the scanner.
#include <cstdlib>
#include <cstring>
#include <random>

#include "json_test_util.h"

namespace tarn {
namespace {

using namespace std::string_literals;
using test::parse_error;
using test::parse_ok;

struct StringCase {
    std::string text;
    std::string expected;
};

// "" when `text` parses as a `type` holding exactly what strtoll or strtod
// makes of it; otherwise what was parsed instead.
std::string c_library_mismatch(const std::string& text, JsonType type) {
    const JsonValue value = parse_ok(text);
    const double expected = std::strtod(text.c_str(), nullptr);
    if (value.type != type) return text + ": wrong type " + to_json(value);
    if (type == JsonType::Int && value.int_value == std::strtoll(text.c_str(), nullptr, 10)) return "";
    if (type == JsonType::Double && std::memcmp(&value.double_value, &expected, sizeof expected) == 0) return "";
    return text + ": parsed as " + to_json(value);
}

class JsonParse : public ::testing::Test {};

TEST_F(JsonParse, MalformedDocumentsFailWithTheirFirstMessage) {
    const StringCase cases[] = {
        {"", "unexpected end"}, {"[", "unexpected end"}, {"{", "expected string"}, {R"({"a":1,})", "expected string"},
        {"[1,]", "unexpected char"}, {"\f{}", "unexpected char"}, {"\xEF\xBB\xBF{}", "unexpected char"},
        {"tru", "unexpected char"}, {R"({"a" 1})", "expected ':'"}, {R"({"a")", "expected ':'"},
        {R"({"a":1 "b":2})", "expected ',' or '}'"}, {R"({"a":1)", "expected ',' or '}'"},
        {"[nullx]", "expected ',' or ']'"}, {"[1", "expected ',' or ']'"}, {"{} x", "trailing garbage"},
        {"true1", "trailing garbage"}, {R"("\u12")", "bad \\u"}, {R"("\ud83d\u12")", "bad \\u"},
        {R"("\u12G4")", "bad \\u hex"}, {R"("\ud83d\u12G4")", "bad \\u hex"}, {R"("\x")", "bad escape"},
        {"\"abc\\", "unterminated escape"}, {"\"\\ud83d\\", "unterminated escape"}, {"\"abc", "unterminated string"},
        {"{\"a", "unterminated string"}, {"\"\\ud83d\\u1", "bad \\u"},
        // Only the first failure is reported.
        {R"([{"a":"\q"}, 1 2)", "bad escape"}, {R"(["a",{"b":[1,}]])", "unexpected char"},
    };
    for (const StringCase& c : cases) EXPECT_EQ(parse_error(c.text), c.expected) << "input: " << c.text;
}

TEST_F(JsonParse, StringEscapesDecodeToBytes) {
    const StringCase cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"}, {R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"},
        {R"("\u0041\u007f\u0080\u07FF\u0800\uFFFF")", "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {R"("a\u0000b")", "a\0b"s}, {"\"raw\ttab\xFF\x01\0\""s, "raw\ttab\xFF\x01\0"s},
    };
    for (const StringCase& c : cases) EXPECT_EQ(parse_ok(c.text).string_value, c.expected) << c.text;
}

// \ud83d\ude00 used to become two three-byte sequences, which is not UTF-8.
TEST_F(JsonParse, SurrogatePairEscapesDecodeToOneFourByteSequence) {
    const StringCase cases[] = {
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"}, {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        // Lone halves keep their own three-byte form.
        {R"("\ud83d")", "\xED\xA0\xBD"}, {R"("\ude00\ud83d")", "\xED\xB8\x80\xED\xA0\xBD"},
        {R"("\ud83d\u0041")", "\xED\xA0\xBD" "A"}, {R"("\ud83d\ud83d\ude00")", "\xED\xA0\xBD\xF0\x9F\x98\x80"},
    };
    for (const StringCase& c : cases) EXPECT_EQ(parse_ok(c.text).string_value, c.expected) << c.text;
}

// Without point or exponent a number is an Int, else a Double, with the value
// strtoll or strtod gives it: a lone minus is 0, twenty nines saturate.
TEST_F(JsonParse, LiteralFormChoosesIntOrDoubleAndTheCLibraryGivesTheValue) {
    for (const char* text : {"-", "-0", "007", "999999999999999999", "-9223372036854775808", "9223372036854775808",
                             "99999999999999999999", "-99999999999999999999"}) {
        EXPECT_EQ(c_library_mismatch(text, JsonType::Int), "");
    }
    for (const char* text : {"1.", "1e", "1E-", "-.5", "-.", "-0.0", "0e999", "1e999", "-1e999", "1e-400", "1e23",
                             "7e-1000000", "5e-324", "9007199254740993.0", "12345678901234567890e-5"}) {
        EXPECT_EQ(c_library_mismatch(text, JsonType::Double), "");
    }
}

class JsonParseFastPaths : public ::testing::Test {};

TEST_F(JsonParseFastPaths, QuoteAndBackslashAreFoundAtEveryOffset) {
    for (std::size_t before = 0; before < 40; ++before) {
        const std::string a(before, 'a');
        for (std::size_t after = 0; after < 20; ++after) {
            const std::string b(after, 'b');
            EXPECT_EQ(parse_ok("\"" + a + "\\n" + b + "\"").string_value, a + "\n" + b) << before << " " << after;
        }
        // The input ends inside the string; parse_error hands over exactly these bytes.
        EXPECT_EQ(parse_error("[\"" + a), "unterminated string") << before;
        EXPECT_EQ(parse_error("[\"" + a + "\\"), "unterminated escape") << before;
    }
}

TEST_F(JsonParseFastPaths, NestedArraysAcrossElementStackBlocks) {
    for (int outer : {1, 63, 64, 65, 130}) {
        for (int inner : {1, 63, 64, 65, 130}) {
            std::string text = "[";
            for (int i = 0; i < outer; ++i) {
                text += i ? "],[" : "[";
                for (int j = 0; j < inner; ++j) text += (j ? "," : "") + std::to_string(i + j);
            }
            EXPECT_EQ(to_json(parse_ok(text + "]]")), text + "]]") << outer << " " << inner;
        }
    }
}

// Elements reuse the slots of earlier, finished arrays; no field of an
// earlier element may show through in a later one.
TEST_F(JsonParseFastPaths, ReusedElementSlotsKeepNoStaleFields) {
    const JsonValue doc = parse_ok(R"([[1.5,"0123456789abcdefg",true,7,{"a":1},[1]],[null,null,null,null,null,null]])");
    for (const JsonValue& item : doc.array_items[1].array_items) {
        EXPECT_TRUE(item.type == JsonType::Null && !item.bool_value && item.int_value == 0 &&
                    item.double_value == 0.0 && item.string_value.empty() && item.array_items.empty() &&
                    item.object_members.empty());
    }
}

TEST_F(JsonParseFastPaths, GeneratedNumbersMatchTheCLibraryBitForBit) {
    std::mt19937 random(2024);  // the same sequence on every platform
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    auto digits = [&](std::size_t most) {
        std::string s(pick(most + 1), '0');
        for (char& c : s) c = static_cast<char>('0' + pick(10));
        return s;
    };
    const char* exponent_signs[] = {"", "+", "-"};
    for (int n = 0; n < 20000; ++n) {
        std::string text = (pick(2) ? "-" : "") + digits(21);
        const bool has_fraction = pick(3) != 0, has_exponent = pick(3) == 0;
        if (has_fraction) text += "." + digits(21);
        if (has_exponent) text += (pick(2) ? "e" : "E") + std::string(exponent_signs[pick(3)]) + digits(3);
        if (text.empty() || text[0] == '.' || text[0] == 'e' || text[0] == 'E') continue;  // not a number start
        ASSERT_EQ(c_library_mismatch(text, has_fraction || has_exponent ? JsonType::Double : JsonType::Int), "");
    }
}

}  // namespace
}  // namespace tarn
