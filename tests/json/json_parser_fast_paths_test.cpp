// parse_json: the chunked string scan, the element stack, member reservation and the fast number conversions.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "json/json_parser.h"
#include "json_test_util.h"

namespace tarn {
namespace {

using test::parse_ok;

class JsonParseFastPaths : public ::testing::Test {
protected:
    // Parses `text` from a heap block of exactly its size, so that a read
    // past the end is caught by the address sanitizer.
    static std::string error_of_exact(const std::string& text) {
        const std::unique_ptr<char[]> exact(new char[text.size() == 0 ? 1 : text.size()]);
        if (!text.empty()) std::memcpy(exact.get(), text.data(), text.size());
        JsonValue value;
        std::string error;
        if (parse_json(std::string_view(exact.get(), text.size()), value, error)) return "(parsed)";
        return error;
    }

    static std::string ints_array(int count, int first) {
        std::string text = "[";
        for (int i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(first + i);
        return text + "]";
    }

    // The same deterministic sequence on every platform.
    std::uint32_t next(std::uint32_t range) {
        state_ = state_ * 1103515245u + 12345u;
        return (state_ >> 8) % range;
    }

private:
    std::uint32_t state_ = 2024u;
};

TEST_F(JsonParseFastPaths, QuoteAndBackslashAreFoundAtEveryOffset) {
    for (std::size_t before = 0; before < 40; ++before) {
        for (std::size_t after = 0; after < 20; ++after) {
            const std::string text = "\"" + std::string(before, 'a') + "\\n" + std::string(after, 'b') + "\"";
            EXPECT_EQ(parse_ok(text).string_value, std::string(before, 'a') + "\n" + std::string(after, 'b'))
                << before << " " << after;
        }
    }
}

TEST_F(JsonParseFastPaths, StringsEndingWithTheInputNeverReadPastIt) {
    for (std::size_t length = 0; length < 40; ++length) {
        const std::string open = "[\"" + std::string(length, 'x');
        EXPECT_EQ(error_of_exact(open), "unterminated string") << length;
        EXPECT_EQ(error_of_exact(open + "\\"), "unterminated escape") << length;
        EXPECT_EQ(error_of_exact(open + "\"]"), "(parsed)") << length;
    }
}

TEST_F(JsonParseFastPaths, NestedArraysAcrossElementStackBlocks) {
    const int sizes[] = {1, 63, 64, 65, 130};
    for (int outer : sizes) {
        for (int inner : sizes) {
            std::string text = "[";
            for (int i = 0; i < outer; ++i) text += (i ? "," : "") + std::string("{\"k\":") + ints_array(inner, i) + "}";
            text += "]";
            const JsonValue doc = parse_ok(text);
            ASSERT_EQ(doc.array_size(), static_cast<std::size_t>(outer));
            for (int i = 0; i < outer; ++i) {
                const JsonValue* k = doc.array_items[static_cast<std::size_t>(i)].find("k");
                ASSERT_NE(k, nullptr);
                ASSERT_EQ(k->array_size(), static_cast<std::size_t>(inner)) << outer << " " << inner;
                EXPECT_EQ(k->array_items.front().int_value, i);
                EXPECT_EQ(k->array_items.back().int_value, i + inner - 1);
            }
        }
    }
}

TEST_F(JsonParseFastPaths, ObjectsOfChangingShapeAtOneDepth) {
    const JsonValue doc =
        parse_ok(R"([{"a":1,"b":2,"c":3},{"x":"y"},{},{"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9},{"z":[]}])");
    const std::size_t sizes[] = {3, 1, 0, 9, 1};
    ASSERT_EQ(doc.array_size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(doc.array_items[i].object_members.size(), sizes[i]) << i;
    EXPECT_EQ(doc.array_items[1].find("x")->string_value, "y");
    EXPECT_EQ(doc.array_items[3].find("i")->int_value, 9);
    EXPECT_EQ(doc.array_items[4].find("z")->type, JsonType::Array);
}

// Each object reserves as many members as the last one at its depth had;
// a small object after a large one must not keep the large reservation.
TEST_F(JsonParseFastPaths, SmallObjectAfterLargeOneKeepsNoSpareReservation) {
    std::string text = "[{";
    for (int i = 0; i < 1000; ++i) text += (i ? ",\"" : "\"") + std::to_string(i) + "\":0";
    text += "},{\"a\":1},{\"a\":1,\"b\":2}]";
    const JsonValue doc = parse_ok(text);
    ASSERT_EQ(doc.array_size(), 3u);
    EXPECT_EQ(doc.array_items[0].object_members.size(), 1000u);
    EXPECT_LE(doc.array_items[1].object_members.capacity(), 2u);
    EXPECT_EQ(doc.array_items[2].find("b")->int_value, 2);
}

// Elements reuse the slots of earlier, finished arrays; no field of an
// earlier element may show through in a later one.
TEST_F(JsonParseFastPaths, LaterElementsKeepEveryOtherFieldAtDefault) {
    const JsonValue doc =
        parse_ok(R"([[1.5,"a string longer than fifteen bytes",true,7,{"a":1},[1]],[null,null,null,null,null,null]])");
    for (const JsonValue& item : doc.array_items[1].array_items) {
        EXPECT_EQ(item.type, JsonType::Null);
        EXPECT_FALSE(item.bool_value);
        EXPECT_EQ(item.int_value, 0);
        EXPECT_EQ(item.double_value, 0.0);
        EXPECT_TRUE(item.string_value.empty());
        EXPECT_TRUE(item.array_items.empty());
        EXPECT_TRUE(item.object_members.empty());
    }
}

TEST_F(JsonParseFastPaths, GeneratedNumbersMatchTheCLibraryBitForBit) {
    for (int n = 0; n < 20000; ++n) {
        std::string text;
        if (next(2)) text += '-';
        const std::uint32_t int_digits = next(22);
        for (std::uint32_t i = 0; i < int_digits; ++i) text += static_cast<char>('0' + next(10));
        const bool has_fraction = next(3) != 0;
        if (has_fraction) {
            text += '.';
            const std::uint32_t fraction_digits = next(22);
            for (std::uint32_t i = 0; i < fraction_digits; ++i) text += static_cast<char>('0' + next(10));
        }
        const bool has_exponent = next(3) == 0;
        if (has_exponent) {
            text += next(2) ? 'e' : 'E';
            const std::uint32_t sign = next(3);
            if (sign) text += sign == 1 ? '+' : '-';
            const std::uint32_t exponent_digits = next(4);
            for (std::uint32_t i = 0; i < exponent_digits; ++i) text += static_cast<char>('0' + next(10));
        }
        if (text.empty() || text[0] == '.' || text[0] == 'e' || text[0] == 'E') continue;  // not a number start
        const JsonValue value = parse_ok(text);
        if (has_fraction || has_exponent) {
            ASSERT_EQ(value.type, JsonType::Double) << text;
            const double expected = std::strtod(text.c_str(), nullptr);
            ASSERT_EQ(std::memcmp(&value.double_value, &expected, sizeof expected), 0)
                << text << " gave " << value.double_value << ", strtod " << expected;
        } else {
            ASSERT_EQ(value.type, JsonType::Int) << text;
            ASSERT_EQ(value.int_value, std::strtoll(text.c_str(), nullptr, 10)) << text;
        }
    }
}

}  // namespace
}  // namespace tarn
