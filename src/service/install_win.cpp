// Installation and removal of the Windows service.
#include <windows.h>

#include <cstdio>
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
    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(service_description_w)};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    std::printf("installed service '%ls'\n", service_name_w);
    return 0;
}

int uninstall_service() {
    const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        std::fprintf(stderr, "OpenSCManager failed: %lu\n", GetLastError());
        return 1;
    }
    const ScHandle service(OpenServiceW(manager.get(), service_name_w, SERVICE_STOP | DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::fprintf(stderr, "service not installed\n");
            return 0;
        }
        std::fprintf(stderr, "OpenService failed: %lu\n", error);
        return 1;
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
