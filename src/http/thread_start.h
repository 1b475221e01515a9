// Starting a detached thread with a stack size of our choosing: pthreads on
// POSIX, _beginthreadex on Windows (thread_start_posix.cpp and
// thread_start_win.cpp; CMake picks one).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tarn {

// Starts a detached thread that runs `body` on a stack of `stack_bytes`.
// Returns false when the thread cannot be created, with the reason in
// `error`; `body` is then not run. An exception escaping `body` ends the
// process, as with std::thread. Any thread may call it.
bool start_detached_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error);

// For tests of the failure path: the next `count` calls of
// start_detached_thread fail with the reason "injected failure".
void fail_next_thread_starts(int count);

// The platform half of start_detached_thread, without the injected failures.
bool start_platform_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error);

}  // namespace tarn
