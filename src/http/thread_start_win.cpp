// Detached Windows threads with a chosen stack reservation.
#include <process.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "http/thread_start.h"

namespace tarn {
namespace {

unsigned __stdcall run_thread_body(void* argument) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return 0;
}

}  // namespace

bool start_platform_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    // _beginthreadex, not CreateThread, so that the C runtime is set up for
    // the thread; the size is the reservation, committed as it is used.
    const std::uintptr_t handle = ::_beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), run_thread_body,
                                                   owned.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) {
        error = std::string("_beginthreadex: ") + std::strerror(errno);
        return false;
    }
    static_cast<void>(owned.release());  // the thread owns it now
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

}  // namespace tarn
