// Live and peak heap bytes taken through operator new while a count is running.
#pragma once

#include <cstdint>

namespace tarn::bench {

struct AllocationCount {
    std::int64_t live_bytes = 0;  // still allocated when the count stopped
    std::int64_t peak_bytes = 0;  // most allocated at any one moment
};

// True when this build can count (glibc's malloc_usable_size is there).
bool allocation_count_available();

// Starts counting from zero: bytes allocated from now on add, bytes freed
// subtract. One count at a time, from one thread; the process must not
// allocate on other threads meanwhile. Bytes are the allocator's usable
// sizes, so they include its rounding.
void start_allocation_count();

// Stops the count and returns it.
AllocationCount stop_allocation_count();

}  // namespace tarn::bench
