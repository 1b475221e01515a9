// Detached threads, with failures that tests can inject.
#include "http/thread_start.h"

#include <atomic>
#include <utility>

namespace tarn {
namespace {

std::atomic<int> thread_starts_to_fail{0};

}  // namespace

bool start_detached_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error) {
    if (thread_starts_to_fail.load() > 0 && thread_starts_to_fail.fetch_sub(1) > 0) {
        error = "injected failure";
        return false;
    }
    return start_platform_thread(std::move(body), stack_bytes, error);
}

void fail_next_thread_starts(int count) { thread_starts_to_fail = count; }

}  // namespace tarn
