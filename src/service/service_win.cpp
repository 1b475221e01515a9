// Service mode on Windows: the service main function, its control handler and
// the status reports to the service control manager.
#include <windows.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "service/entry.h"
#include "service/run_service.h"
#include "service/service_names_win.h"

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD start_wait_hint_ms = 3000;
// While a stop waits, stop-pending is reported again this often with the
// next check point: the service control manager takes a check point that
// stays put past its wait hint for a service that hangs.
constexpr auto stop_report_interval = std::chrono::seconds(2);

// Shared by service_main's thread, the worker and the control handler's
// thread; the mutex keeps one report (fill and send) from interleaving with
// another.
std::mutex report_mutex;
SERVICE_STATUS service_status{};
SERVICE_STATUS_HANDLE status_handle = nullptr;
DWORD checkpoint_counter = 1;
bool stopping = false;         // a stop or shutdown control has come
Clock::time_point stop_began;  // when the first one came

void report_status_locked(DWORD state, DWORD win32_exit_code, DWORD wait_hint, DWORD service_exit_code = 0) {
    service_status.dwCurrentState = state;
    service_status.dwWin32ExitCode = win32_exit_code;
    service_status.dwServiceSpecificExitCode = service_exit_code;
    service_status.dwWaitHint = wait_hint;
    service_status.dwControlsAccepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        service_status.dwCheckPoint = 0;
    } else {
        service_status.dwCheckPoint = checkpoint_counter++;
    }
    if (status_handle != nullptr) SetServiceStatus(status_handle, &service_status);
}

void report_status(DWORD state, DWORD win32_exit_code, DWORD wait_hint, DWORD service_exit_code = 0) {
    std::lock_guard<std::mutex> lock(report_mutex);
    report_status_locked(state, win32_exit_code, wait_hint, service_exit_code);
}

// Reports stop-pending with what is left of stop_bound_ms, counted from the
// first stop control, as its wait hint. `control` is true for a stop or
// shutdown control; false for the report while the stop waits, which says
// nothing before the first control. Past the bound nothing more is sent: a
// stop that overruns it hangs, and no new check point should hide that.
void report_stop_pending(bool control) {
    std::lock_guard<std::mutex> lock(report_mutex);
    const Clock::time_point now = Clock::now();
    if (!stopping) {
        if (!control) return;
        stopping = true;
        stop_began = now;
    }
    const auto waited_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - stop_began).count();
    if (waited_ms >= stop_bound_ms) return;
    report_status_locked(SERVICE_STOP_PENDING, NO_ERROR, static_cast<DWORD>(stop_bound_ms - waited_ms));
}

DWORD WINAPI service_control_handler(DWORD control, DWORD, LPVOID, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report_stop_pending(true);
            stop_requested.store(true);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD, LPWSTR*) {
    {
        std::lock_guard<std::mutex> lock(report_mutex);
        service_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(service_name_w, service_control_handler, nullptr);
    if (handle == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(report_mutex);
        status_handle = handle;
    }
    report_status(SERVICE_START_PENDING, NO_ERROR, start_wait_hint_ms);

    // Running once the listener is open, not before: a service that cannot
    // serve goes from start-pending straight to stopped.
    RunHooks hooks;
    hooks.ready = [](const std::string&) { report_status(SERVICE_RUNNING, NO_ERROR, 0); };
    int run_status = 0;
    std::promise<void> run_ended;
    std::future<void> ended = run_ended.get_future();
    // A worker that cannot be created throws, which ends the process.
    std::thread worker([&] {
        run_status = run_service(hooks);
        run_ended.set_value();
    });
    while (ended.wait_for(stop_report_interval) == std::future_status::timeout) report_stop_pending(false);
    worker.join();

    if (run_status != 0) {
        // The run ended by itself: the configuration is faulty or the
        // listener failed. A failure, so that the service control manager
        // logs it and runs its recovery.
        report_status(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0, static_cast<DWORD>(run_status));
    } else {
        report_status(SERVICE_STOPPED, NO_ERROR, 0);
    }
}

}  // namespace

std::optional<int> run_as_managed_service() {
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(service_name_w), service_main}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table)) return 0;
    // Started from a console rather than by the service control manager.
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) return std::nullopt;
    return 1;
}

}  // namespace tarn
