// The process-wide log: one line at a time to standard error and the file.
#include "log/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "log/local_time.h"

namespace tarn {
namespace {

// All live for the whole process; the mutex orders whole lines on both
// outputs and keeps a line from reaching a stream that is being closed.
std::mutex log_mutex;
std::FILE* log_file = nullptr;
std::string log_path;  // what open() was given, for reopen()

const char* level_tag(LogLevel level) {
    switch (level) {
        case LogLevel::Debug: return "DBG";
        case LogLevel::Info: return "INF";
        case LogLevel::Warn: return "WRN";
        case LogLevel::Error: return "ERR";
    }
    return "???";
}

// Copies `text` to `out` (room for `size` bytes with the NUL) with every
// control byte escaped: line feed, carriage return and tab as \n, \r, \t,
// the others as \xHH. A text can echo client data (a database diagnostic
// quoting a value, say); a line feed in it must not start a line that looks
// like an entry of its own. Cut at the end of the last escape that fits.
void escape_controls(const char* text, char* out, std::size_t size) {
    static const char hex[] = "0123456789abcdef";
    std::size_t n = 0;
    for (; *text != '\0'; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        char escape[5] = {static_cast<char>(c), '\0'};
        if (c < 0x20 || c == 0x7f) {
            escape[0] = '\\';
            escape[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : 'x';
            if (escape[1] == 'x') {
                escape[2] = hex[c >> 4];
                escape[3] = hex[c & 0xf];
            }
        }
        const std::size_t length = std::char_traits<char>::length(escape);
        if (n + length >= size) break;
        for (std::size_t i = 0; i < length; ++i) out[n++] = escape[i];
    }
    out[n] = '\0';
}

void close_file_locked() {
    if (log_file != nullptr) {
        std::fclose(log_file);
        log_file = nullptr;
    }
}

}  // namespace

void Log::open(const std::string& path) {
    std::lock_guard<std::mutex> lock(log_mutex);
    close_file_locked();
    log_path = path;
    if (!path.empty()) log_file = std::fopen(path.c_str(), "ab");
}

void Log::close() {
    std::lock_guard<std::mutex> lock(log_mutex);
    close_file_locked();
    log_path.clear();
}

bool Log::reopen() {
    std::unique_lock<std::mutex> lock(log_mutex);
    if (log_path.empty()) return false;
    close_file_locked();
    log_file = std::fopen(log_path.c_str(), "ab");
    const std::string path = log_path;
    if (log_file == nullptr) {
        const int error = errno;
        lock.unlock();
        write(LogLevel::Warn, "log: cannot reopen %s: %s", path.c_str(), std::strerror(error));
        return false;
    }
    lock.unlock();
    write(LogLevel::Info, "log: reopened %s", path.c_str());
    return true;
}

void Log::write(LogLevel level, const char* format, ...) {
    // Formatting happens before the lock so that one thread's formatting does
    // not hold up the others; the buffers are fixed, nothing is allocated.
    char formatted[2048];
    va_list args;
    va_start(args, format);
    // After an encoding error the buffer may hold anything, even no NUL; write the
    // line with an empty message rather than whatever the buffer holds.
    if (std::vsnprintf(formatted, sizeof formatted, format, args) < 0) formatted[0] = '\0';
    va_end(args);
    char message[2048];
    escape_controls(formatted, message, sizeof message);

    const LocalTime t = local_time_now();
    // Room for every field at its widest, so that nothing is ever cut.
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);

    const char* tag = level_tag(level);
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_file != nullptr) {
        std::fprintf(log_file, "%s [%s] %s\n", stamp, tag, message);
        std::fflush(log_file);
    }
    std::fprintf(stderr, "%s [%s] %s\n", stamp, tag, message);
}

}  // namespace tarn
