// Process entry on Linux: picks the mode from the first argument.
#include <csignal>
#include <cstdio>

#include "service/entry.h"

int main(int argc, char** argv) {
    // A peer that hangs up must never end the process.
    std::signal(SIGPIPE, SIG_IGN);

    const bool has_argument = argc > 1;
    switch (tarn::entry_mode(has_argument, has_argument ? argv[1] : "")) {
        case tarn::EntryMode::Service: {
            int status = 0;
            if (tarn::run_as_managed_service(status)) return status;
            return tarn::run_console();
        }
        case tarn::EntryMode::Install: return tarn::install_service();
        case tarn::EntryMode::Uninstall: return tarn::uninstall_service();
        case tarn::EntryMode::Console: return tarn::run_console();
        case tarn::EntryMode::UnknownFlag: break;
    }
    std::fprintf(stderr, "unknown flag: %s\n", argv[1]);
    return 2;
}
