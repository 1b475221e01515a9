// parse_json: failure messages, string escapes, numbers, the fast paths of the
// scanner, the nesting limit within a 1 MiB stack, and the public
// JSONTestSuite parsing files.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>

#include "json_test_util.h"
#include "test_env.h"

namespace tarn::test {

using namespace std::string_literals;

// "" when `text` parses as the Int strtoll or the Double strtod makes of it
// (a Double when it has a point or an exponent); otherwise what was parsed.
std::string c_library_mismatch(const std::string& text) {
    const JsonValue value = parse_ok(text);
    const double d = std::strtod(text.c_str(), nullptr);
    const bool same = text.find_first_of(".eE") == std::string::npos
                          ? value.type == JsonType::Int && value.int_value == std::strtoll(text.c_str(), nullptr, 10)
                          : value.type == JsonType::Double && std::memcmp(&value.double_value, &d, sizeof d) == 0;
    return same ? "" : text + ": parsed as " + to_json(value) + (value.type == JsonType::Int ? " (Int)" : "");
}

// Alternating objects and arrays, {"k":[{"k":[...7...]}]}, `depth` deep.
std::string nested(std::size_t depth) {
    std::string text = "7";
    for (std::size_t i = depth; i-- > 0;) text = i % 2 ? "[" + text + "]" : "{\"k\":" + text + "}";
    return text;
}

// Runs `fn` on a thread with the default stack reserve of a Windows program,
// 1 MiB, and waits for it.
void run_on_small_stack(std::function<void()> fn) {
    pthread_attr_t attr;
    pthread_t thread;
    auto call = [](void* f) -> void* { return (*static_cast<std::function<void()>*>(f))(), nullptr; };
    ASSERT_TRUE(pthread_attr_init(&attr) == 0 && pthread_attr_setstacksize(&attr, 1024 * 1024) == 0 &&
                pthread_create(&thread, &attr, call, &fn) == 0 && pthread_join(thread, nullptr) == 0);
    pthread_attr_destroy(&attr);
}

TEST(JsonParse, MalformedDocumentsFailWithTheirFirstMessage) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {  // input, and its message or decoded bytes
        {"", "unexpected end"}, {"[", "unexpected end"}, {"{", "expected string"}, {R"({"a":1,})", "expected string"},
        {"[1,]", "unexpected char"}, {"\f{}", "unexpected char"}, {"\xEF\xBB\xBF{}", "unexpected char"},
        {"tru", "unexpected char"}, {R"({"a" 1})", "expected ':'"}, {R"({"a")", "expected ':'"},
        {"[1", "expected ',' or ']'"}, {R"({"a":1 "b":2})", "expected ',' or '}'"},
        {R"({"a":1)", "expected ',' or '}'"}, {"[nullx]", "expected ',' or ']'"}, {"{} x", "trailing garbage"},
        {"true1", "trailing garbage"}, {R"("\u12")", "bad \\u"}, {R"("\ud83d\u12")", "bad \\u"},
        {"\"\\ud83d\\u1", "bad \\u"}, {R"("\u12G4")", "bad \\u hex"}, {R"("\ud83d\u12G4")", "bad \\u hex"},
        {R"("\x")", "bad escape"}, {"\"abc\\", "unterminated escape"}, {"\"\\ud83d\\", "unterminated escape"},
        {"\"abc", "unterminated string"}, {"{\"a", "unterminated string"},
        // Only the first failure is reported.
        {R"([{"a":"\q"}, 1 2)", "bad escape"}, {R"(["a",{"b":[1,}]])", "unexpected char"}
    };
    // clang-format on
    for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << "input: " << text;
}

