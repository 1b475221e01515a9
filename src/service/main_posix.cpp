// Process entry on Linux: picks the mode from the first argument.
#include <malloc.h>

#include <csignal>
#include <cstdio>

#include "service/entry.h"

int main(int argc, char** argv) {
    // A peer that hangs up must never end the process.
    std::signal(SIGPIPE, SIG_IGN);
    // glibc gives threads up to eight malloc arenas per core, each reserving
    // 64 MiB of address space: with a thread per connection that is a
    // gigabyte of address space before a request is read, which a limit on
    // it (ulimit -v, systemd's LimitAS=) turns into failed allocations.
    mallopt(M_ARENA_MAX, 2);

    const bool has_argument = argc > 1;
    const tarn::EntryMode mode = tarn::entry_mode(has_argument, has_argument ? argv[1] : "");
    if (mode == tarn::EntryMode::UnknownFlag) std::fprintf(stderr, "unknown flag: %s\n", argv[1]);
    if (const char* text = tarn::mode_text(mode)) std::fputs(text, stdout);
    return tarn::run_mode(mode);
}
