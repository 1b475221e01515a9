// Console mode on Linux: Ctrl+C, a closed terminal and a shutdown request
// (SIGINT, SIGHUP, SIGTERM) ask the run to stop; Ctrl+\ keeps its default.
#include <csignal>
#include <cstdio>

#include "service/entry.h"
#include "service/run_service.h"

namespace tarn {
namespace {

extern "C" void request_stop(int) { stop_requested.store(true); }

}  // namespace

int run_console() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGINT, SIGHUP, SIGTERM}) sigaction(signal_number, &action, nullptr);

    std::fputs("TARN Ingest Service \xE2\x80\x94 console mode (Ctrl+C to stop)\n", stdout);
    std::fflush(stdout);
    return run_service();
}

}  // namespace tarn
