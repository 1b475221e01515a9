// Installation, rewriting and removal of the Windows service.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "service/entry.h"
#include "service/service_names_win.h"

namespace tarn {
namespace {

// One owner per service-manager handle.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    // Takes `handle`, closing the one held before.
    void reset(SC_HANDLE handle) {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
        handle_ = handle;
    }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

// The executable's own path in double quotes, so that a path with blanks
// starts the right program.
std::wstring quoted_executable_path() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return L"\"" + std::wstring(path) + L"\"";
}

// Shown beside the name in the Services console; a failure leaves the
// service without it, nothing worse.
void set_description(SC_HANDLE service) {
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(service_description_w)};
    ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
}

// The manager and the installed service, opened with `service_access` for a
// change to it. nullopt once both are open; else the
// exit status, with what happened on stderr: 0 when the service is not
// installed, 1 when a call failed.
std::optional<int> open_installed_service(DWORD service_access, ScHandle& manager, ScHandle& service) {
    manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        std::fprintf(stderr, "OpenSCManager failed: %lu\n", GetLastError());
        return 1;
    }
    service.reset(OpenServiceW(manager.get(), service_name_w, service_access));
    if (service) return std::nullopt;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        std::fprintf(stderr, "service not installed\n");
        return 0;
    }
    std::fprintf(stderr, "OpenService failed: %lu\n", error);
    return 1;
}

}  // namespace

int install_service() {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        std::fprintf(stderr, "OpenSCManager failed: %lu\n", GetLastError());
        return 1;
    }
    const std::wstring path = quoted_executable_path();
    const ScHandle service(CreateServiceW(manager.get(), service_name_w, service_display_name_w, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS) {
            std::fprintf(stderr, "service already exists\n");
            return 0;
        }
        std::fprintf(stderr, "CreateService failed: %lu\n", error);
        return 1;
    }
    set_description(service.get());
    std::printf("installed service '%ls'\n", service_name_w);
    return 0;
}

int reinstall_service() {
    ScHandle manager(nullptr), service(nullptr);
    if (const std::optional<int> status = open_installed_service(SERVICE_CHANGE_CONFIG, manager, service)) {
        return *status;
    }
    // The program path and the names; the start type stays as the
    // administrator left it.
    const std::wstring path = quoted_executable_path();
    if (!ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, path.c_str(),
                              nullptr, nullptr, nullptr, nullptr, nullptr, service_display_name_w)) {
        std::fprintf(stderr, "ChangeServiceConfig failed: %lu\n", GetLastError());
        return 1;
    }
    set_description(service.get());
    std::printf("reinstalled service '%ls'\n", service_name_w);
    return 0;
}

int uninstall_service() {
    ScHandle manager(nullptr), service(nullptr);
    if (const std::optional<int> status = open_installed_service(SERVICE_STOP | DELETE, manager, service)) {
        return *status;
    }
    // Asked to stop, not waited for; a service that is not running is no obstacle.
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (DeleteService(service.get())) {
        std::printf("uninstalled service '%ls'\n", service_name_w);
    } else {
        std::fprintf(stderr, "DeleteService failed: %lu\n", GetLastError());
    }
    return 0;
}

}  // namespace tarn
