// Process entry on Linux: picks the mode from the first argument.
#include <csignal>
#include <cstdio>

#include "service/entry.h"

int main(int argc, char** argv) {
    // A peer that hangs up must never end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const bool has_argument = argc > 1;
    const tarn::EntryMode mode = tarn::entry_mode(has_argument, has_argument ? argv[1] : "");
    if (mode == tarn::EntryMode::UnknownFlag) std::fprintf(stderr, "unknown flag: %s\n", argv[1]);
    return tarn::run_mode(mode);
}
