// The real executable under a service manager: the systemd notify protocol,
// and installation and removal of the unit.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <thread>

#include "service_fixture.h"
#include "test_env.h"

namespace tarn::test {
namespace {

// Holds the receiving end of the notify protocol, as systemd would: a
// datagram socket bound to a path, or to a name in the abstract namespace.
class ServiceModeTest : public ServiceTest {
protected:
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(socket_path_.c_str());
    }
    // Binds the receiving socket; returns the NOTIFY_SOCKET value for it.
    std::string listen_for_notifications(bool abstract) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string name = abstract ? "@tarn-notify-" + std::to_string(::getpid()) : socket_path_;
        name.copy(address.sun_path, sizeof address.sun_path - 1);
        if (abstract) address.sun_path[0] = '\0';
        ::unlink(socket_path_.c_str());
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0) << name;
        return name;
    }
    // The datagrams that have arrived, each followed by " | ".
    std::string received() {
        std::string all;
        char buffer[1024];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            all.append(buffer, static_cast<std::size_t>(n)) += " | ";
        }
        return all;
    }

    const std::string socket_path_ = "/tmp/tarn-notify-" + std::to_string(::getpid());
    int fd_ = -1;
    const std::string started_ = "STATUS=Starting\nEXTEND_TIMEOUT_USEC=3000000 | READY=1\nSTATUS=Running | ";
};

// SIGHUP asks a systemd service to reload: with nothing to reload, it is
// taken and ignored, where in console mode it stops the run.
TEST_F(ServiceModeTest, NotifiesOverPathOrAbstractSocketIgnoresSighupAndExits0OnSigterm) {
    write_config(standard_config());
    for (const bool abstract : {false, true}) {
        ASSERT_TRUE(start_service({}, listen_for_notifications(abstract))) << service_.err();
        EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").status, 200);
        EXPECT_EQ(received(), started_) << abstract;
        service_.signal(SIGHUP);
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        EXPECT_EQ(send("GET /api/health HTTP/1.1\r\n\r\n").status, 200) << "still running after SIGHUP";
        EXPECT_EQ(stop_service(SIGTERM), 0);
        EXPECT_EQ(received(), "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=2000000 | STATUS=Stopped | ");
        EXPECT_EQ(service_.out(), "") << "no console banner in service mode";
        ::close(fd_);
    }
    fd_ = -1;
}

// A listener that cannot start ends the run with status 1 in either mode; a
// service manager must see a failure, not the 0 of an ordinary stop.
TEST_F(ServiceModeTest, ListenerFailureEndsTheRunWithStatus1InBothModes) {
    write_config(standard_config());
    ASSERT_TRUE(start_service()) << service_.err();
    ChildProcess second;  // console mode, on the port the first run holds
    ASSERT_TRUE(second.start(TARN_SERVICE_EXE, {"--console"}));
    EXPECT_EQ(second.wait(), 1);
    auto messages = messages_of(text_of(log_path_));
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(
        messages[messages.size() - 2].rfind("[ERR] http: bind 127.0.0.1:" + std::to_string(port_) + " failed: ", 0),
        0u);
    EXPECT_EQ(messages.back(), "[ERR] service: failed to start HTTP listener");
    stop_service(SIGTERM);

    write_config({"bind_addr=localhost", "bind_port=" + std::to_string(port_)});
    EXPECT_FALSE(start_service({}, listen_for_notifications(false)));
    EXPECT_EQ(service_.wait(), 1);
    EXPECT_EQ(received(), started_ + "STATUS=Failed to start HTTP listener | ");
    messages = messages_of(text_of(log_path_));
    EXPECT_EQ(messages.back(), "[ERR] service: failed to start HTTP listener");
}

// The unit folder is emptied and removed here, so it must be the build's own.
class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Never the machine's own unit folder: the presets put it in the build tree.
        if (unit_dir_.rfind(env_or("TARN_TEST_BINARY_DIR", "?") + "/", 0) != 0) {
            GTEST_SKIP() << unit_dir_ << " is outside the build tree; configure with a preset";
        }
        std::filesystem::remove_all(unit_dir_);
        std::filesystem::create_directories(unit_dir_);
    }
    std::string run(const std::string& flag) { return run_to_end(TARN_SERVICE_EXE, {flag}); }

    const std::string unit_dir_ = TARN_SYSTEMD_UNIT_DIR;
    const std::string unit_path_ = unit_dir_ + "/TarnIngestService.service";
    const std::string wants_link_ = unit_dir_ + "/multi-user.target.wants/TarnIngestService.service";
};

TEST_F(InstallTest, InstallTwiceThenUninstallTwice) {
    EXPECT_EQ(run("--install"), "0 installed service 'TarnIngestService'\n|");
    const std::string unit = text_of(unit_path_);
    const std::string exec_start = "ExecStart=\"" + std::filesystem::canonical(TARN_SERVICE_EXE).string() + "\"";
    for (const std::string& line : {exec_start, std::string("Type=notify"), std::string("Restart=on-failure")}) {
        EXPECT_NE(unit.find("\n" + line + "\n"), std::string::npos) << line << " missing from\n" << unit;
    }
    EXPECT_EQ(std::filesystem::read_symlink(wants_link_).string(), unit_path_);
    EXPECT_EQ(run_to_end("/usr/bin/systemd-analyze", {"verify", unit_path_}), "0 |");
    // The sandbox: an exposure of 2.5 or less (of 10); without it the unit rates 9.6.
    const std::string security =
        run_to_end("/usr/bin/systemd-analyze", {"security", "--offline=true", "--threshold=25", unit_path_});
    EXPECT_EQ(security.rfind("0 ", 0), 0u) << security;

    EXPECT_EQ(run("--install"), "0 |service already exists\n");
    EXPECT_EQ(run("--uninstall"), "0 uninstalled service 'TarnIngestService'\n|");
    EXPECT_FALSE(std::filesystem::exists(unit_path_));
    EXPECT_FALSE(std::filesystem::is_symlink(wants_link_));
    EXPECT_EQ(run("--uninstall"), "0 |service not installed\n");
}

TEST_F(InstallTest, MissingUnitDirectoryNamesTheCallAndReason) {
    std::filesystem::remove_all(unit_dir_);
    for (const std::string flag : {"--install", "--uninstall"}) {
        EXPECT_EQ(run(flag), "1 |access " + unit_dir_ + ": No such file or directory\n");
    }
}

}  // namespace
}  // namespace tarn::test
