// Nesting limits: deep documents parse, write and free within a 1 MiB stack.
#include <pthread.h>

#include <functional>

#include "json_test_util.h"

namespace tarn::test {
namespace {

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

}  // namespace

// Siblings do not add to the depth: the empty and the deep ones close again.
TEST(JsonNesting, DepthAtLimitIsAcceptedAndOnePastFails) {
    EXPECT_EQ(parse_error(std::string(json_max_depth, '[') + std::string(json_max_depth, ']')), "(parsed)");
    const std::string deep_sibling = nested(json_max_depth - 1);
    EXPECT_EQ(parse_error("[[],{}," + deep_sibling + "," + deep_sibling + ",[],{}," + deep_sibling + "]"), "(parsed)");
    EXPECT_EQ(parse_error(nested(json_max_depth + 1)), "nesting too deep");
}

// Parsing, writing and freeing recurse no deeper than a 1 MiB stack allows.
TEST(JsonNesting, DeepestTreeAndFourMebibytesOfBracketsWorkOnSmallStack) {
    const std::string text = nested(json_max_depth);
    std::string written, error;
    run_on_small_stack([&] {
        written = to_json(parse_ok(text));
        error = parse_error(std::string(4 * 1024 * 1024, '['));
    });
    EXPECT_EQ(written, text);
    EXPECT_EQ(error, "nesting too deep");
}

}  // namespace tarn::test
