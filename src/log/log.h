// The process-wide log: timestamped lines to standard error and, when open,
// to an append-only file that can be opened anew after it was rotated.
#pragma once

#include <string>

#if defined(__MINGW32__)
#define TARN_PRINTF_FORMAT(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define TARN_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TARN_PRINTF_FORMAT(fmt, args)
#endif

namespace tarn {

// Severity of a line; the tag written for each is "DBG", "INF", "WRN", "ERR"
// (any other value writes "???").
enum class LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3 };

// All members are static and may be called from any thread at any time; one
// mutex keeps whole lines in the same order on both outputs.
class Log {
public:
    // Closes the current file, if any, then opens `path` for appending
    // (binary, no newline translation) and keeps the path for reopen(). An
    // empty path, or a file that cannot be opened, leaves the log writing to
    // standard error only; nothing is reported.
    static void open(const std::string& path);

    // Closes the current file, if any, and forgets its path; later lines
    // reach standard error only.
    static void close();

    // Closes the file and opens the path given to open() again, so that
    // lines go to a new file once the old one was moved away (log rotation).
    // A line being written meanwhile goes whole to the old file or the new.
    // Then writes "log: reopened <path>" (Info); when the file cannot be
    // opened, "log: cannot reopen <path>: <reason>" (Warn) to standard
    // error, which alone gets the lines until the next open() or reopen().
    // Returns true when the file is open again; false then, and without a
    // word when there is no path (no open() since the last close()).
    static bool reopen();

    // Formats one message, escapes its control bytes (a line feed becomes
    // \n, so that every entry is one line; others \r, \t or \xHH), cuts it
    // to 2047 bytes and writes
    // "YYYY-MM-DD hh:mm:ss.mmm [TAG] message\n" to the file (flushed at once)
    // and to standard error. Never fails towards the caller.
    static void write(LogLevel level, const char* format, ...) TARN_PRINTF_FORMAT(2, 3);
};

}  // namespace tarn
