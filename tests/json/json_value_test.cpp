// JsonValue accessors, lookups and teardown.
#include <cmath>
#include <cstdint>
#include <limits>

#include "json_test_util.h"

namespace tarn {

using namespace std::string_literals;
using test::parse_ok;

class JsonValueAccess : public ::testing::Test {};

TEST_F(JsonValueAccess, FindReturnsTheFirstMemberWithExactlyTheseBytes) {
    const JsonValue doc = parse_ok(R"({"a":1,"a":2,"ab":3,"k\u0000x":4,"k":5})");
    const std::pair<std::string, std::int64_t> cases[] = {
        {"a", 1}, {"ab", 3}, {"k\0x"s, 4}, {"k", 5}, {"A", -1}, {"", -1}, {"abc", -1}, {"k\0"s, -1},
    };
    for (const auto& [key, expected] : cases) EXPECT_EQ(doc.find(key) ? doc.find(key)->int_value : -1, expected) << key;
    EXPECT_EQ(parse_ok(R"([{"a":1}])").find("a"), nullptr);
}

TEST_F(JsonValueAccess, JsonGetIntTruncatesSaturatesAndFallsBack) {
    constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
    JsonValue doc = parse_ok(R"({"pos":3.9,"neg":-3.9,"huge":1e300,"tiny":-1e300,"edge":9223372036854775808.0,)"
                             R"("below":-9223372036854774784.0,"str":"5","flag":true,"nul":null,"int":-42})");
    JsonValue& nan = doc.object_members.emplace_back("nan", JsonValue()).value;
    nan.type = JsonType::Double;
    nan.double_value = std::nan("");
    const std::pair<const char*, std::int64_t> cases[] = {
        {"pos", 3}, {"neg", -3}, {"huge", int64_min}, {"tiny", int64_min}, {"edge", int64_min}, {"nan", int64_min},
        {"below", -9223372036854774784}, {"int", -42}, {"str", 77}, {"flag", 77}, {"nul", 77}, {"absent", 77},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(json_get_int(doc, name, 77), expected) << name;
}

TEST_F(JsonValueAccess, JsonGetStringFallsBackForNonStrings) {
    const JsonValue doc = parse_ok(R"({"n":12,"b":false,"e":"","s":"x\"y"})");
    const std::pair<const char*, const char*> cases[] = {
        {"n", "fallback"}, {"b", "fallback"}, {"e", ""}, {"s", "x\"y"}, {"absent", "fallback"}};
    for (const auto& [name, expected] : cases) EXPECT_EQ(json_get_string(doc, name, "fallback"), expected) << name;
    EXPECT_EQ(json_get_string(parse_ok(R"(["s"])"), "s", "fallback"), "fallback");
}

TEST_F(JsonValueAccess, AsDoubleRoundsIntToNearestAndRefusesNonNumbers) {
    EXPECT_EQ(parse_ok("9007199254740993").as_double().value_or(0), 9007199254740992.0);  // 2^53 + 1
    EXPECT_FALSE(parse_ok(R"("5")").as_double().has_value());
}

TEST_F(JsonValueAccess, ArraySizeIsZeroForEverythingButArrays) {
    for (const char* text : {R"({"a":1})", R"("ab")", "null", "[]"}) EXPECT_EQ(parse_ok(text).array_size(), 0u) << text;
    EXPECT_EQ(parse_ok("[1,[2,3],4]").array_size(), 3u);
}

TEST_F(JsonValueAccess, MoveAssignmentFromOwnDescendantKeepsTheDescendant) {
    JsonValue doc = parse_ok(R"([[["deep"]],2])");
    doc = std::move(doc.array_items[0]);
    EXPECT_EQ(doc.array_items.at(0).array_items.at(0).string_value, "deep");
}

// Far deeper than the parser allows: only an iterative teardown survives it.
TEST_F(JsonValueAccess, DestroyingVeryDeepHandBuiltTreeDoesNotRecurse) {
    auto root = std::make_unique<JsonValue>();
    JsonValue* node = root.get();
    for (int i = 0; i < 1000000; ++i) {
        node = i % 2 ? &node->array_items.emplace_back() : &node->object_members.emplace_back("k", JsonValue()).value;
    }
    root.reset();
}

}  // namespace tarn