// \ud83d\ude00 used to become two three-byte sequences, which is not UTF-8.
TEST(JsonParse, StringEscapesAndSurrogatePairsDecodeToUtf8Bytes) {
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {R"("\"1\\2\/3\b4\f5\n6\r7\t8")", "\"1\\2/3\b4\f5\n6\r7\t8"}, {R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"},
        {R"("\u0041\u007f\u0080\u07FF\u0800\uFFFF")", "A\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {R"("a\u0000b")", "a\0b"s}, {"\"raw\ttab\xFF\x01\0\""s, "raw\ttab\xFF\x01\0"s},
        {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"}, {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
        {R"("\ud800\udc00")", "\xF0\x90\x80\x80"}, {R"("\uD7FF\uDC00")", "\xED\x9F\xBF\xED\xB0\x80"},
        // Lone halves keep their own three-byte form.
        {R"("\ud83d")", "\xED\xA0\xBD"}, {R"("\ude00\ud83d")", "\xED\xB8\x80\xED\xA0\xBD"},
        {R"("\ud83d\u0041")", "\xED\xA0\xBD" "A"}, {R"("\ud83d\ud83d\ude00")", "\xED\xA0\xBD\xF0\x9F\x98\x80"}
    };
    // clang-format on
    for (const auto& [text, bytes] : cases) EXPECT_EQ(parse_ok(text).string_value, bytes) << text;
}

// Without point or exponent a number is an Int, else a Double, with the value
// strtoll or strtod gives it: a lone minus is 0, twenty nines saturate.
// Literals of 128 bytes and more take another buffer on their way to the C
// library; exponents of six digits still take the fast conversion.
TEST(JsonParse, LiteralFormChoosesIntOrDoubleAndTheCLibraryGivesTheValue) {
    // clang-format off
    for (const std::string& text : std::initializer_list<std::string>{"-", "-0", "007", "999999999999999999", "-9223372036854775808", "9223372036854775808",
                                   "99999999999999999999", "-99999999999999999999", "1.", "1e", "1E-", "-.5", "-.",
                                   "-0.0", "0e999", "1e999", "-1e999", "1e-400", "1e23", "7e-1000000", "5e-324",
                                   "9007199254740993.0", "12345678901234567890e-5", "1e000010", "25e-000009",
                                   "1e0000010", "3" + std::string(127, '0'), "-0." + std::string(126, '0') + "7",
                                   "4" + std::string(300, '9')}) {
        // clang-format on
        EXPECT_EQ(c_library_mismatch(text), "");
    }
}

TEST(JsonParseFastPaths, QuoteAndBackslashAreFoundAtEveryOffset) {
    for (std::size_t before = 0; before < 40; ++before) {
        const std::string a(before, 'a');
        for (std::string b; b.size() < 20; b += 'b') {
            EXPECT_EQ(parse_ok("\"" + a + "\\n" + b + "\"").string_value, a + "\n" + b) << before << " " << b.size();
        }
        // The input ends inside the string; parse_error hands over exactly these bytes.
        EXPECT_EQ(parse_error("[\"" + a), "unterminated string") << before;
        EXPECT_EQ(parse_error("[\"" + a + "\\"), "unterminated escape") << before;
    }
}

TEST(JsonParseFastPaths, NestedArraysAcrossElementStackBlocks) {
    for (int outer : {1, 63, 64, 65, 130}) {
        for (int inner : {1, 63, 64, 65, 130}) {
            std::string text;  // [[0,1,..],[inner,..],..], outer arrays of inner numbers
            for (int i = 0; i < outer * inner; ++i) text += (i % inner ? "," : i ? "],[" : "[[") + std::to_string(i);
            EXPECT_EQ(to_json(parse_ok(text + "]]")), text + "]]") << outer << " " << inner;
        }
    }
}

