// Local time with milliseconds from clock_gettime and localtime_r.
#include "log/local_time.h"

#include <ctime>

namespace tarn {

LocalTime local_time_now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm parts{};
    localtime_r(&now.tv_sec, &parts);
    return LocalTime{static_cast<unsigned>(parts.tm_year + 1900), static_cast<unsigned>(parts.tm_mon + 1),
                     static_cast<unsigned>(parts.tm_mday),        static_cast<unsigned>(parts.tm_hour),
                     static_cast<unsigned>(parts.tm_min),         static_cast<unsigned>(parts.tm_sec),
                     static_cast<unsigned>(now.tv_nsec / 1000000)};
}

}  // namespace tarn
