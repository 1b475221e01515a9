// The platform's thread-safe conversion of a calendar time to UTC.
#pragma once

#include <ctime>

namespace tarn {

// Fills `parts` with `t` as UTC. Returns false when it cannot be converted.
// Thread-safe: the caller supplies the broken-down time record.
inline bool to_utc(std::time_t t, std::tm& parts) {
#ifdef _WIN32
    return gmtime_s(&parts, &t) == 0;
#else
    return gmtime_r(&t, &parts) != nullptr;
#endif
}

}  // namespace tarn
