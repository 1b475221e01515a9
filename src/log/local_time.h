// The local wall-clock time with milliseconds, from the platform's own call.
#pragma once

namespace tarn {

struct LocalTime {
    unsigned year, month, day, hour, minute, second, millisecond;
};

// The current local time. GetLocalTime on Windows; clock_gettime and
// localtime_r elsewhere. Thread-safe.
LocalTime local_time_now();

}  // namespace tarn
