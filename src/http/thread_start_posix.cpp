// Detached pthreads with a chosen stack size.
#include <pthread.h>

#include <cstring>
#include <memory>

#include "http/thread_start.h"

namespace tarn {
namespace {

extern "C" void* run_thread_body(void* argument) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return nullptr;
}

}  // namespace

bool start_platform_thread(std::function<void()> body, std::size_t stack_bytes, std::string& error) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attributes;
    int rc = pthread_attr_init(&attributes);
    if (rc == 0) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attributes, stack_bytes);
        pthread_t thread;
        rc = pthread_create(&thread, &attributes, run_thread_body, owned.get());
        pthread_attr_destroy(&attributes);
    }
    if (rc != 0) {
        error = std::string("pthread_create: ") + std::strerror(rc);
        return false;
    }
    static_cast<void>(owned.release());  // the thread owns it now
    return true;
}

}  // namespace tarn
