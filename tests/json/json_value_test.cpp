// JsonValue accessors, lookups and teardown.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "json/json_value.h"
#include "json_test_util.h"

namespace tarn {
namespace {

using test::parse_ok;

constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();

class JsonValueAccess : public ::testing::Test {};

TEST_F(JsonValueAccess, DefaultValueIsNullWithEveryFieldAtDefault) {
    JsonValue value;
    EXPECT_EQ(value.type, JsonType::Null);
    EXPECT_FALSE(value.bool_value);
    EXPECT_EQ(value.int_value, 0);
    EXPECT_EQ(value.double_value, 0.0);
    EXPECT_TRUE(value.string_value.empty());
    EXPECT_TRUE(value.array_items.empty());
    EXPECT_TRUE(value.object_members.empty());
}

TEST_F(JsonValueAccess, FindOnNonObjectsYieldsNothing) {
    for (const char* text : {"[\"a\"]", "null", "1", "\"a\"", "true", "1.5"}) {
        EXPECT_EQ(parse_ok(text).find("a"), nullptr) << text;
    }
}

TEST_F(JsonValueAccess, FindReturnsFirstOfDuplicatedKeys) {
    const JsonValue doc = parse_ok(R"({"a":1,"a":2})");
    const JsonValue* a = doc.find("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type, JsonType::Int);
    EXPECT_EQ(a->int_value, 1);
}

TEST_F(JsonValueAccess, FindIsCaseSensitiveAndExact) {
    const JsonValue doc = parse_ok(R"({"a":1,"ab":2})");
    EXPECT_EQ(doc.find("A"), nullptr);
    EXPECT_EQ(doc.find(""), nullptr);
    EXPECT_EQ(doc.find("ab")->int_value, 2);
    EXPECT_EQ(doc.find("abc"), nullptr);
}

TEST_F(JsonValueAccess, KeyWithNulMatchesOnlySameBytesAndLength) {
    const JsonValue doc = parse_ok(R"({"k\u0000x":2,"k":3})");
    using namespace std::string_literals;
    ASSERT_NE(doc.find("k\0x"s), nullptr);
    EXPECT_EQ(doc.find("k\0x"s)->int_value, 2);
    EXPECT_EQ(doc.find("k")->int_value, 3);
    EXPECT_EQ(doc.find("k\0"s), nullptr);
}

TEST_F(JsonValueAccess, JsonGetIntTruncatesSaturatesAndFallsBack) {
    const JsonValue doc = parse_ok(
        R"({"pos":3.9,"neg":-3.9,"huge":1e300,"tiny":-1e300,"edge":9223372036854775808.0,)"
        R"("below":-9223372036854774784.0,"str":"5","flag":true,"nul":null,"int":-42})");
    struct Case {
        const char* name;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"pos", 3},       {"neg", -3},   {"huge", int64_min}, {"tiny", int64_min},
        {"edge", int64_min}, {"below", -9223372036854774784}, {"str", 77}, {"flag", 77},
        {"nul", 77},      {"int", -42},  {"absent", 77},
    };
    for (const Case& c : cases) EXPECT_EQ(json_get_int(doc, c.name, 77), c.expected) << c.name;
}

TEST_F(JsonValueAccess, AsIntOfNanIsInt64Min) {
    JsonValue value;
    value.type = JsonType::Double;
    value.double_value = std::nan("");
    EXPECT_EQ(value.as_int(), int64_min);
}

TEST_F(JsonValueAccess, AsIntAndAsDoubleRefuseNonNumbers) {
    for (const char* text : {"true", "\"5\"", "null", "[1]", "{}"}) {
        const JsonValue value = parse_ok(text);
        EXPECT_FALSE(value.as_int().has_value()) << text;
        EXPECT_FALSE(value.as_double().has_value()) << text;
    }
}

TEST_F(JsonValueAccess, AsDoubleRoundsIntToNearest) {
    const JsonValue value = parse_ok("9007199254740993");  // 2^53 + 1
    ASSERT_TRUE(value.as_double().has_value());
    EXPECT_EQ(*value.as_double(), 9007199254740992.0);
    EXPECT_EQ(*parse_ok("2.5").as_double(), 2.5);
}

TEST_F(JsonValueAccess, JsonGetStringFallsBackForNonStrings) {
    const JsonValue doc = parse_ok(R"({"n":12,"b":false,"e":"","s":"x\"y"})");
    EXPECT_EQ(json_get_string(doc, "n", "fb"), "fb");
    EXPECT_EQ(json_get_string(doc, "b", "fb"), "fb");
    EXPECT_EQ(json_get_string(doc, "e", "fb"), "");
    EXPECT_EQ(json_get_string(doc, "s", "fb"), "x\"y");
    EXPECT_EQ(json_get_string(doc, "absent", "fb"), "fb");
    EXPECT_EQ(json_get_string(parse_ok(R"(["s"])"), "s", "fb"), "fb");
}

TEST_F(JsonValueAccess, ArraySizeIsZeroForEverythingButArrays) {
    const JsonValue doc = parse_ok(R"({"obj":{"a":1},"empty":[],"three":[1,2,3]})");
    EXPECT_EQ(doc.find("obj")->array_size(), 0u);
    EXPECT_EQ(doc.find("empty")->array_size(), 0u);
    EXPECT_EQ(doc.find("three")->array_size(), 3u);
    EXPECT_EQ(doc.array_size(), 0u);
}

TEST_F(JsonValueAccess, MoveAssignmentFromOwnDescendantKeepsTheDescendant) {
    JsonValue doc = parse_ok(R"([[["deep"]],2])");
    doc = std::move(doc.array_items[0]);
    ASSERT_EQ(doc.type, JsonType::Array);
    ASSERT_EQ(doc.array_size(), 1u);
    EXPECT_EQ(doc.array_items[0].array_items[0].string_value, "deep");
}

TEST_F(JsonValueAccess, DestroyingVeryDeepHandBuiltTreeDoesNotRecurse) {
    // Far deeper than the parser allows: only an iterative teardown survives it.
    constexpr int levels = 1000000;
    auto root = std::make_unique<JsonValue>();
    JsonValue* node = root.get();
    for (int i = 0; i < levels; ++i) {
        node->type = (i % 2 == 0) ? JsonType::Array : JsonType::Object;
        if (node->type == JsonType::Array) {
            node->array_items.emplace_back();
            node = &node->array_items.back();
        } else {
            node->object_members.push_back(JsonMember{"k", JsonValue()});
            node = &node->object_members.back().value;
        }
    }
    root.reset();
    SUCCEED();
}

}  // namespace
}  // namespace tarn
