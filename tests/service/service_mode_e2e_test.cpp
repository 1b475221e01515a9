// The real executable under a service manager: the systemd notify protocol,
// and installation and removal of the unit.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>

#include "service_fixture.h"
#include "tarn/build_config.h"
#include "test_env.h"

namespace tarn::test {
namespace {

using namespace std::chrono_literals;

// The receiving end of the notify protocol, as systemd would hold it.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        timeval timeout{15, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~NotifyListener() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    // The next datagram, or "" after 15 s without one.
    std::string next() {
        char buffer[1024];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fd_;
    std::string path_;
};

class ServiceModeTest : public ServiceTest {
protected:
    std::string notify_path() const { return "/tmp/tarn-notify-" + std::to_string(::getpid()); }
};

TEST_F(ServiceModeTest, NotifiesStartReadyAndStoppingThenExits0OnSigterm) {
    write_config(standard_config());
    NotifyListener listener(notify_path());
    ASSERT_TRUE(start_service({}, {{"NOTIFY_SOCKET", notify_path()}})) << service_.stderr_text();

    EXPECT_EQ(listener.next(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(listener.next(), "READY=1\nSTATUS=Running");
    EXPECT_EQ(service_.stdout_text(), "") << "no console banner in service mode";
    EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").status, 200);

    service_.signal(SIGTERM);
    EXPECT_EQ(listener.next(), "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=2000000");
    EXPECT_EQ(listener.next(), "STATUS=Stopped");
    EXPECT_EQ(stop_service(SIGTERM), 0);
}

// A listener that cannot start is a failure the service manager must see:
// exit status 1, not the 0 of an ordinary stop.
TEST_F(ServiceModeTest, ListenerFailureExitsWithStatus1NotSuccess) {
    write_config({"bind_addr=localhost", "bind_port=" + std::to_string(port_)});
    NotifyListener listener(notify_path());
    ASSERT_TRUE(service_.start(TARN_SERVICE_EXE, {}, work_dir_, {{"NOTIFY_SOCKET", notify_path()}}));
    EXPECT_EQ(listener.next(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(listener.next(), "READY=1\nSTATUS=Running");
    EXPECT_EQ(listener.next(), "STATUS=Failed to start HTTP listener");
    int status = -1;
    ASSERT_TRUE(service_.wait(10s, status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(log_text().find("[ERR] http: bad bind_addr localhost"), std::string::npos);
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        work_dir_ = make_temp_dir("install");
        std::filesystem::remove_all(unit_dir_);
        std::filesystem::create_directories(unit_dir_);
    }
    void TearDown() override { std::filesystem::remove_all(unit_dir_); }

    int run(const std::string& flag, std::string& out, std::string& err) {
        return run_to_end(TARN_SERVICE_EXE, {flag}, work_dir_, out, err);
    }

    const std::string unit_dir_ = TARN_SYSTEMD_UNIT_DIR;
    const std::string unit_path_ = unit_dir_ + "/TarnIngestService.service";
    const std::string wants_link_ = unit_dir_ + "/multi-user.target.wants/TarnIngestService.service";
    std::string work_dir_;
};

TEST_F(InstallTest, InstallTwiceThenUninstallTwice) {
    std::string out, err;
    EXPECT_EQ(run("--install", out, err), 0);
    EXPECT_EQ(out, "installed service 'TarnIngestService'\n");
    EXPECT_EQ(err, "");

    std::string unit;
    ASSERT_TRUE(read_file(unit_path_, unit));
    const std::string executable = std::filesystem::canonical(TARN_SERVICE_EXE).string();
    EXPECT_EQ(unit,
              "[Unit]\n"
              "Description=TARN Water Ingest Service\n"
              "# Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL.\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"" + executable + "\"\n"
              "Restart=no\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
    EXPECT_EQ(std::filesystem::read_symlink(wants_link_).string(), unit_path_);

    std::string verify_out, verify_err;
    EXPECT_EQ(run_to_end("/usr/bin/systemd-analyze", {"verify", unit_path_}, work_dir_, verify_out, verify_err), 0)
        << verify_out << verify_err;

    EXPECT_EQ(run("--install", out, err), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "service already exists\n");

    EXPECT_EQ(run("--uninstall", out, err), 0);
    EXPECT_EQ(out, "uninstalled service 'TarnIngestService'\n");
    EXPECT_FALSE(std::filesystem::exists(unit_path_));
    EXPECT_FALSE(std::filesystem::is_symlink(wants_link_));

    EXPECT_EQ(run("--uninstall", out, err), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "service not installed\n");
}

TEST_F(InstallTest, MissingUnitDirectoryFailsWithErrno) {
    std::filesystem::remove_all(unit_dir_);
    for (const std::string flag : {"--install", "--uninstall"}) {
        std::string out, err;
        EXPECT_EQ(run(flag, out, err), 1) << flag;
        EXPECT_EQ(err, "OpenSCManager failed: 2\n") << flag;
    }
}

}  // namespace
}  // namespace tarn::test
