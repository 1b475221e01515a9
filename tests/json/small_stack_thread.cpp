// Threads with a chosen stack size, through pthreads (winpthreads on MinGW).
#include "small_stack_thread.h"

#include <pthread.h>

namespace tarn::test {

namespace {

void* call_function(void* arg) {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
}

}  // namespace

bool run_on_stack(std::size_t stack_bytes, const std::function<void()>& fn) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    bool ok = pthread_attr_setstacksize(&attr, stack_bytes) == 0;
    pthread_t thread;
    ok = ok && pthread_create(&thread, &attr, call_function, const_cast<std::function<void()>*>(&fn)) == 0;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    return pthread_join(thread, nullptr) == 0;
}

}  // namespace tarn::test