// Sign, up to 21 integer digits, maybe a point and up to 21 fraction digits,
// maybe an exponent of up to 3 digits: random, but the same on every platform.
TEST(JsonParseFastPaths, GeneratedNumbersMatchTheCLibraryBitForBit) {
    std::mt19937 random(2024);
    auto digits = [&](unsigned most) {
        std::string s(random() % (most + 1), '0');
        for (char& c : s) c = static_cast<char>('0' + random() % 10);
        return s;
    };
    const char* exponent_marks[] = {"e", "E", "e+", "E+", "e-", "E-"};
    for (int n = 0; n < 20000; ++n) {
        const bool has_fraction = random() % 3 != 0, has_exponent = random() % 3 == 0;
        std::string text = std::string(random() % 2 ? "-" : "").append(digits(21));
        if (has_fraction) text += "." + digits(21);
        if (has_exponent) text.append(exponent_marks[random() % 6]).append(digits(3));
        if (text.empty() || std::strchr(".eE", text[0])) continue;  // not the start of a number
        ASSERT_EQ(c_library_mismatch(text), "");
    }
}

// Siblings do not add to the depth: the empty and the deep ones close again.
// Parsing, writing and freeing recurse no deeper than a 1 MiB stack allows.
TEST(JsonNesting, DepthAtLimitIsAcceptedAndOnePastFailsAndTheDeepestTreeWorksOnASmallStack) {
    EXPECT_EQ(parse_error(std::string(json_max_depth, '[') + std::string(json_max_depth, ']')), "(parsed)");
    const std::string deep_sibling = nested(json_max_depth - 1), deepest = nested(json_max_depth);
    EXPECT_EQ(parse_error("[[],{}," + deep_sibling + "," + deep_sibling + ",[],{}," + deep_sibling + "]"), "(parsed)");
    EXPECT_EQ(parse_error(nested(json_max_depth + 1)), "nesting too deep");
    std::string written, error;
    run_on_small_stack([&] {
        written = to_json(parse_ok(deepest));
        error = parse_error(std::string(4 * 1024 * 1024, '['));
    });
    EXPECT_EQ(written, deepest);
    EXPECT_EQ(error, "nesting too deep");
}

// Files a strict parser rejects but this one accepts on purpose.
// clang-format off
const std::set<std::string> accepted_leniently = {
    // A lone minus sign is the Int 0.
    "n_array_just_minus.json",
    // Leading zeros are read as strtoll reads them.
    "n_number_-01.json", "n_number_neg_int_starting_with_zero.json", "n_number_with_leading_zero.json",
    // A point without fraction digits, or a fraction without integer digits, is read as strtod reads it.
    "n_number_-2..json", "n_number_0.e1.json", "n_number_2.e+3.json", "n_number_2.e-3.json", "n_number_2.e3.json",
    "n_number_9.e+.json", "n_number_real_without_fractional_part.json", "n_number_neg_real_without_int_part.json",
    // An exponent without digits is read as strtod reads it (exponent 0).
    "n_number_0.3e+.json", "n_number_0.3e.json", "n_number_0_capital_E+.json", "n_number_0_capital_E.json",
    "n_number_0e+.json", "n_number_0e.json", "n_number_1.0e+.json", "n_number_1.0e-.json", "n_number_1.0e.json",
    // Raw control bytes are string content.
    "n_string_unescaped_ctrl_char.json", "n_string_unescaped_newline.json", "n_string_unescaped_tab.json",
};
// clang-format on

// y_ files parse, n_ files fail with a message unless listed above, i_ files
// may go either way; nothing crashes, and every accepted file writes stably.
TEST(JsonTestSuite, EveryFileIsJudgedAsListedAndAcceptedOnesWriteStably) {
    const auto dir = std::filesystem::path(source_path("tests/json/data/JSONTestSuite/test_parsing"));
    std::size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        const std::string text = text_of(entry.path().string());
        ++files;
        JsonValue value;
        const std::string error = parse_error(text, &value);
        const bool must_parse = name[0] == 'y' || accepted_leniently.count(name) != 0;
        EXPECT_TRUE(name[0] == 'i' || (error == "(parsed)") == must_parse) << name << ": " << error;
        EXPECT_NE(error, "parse error") << name;
        if (error != "(parsed)") continue;
        const std::string once = to_json(value);
        EXPECT_EQ(to_json(parse_ok(once)), once) << name;
    }
    EXPECT_EQ(files, 318u) << "JSONTestSuite not found under " << dir;
}

}  // namespace tarn::test
