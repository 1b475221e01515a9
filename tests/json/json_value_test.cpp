// JsonValue accessors, lookups and teardown, and its written form: to_json,
// append_json_string and json_escape.
#include <cmath>
#include <cstdint>
#include <tuple>

#include "json_test_util.h"

namespace tarn::test {

using namespace std::string_literals;

// json_get_int reads numbers as as_int() does; anything else, or nothing,
// gives the fallback. as_double rounds an Int to the nearest double;
// array_size counts only the items of arrays; find takes the first member.
TEST(JsonValueAccess, ConversionsConvertOrFallBack) {
    JsonValue doc = parse_ok(R"({"pos":3.9,"neg":-3.9,"huge":1e300,"tiny":-1e300,"edge":9223372036854775808.0,)"
                             R"("below":-9223372036854774784.0,"str":"x\"y","e":"","flag":true,"nul":null,"int":-42})");
    doc.object_members.emplace_back("nan", parse_ok("0.5")).value.double_value = std::nan("");
    // clang-format off
    const std::pair<const char*, std::int64_t> ints[] = {
        {"pos", 3}, {"neg", -3}, {"huge", INT64_MIN}, {"tiny", INT64_MIN}, {"edge", INT64_MIN}, {"nan", INT64_MIN},
        {"below", -9223372036854774784}, {"int", -42}, {"str", 77}, {"flag", 77}, {"nul", 77}, {"absent", 77}};
    // clang-format on
    for (const auto& [name, expected] : ints) EXPECT_EQ(json_get_int(doc, name, 77), expected) << name;
    // clang-format off
    const std::pair<const char*, const char*> strings[] = {
        {"str", "x\"y"}, {"e", ""}, {"int", "-"}, {"flag", "-"}, {"nul", "-"}, {"absent", "-"}};
    // clang-format on
    for (const auto& [name, expected] : strings) EXPECT_EQ(json_get_string(doc, name, "-"), expected) << name;
    EXPECT_EQ(json_get_string(parse_ok(R"(["s"])"), "s", "-"), "-");
    EXPECT_EQ(parse_ok("9007199254740993").as_double().value_or(0), 9007199254740992.0);  // 2^53 + 1, to nearest
    EXPECT_FALSE(parse_ok(R"("5")").as_double().has_value());
    for (const char* text : {R"({"a":1})", R"("ab")", "null", "[]"}) EXPECT_EQ(parse_ok(text).array_size(), 0u) << text;
    EXPECT_EQ(parse_ok("[1,[2,3],4]").array_size(), 3u);
    // find gives the first member with exactly these bytes.
    const JsonValue members = parse_ok(R"({"a":1,"a":2,"ab":3,"k\u0000x":4,"k":5})");
    // clang-format off
    const std::pair<std::string, std::int64_t> cases[] = {
        {"a", 1}, {"ab", 3}, {"k\0x"s, 4}, {"k", 5}, {"A", -1}, {"", -1}, {"abc", -1}, {"k\0"s, -1}};
    // clang-format on
    for (const auto& [key, expected] : cases) {
        EXPECT_EQ(members.find(key) ? members.find(key)->int_value : -1, expected) << key;
    }
    EXPECT_EQ(parse_ok(R"([{"a":1}])").find("a"), nullptr);
}

// Moving a descendant into its own root keeps the descendant; a tree far
// deeper than the parser allows is torn down without recursion.
TEST(JsonValueAccess, MoveFromOwnDescendantAndVeryDeepTeardownWork) {
    JsonValue doc = parse_ok(R"([[{"k":["deep"]}],2])");
    doc = std::move(doc.array_items[0]);  // an array, then an object
    doc = std::move(doc.array_items.at(0));
    EXPECT_EQ(doc.find("k")->array_items.at(0).string_value, "deep");
    auto root = std::make_unique<JsonValue>();
    JsonValue* node = root.get();
    for (int i = 0; i < 1000000; ++i) {
        node = i % 2 ? &node->array_items.emplace_back() : &node->object_members.emplace_back("k", JsonValue()).value;
    }
    root.reset();
}

// Each document is written compactly, a double with 17 significant digits;
// the written text reads back to itself.
TEST(JsonWrite, DocumentsComeBackCompactInStoredOrder) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {R"({"b":1, "a":[true,null,"x"], "b":2.5})", R"({"b":1,"a":[true,null,"x"],"b":2.5})"},
        {" [ ] ", "[]"}, {" { } \t\r\n", "{}"}, {R"( [{"a":{}},[[]],null,false] )", R"([{"a":{}},[[]],null,false])"},
        {"[-9223372036854775808,9223372036854775807,-0,007]", "[-9223372036854775808,9223372036854775807,0,7]"},
        {"[0.1,1.0,1e999,-1e999]", "[0.10000000000000001,1,1e999,-1e999]"},  // 17 digits; the nearest to infinity
        {R"({"a\"b\u0001":"\b","":"\ud83d\ude00"})", "{\"a\\\"b\\u0001\":\"\\b\",\"\":\"\xF0\x9F\x98\x80\"}"},
        {R"([{"a":1,"b":2,"c":3},{"x":"y"},{},{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9},{"z":[]}])",
         R"([{"a":1,"b":2,"c":3},{"x":"y"},{},{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9},{"z":[]}])"}
    };
    // clang-format on
    for (const auto& [text, written] : cases) {
        EXPECT_EQ(to_json(parse_ok(text)), written) << text;
        EXPECT_EQ(to_json(parse_ok(written)), written) << text;
    }
    std::string out = "prefix:";
    append_json(out, parse_ok("[1]"));
    EXPECT_EQ(out, "prefix:[1]");
}

// append_json_string writes \b and \f, json_escape \u0008 and \u000c.
TEST(JsonWrite, BothEscapingRules) {
    // clang-format off
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {"\b\f", R"("\b\f")", R"(\u0008\u000c)"},
        {"x\t\n\r\"\\/y", R"("x\t\n\r\"\\/y")", R"(x\t\n\r\"\\/y)"},
        {"\0\x01\x0B\x1B\x1F"s, R"("\u0000\u0001\u000b\u001b\u001f")", R"(\u0000\u0001\u000b\u001b\u001f)"},
        {"\x7F caf\xC3\xA9 \xFF\x80", "\"\x7F caf\xC3\xA9 \xFF\x80\"", "\x7F caf\xC3\xA9 \xFF\x80"},
        {"", R"("")", ""}
    };
    // clang-format on
    for (const auto& [bytes, literal, escaped] : cases) {
        std::string out;
        append_json_string(out, bytes);
        EXPECT_EQ(out, literal);
        EXPECT_EQ(json_escape(bytes), escaped) << literal;
    }
}

}  // namespace tarn::test
