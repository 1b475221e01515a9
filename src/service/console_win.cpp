// Console mode on Windows: Ctrl+C, closing the console and a system shutdown
// ask the run to stop; Ctrl+Break and log-off are left to the default handler.
#include <windows.h>

#include <cstdio>

#include "service/entry.h"
#include "service/run_service.h"

namespace tarn {
namespace {

BOOL WINAPI console_ctrl_handler(DWORD control_type) {
    switch (control_type) {
        case CTRL_C_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT: stop_requested.store(true); return TRUE;
        default: return FALSE;
    }
}

}  // namespace

int run_console() {
    SetConsoleCtrlHandler(console_ctrl_handler, TRUE);
    std::fputs("TARN Ingest Service \xE2\x80\x94 console mode (Ctrl+C to stop)\n", stdout);
    std::fflush(stdout);
    return run_service();
}

}  // namespace tarn
