// Replaces the global operator new and delete to count heap bytes for the benchmark.
#include "alloc_counter.h"

#include <cstdlib>
#include <new>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tarn::bench {

namespace {

// Plain variables: counting is single-threaded by contract, and the
// parsers' timings must not pay for atomics when no count is running.
bool counting = false;
std::int64_t live = 0;
std::int64_t peak = 0;

std::int64_t usable_size(void* p) {
#if defined(__GLIBC__)
    return static_cast<std::int64_t>(malloc_usable_size(p));
#else
    (void)p;
    return 0;
#endif
}

void* allocate(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    if (counting) {
        live += usable_size(p);
        if (live > peak) peak = live;
    }
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    if (counting) live -= usable_size(p);
    std::free(p);
}

}  // namespace

bool allocation_count_available() {
#if defined(__GLIBC__)
    return true;
#else
    return false;
#endif
}

void start_allocation_count() {
    live = 0;
    peak = 0;
    counting = true;
}

AllocationCount stop_allocation_count() {
    counting = false;
    return AllocationCount{live, peak};
}

}  // namespace tarn::bench

void* operator new(std::size_t size) { return tarn::bench::allocate(size); }
void* operator new[](std::size_t size) { return tarn::bench::allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return tarn::bench::allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return tarn::bench::allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { tarn::bench::release(p); }
void operator delete[](void* p) noexcept { tarn::bench::release(p); }
void operator delete(void* p, std::size_t) noexcept { tarn::bench::release(p); }
void operator delete[](void* p, std::size_t) noexcept { tarn::bench::release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { tarn::bench::release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { tarn::bench::release(p); }
