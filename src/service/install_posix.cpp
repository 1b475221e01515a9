// Installation and removal on Linux: a systemd unit file, enabled the way
// `systemctl enable` does it (a symlink under multi-user.target.wants).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

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
    char path[PATH_MAX + 1] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, PATH_MAX);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

std::string unit_text(const std::string& executable) {
    return std::string("[Unit]\n") + "Description=" + service_display_name + "\n" + "# " +
           service_description + "\n" +
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=\"" +
           executable +
           "\"\n"
           "Restart=no\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

bool systemd_running() {
    struct stat info {};
    return ::stat("/run/systemd/system", &info) == 0 && S_ISDIR(info.st_mode);
}

void systemctl(const char* arguments) {
    const std::string command = std::string("systemctl ") + arguments + " >/dev/null 2>&1";
    const int ignored = std::system(command.c_str());
    (void)ignored;
}

bool write_all(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int install_service() {
    if (::access(unit_dir.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "OpenSCManager failed: %lu\n", static_cast<unsigned long>(errno));
        return 1;
    }
    const int fd = ::open(unit_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        if (error == EEXIST) {
            // An existing unit is left as it is.
            std::fprintf(stderr, "service already exists\n");
            return 0;
        }
        std::fprintf(stderr, "CreateService failed: %lu\n", static_cast<unsigned long>(error));
        return 1;
    }
    const bool written = write_all(fd, unit_text(executable_path()));
    const int write_error = errno;
    if (::close(fd) != 0 || !written) {
        ::unlink(unit_path.c_str());
        std::fprintf(stderr, "CreateService failed: %lu\n", static_cast<unsigned long>(written ? errno : write_error));
        return 1;
    }
    // Enabled for boot as `systemctl enable` would; failing that leaves the
    // unit installed but not started at boot, as a failed description update
    // leaves a Windows service without its description.
    ::mkdir(wants_dir.c_str(), 0755);
    ::unlink(wants_link.c_str());
    const int ignored = ::symlink(unit_path.c_str(), wants_link.c_str());
    (void)ignored;
    if (systemd_running()) systemctl("daemon-reload");
    std::printf("installed service '%s'\n", service_name);
    return 0;
}

int uninstall_service() {
    if (::access(unit_dir.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "OpenSCManager failed: %lu\n", static_cast<unsigned long>(errno));
        return 1;
    }
    struct stat info {};
    if (::lstat(unit_path.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            std::fprintf(stderr, "service not installed\n");
            return 0;
        }
        std::fprintf(stderr, "OpenService failed: %lu\n", static_cast<unsigned long>(errno));
        return 1;
    }
    const bool managed = systemd_running();
    // Asked to stop, not waited for.
    if (managed) systemctl(("stop --no-block " + unit_name).c_str());
    ::unlink(wants_link.c_str());
    if (::unlink(unit_path.c_str()) != 0) {
        std::fprintf(stderr, "DeleteService failed: %lu\n", static_cast<unsigned long>(errno));
    } else {
        std::printf("uninstalled service '%s'\n", service_name);
    }
    if (managed) systemctl("daemon-reload");
    return 0;
}

}  // namespace tarn
