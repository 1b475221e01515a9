// Runs a function on a thread with a chosen stack size (tests only).
#pragma once

#include <cstddef>
#include <functional>

namespace tarn::test {

// One mebibyte: the default thread stack reserve of Windows programs.
constexpr std::size_t windows_default_stack_bytes = 1024 * 1024;

// Runs `fn` on a new thread whose stack is `stack_bytes` large and waits for
// it. Returns false when the thread could not be created.
bool run_on_stack(std::size_t stack_bytes, const std::function<void()>& fn);

}  // namespace tarn::test
