// Local time with milliseconds from GetLocalTime.
#include "log/local_time.h"

#include <windows.h>

namespace tarn {

LocalTime local_time_now() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

}  // namespace tarn
