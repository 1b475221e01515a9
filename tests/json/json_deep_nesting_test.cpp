// Nesting limits: deep documents parse, write and free within a 1 MiB stack.
#include <gtest/gtest.h>

#include <string>

#include "json/json_parser.h"
#include "json/json_writer.h"
#include "json_test_util.h"
#include "small_stack_thread.h"

namespace tarn {
namespace {

using test::run_on_stack;
using test::windows_default_stack_bytes;

class JsonNesting : public ::testing::Test {
protected:
    static std::string nested_arrays(std::size_t depth) {
        return std::string(depth, '[') + std::string(depth, ']');
    }
    // Alternating objects and arrays: {"k":[{"k":[...]}]}
    static std::string nested_mixed(std::size_t depth) {
        std::string open;
        std::string close;
        for (std::size_t i = 0; i < depth; ++i) {
            open += (i % 2 == 0) ? "{\"k\":" : "[";
            close.insert(0, (i % 2 == 0) ? "}" : "]");
        }
        return open + "7" + close;
    }
};

TEST_F(JsonNesting, DepthAtLimitIsAccepted) {
    EXPECT_EQ(test::parse_error(nested_arrays(json_max_depth)), "(parsed)");
    EXPECT_EQ(test::parse_error(nested_mixed(json_max_depth)), "(parsed)");
}

TEST_F(JsonNesting, DepthOnePastLimitFails) {
    EXPECT_EQ(test::parse_error(nested_arrays(json_max_depth + 1)), "nesting too deep");
    EXPECT_EQ(test::parse_error(nested_mixed(json_max_depth + 1)), "nesting too deep");
}

TEST_F(JsonNesting, SiblingsDoNotAddToDepth) {
    std::string text = "[";
    for (int i = 0; i < 2000; ++i) text += nested_arrays(json_max_depth - 1) + ",";
    text += "0]";
    EXPECT_EQ(test::parse_error(text), "(parsed)");
}

TEST_F(JsonNesting, FourMebibytesOfOpeningBracketsFailOnSmallStack) {
    std::string error;
    const bool started = run_on_stack(windows_default_stack_bytes, [&] {
        const std::string body(4 * 1024 * 1024, '[');
        JsonValue value;
        if (parse_json(body, value, error)) error = "(parsed)";
    });
    ASSERT_TRUE(started);
    EXPECT_EQ(error, "nesting too deep");
}

TEST_F(JsonNesting, DeepestTreeParsesWritesAndFreesOnSmallStack) {
    const std::string text = nested_mixed(json_max_depth);
    std::string written;
    const bool started = run_on_stack(windows_default_stack_bytes, [&] {
        JsonValue value;
        std::string error;
        if (parse_json(text, value, error)) written = to_json(value);
    });
    ASSERT_TRUE(started);
    EXPECT_EQ(written, text);
}

}  // namespace
}  // namespace tarn
