// Installation, rewriting and removal on Linux: a systemd unit file, enabled
// the way `systemctl enable` does it (a symlink under multi-user.target.wants).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "service/entry.h"
#include "service/service_names.h"
#include "tarn/build_config.h"

namespace tarn {
namespace {

const std::string unit_dir = TARN_SYSTEMD_UNIT_DIR;
const std::string unit_name = std::string(service_name) + ".service";
const std::string unit_path = unit_dir + "/" + unit_name;
const std::string wants_dir = unit_dir + "/multi-user.target.wants";
const std::string wants_link = wants_dir + "/" + unit_name;

std::string executable_path() {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
}

// The [Service] settings after ExecStart. Restarted after a failure (a
// listener that cannot start ends with status 1), and confined to what the
// service does: it reads its configuration and the ODBC driver files, writes
// its log (under /var/lib unless log_path says otherwise), connects to the
// database by TCP or a Unix socket and binds one TCP port, which may be below
// 1024, hence the one capability kept. Still root, so the files it reads and
// writes under the root-owned 0750 data folder need no capability.
constexpr const char* service_settings =
    "Restart=on-failure\n"
    "RestartSec=5s\n"
    "UMask=0027\n"
    "# Sandbox. A site that needs more relaxes it with a drop-in: systemctl edit TarnIngestService\n"
    "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n"
    "NoNewPrivileges=yes\n"
    "PrivateTmp=yes\n"
    "PrivateDevices=yes\n"
    "ProtectHome=yes\n"
    "ProtectSystem=full\n"
    "ProtectKernelTunables=yes\n"
    "ProtectKernelModules=yes\n"
    "ProtectKernelLogs=yes\n"
    "ProtectControlGroups=yes\n"
    "ProtectClock=yes\n"
    "ProtectHostname=yes\n"
    "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n"
    "RestrictNamespaces=yes\n"
    "RestrictRealtime=yes\n"
    "RestrictSUIDSGID=yes\n"
    "LockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\n"
    "SystemCallArchitectures=native\n"
    "SystemCallFilter=@system-service\n";

std::string unit_text(const std::string& executable) {
    return std::string("[Unit]\n") + "Description=" + service_display_name + "\n" + "# " + service_description + "\n" +
           "After=network-online.target\n"
           "Wants=network-online.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=\"" +
           executable +
           "\"\n"
           // A reload opens the log file anew, after logrotate moved it away.
           "ExecReload=/bin/kill -HUP $MAINPID\n" +
           service_settings +
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

// Prints "<call> <path>: <reason>" and returns the failure status 1.
int report(const char* call, const std::string& path, int error) {
    std::fprintf(stderr, "%s %s: %s\n", call, path.c_str(), std::strerror(error));
    return 1;
}

bool systemd_running() {
    std::error_code error;
    return std::filesystem::is_directory("/run/systemd/system", error);
}

void systemctl(const char* arguments) {
    const std::string command = std::string("systemctl ") + arguments + " >/dev/null 2>&1";
    const int ignored = std::system(command.c_str());
    (void)ignored;
}

// Writes the unit text for this executable into `file`, new at `path`, and
// closes it. Returns 0 when the file is whole; otherwise removes it and
// returns report()'s status.
int fill_unit_file(std::FILE* file, const std::string& path) {
    const std::string text = unit_text(executable_path());
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const int write_error = errno;
    const bool closed = std::fclose(file) == 0;
    if (written && closed) return 0;
    const int error = written ? errno : write_error;
    ::unlink(path.c_str());
    return report(written ? "close" : "write", path, error);
}

// nullopt when the unit is installed and its folder writable, for a change to
// it; else the exit status, with what happened on stderr: 0 when the unit is
// not installed, 1 when a call failed.
std::optional<int> check_installed() {
    if (::access(unit_dir.c_str(), W_OK) != 0) return report("access", unit_dir, errno);
    struct stat info {};
    if (::lstat(unit_path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            std::fprintf(stderr, "service not installed\n");
            return 0;
        }
        return report("lstat", unit_path, errno);
    }
    return std::nullopt;
}

}  // namespace

int install_service() {
    // Checked first, so that a user who may not install learns so even when
    // the unit exists.
    if (::access(unit_dir.c_str(), W_OK) != 0) return report("access", unit_dir, errno);
    // "x": created here, or not at all.
    std::FILE* file = std::fopen(unit_path.c_str(), "wx");
    if (file == nullptr) {
        const int error = errno;
        if (error == EEXIST) {
            // An existing unit is left as it is.
            std::fprintf(stderr, "service already exists\n");
            return 0;
        }
        return report("open", unit_path, error);
    }
    if (const int status = fill_unit_file(file, unit_path); status != 0) return status;
    // Enabled for boot as `systemctl enable` would; failing that leaves the
    // unit installed but not started at boot, as a failed description update
    // leaves a Windows service without its description.
    std::error_code ignored_error;
    std::filesystem::create_directory(wants_dir, ignored_error);
    ::unlink(wants_link.c_str());
    const int ignored = ::symlink(unit_path.c_str(), wants_link.c_str());
    (void)ignored;
    if (systemd_running()) systemctl("daemon-reload");
    std::printf("installed service '%s'\n", service_name);
    return 0;
}

int reinstall_service() {
    if (const std::optional<int> status = check_installed()) return *status;
    // Written beside it and renamed over it, so that systemd never reads a
    // unit cut short. The wants link stays as it is: enabled or not.
    const std::string staged = unit_path + ".new";
    std::FILE* file = std::fopen(staged.c_str(), "w");
    if (file == nullptr) return report("open", staged, errno);
    if (const int status = fill_unit_file(file, staged); status != 0) return status;
    if (::rename(staged.c_str(), unit_path.c_str()) != 0) {
        const int error = errno;
        ::unlink(staged.c_str());
        return report("rename", unit_path, error);
    }
    if (systemd_running()) systemctl("daemon-reload");
    std::printf("reinstalled service '%s'\n", service_name);
    return 0;
}

int uninstall_service() {
    if (const std::optional<int> status = check_installed()) return *status;
    const bool managed = systemd_running();
    // Asked to stop, not waited for.
    if (managed) systemctl(("stop --no-block " + unit_name).c_str());
    ::unlink(wants_link.c_str());
    // A unit that cannot be removed is reported, with status 0 as on Windows.
    if (::unlink(unit_path.c_str()) != 0) {
        report("unlink", unit_path, errno);
    } else {
        std::printf("uninstalled service '%s'\n", service_name);
    }
    if (managed) systemctl("daemon-reload");
    return 0;
}

}  // namespace tarn
