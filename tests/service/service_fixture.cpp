// Shared set-up for end-to-end tests of the real executable on Linux.
#include "service_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace tarn::test {

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::start(const std::string& program, const Strings& args) {
    const std::string stem = make_temp_dir("child") + "/";
    out_path_ = stem + "out";
    err_path_ = stem + "err";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    status_ = -1;
    pid_ = ::fork();
    if (pid_ != 0) return pid_ > 0;
    // The test process may block or ignore signals; the child starts as from a shell.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) ::signal(s, SIG_DFL);
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(::open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    ::dup2(::open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

bool ChildProcess::running() {
    int raw = 0;
    if (pid_ > 0 && status_ < 0 && ::waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    return pid_ > 0 && status_ < 0;
}

void ChildProcess::signal(int signal_number) {
    if (running()) ::kill(pid_, signal_number);
}

int ChildProcess::wait(std::chrono::seconds timeout) {
    return eventually([this] { return !running(); }, timeout) ? status_ : -1;
}

std::string run_to_end(const std::string& program, const Strings& args) {
    ChildProcess child;
    const int status = child.start(program, args) ? child.wait(std::chrono::seconds(60)) : -1;
    return std::to_string(status) + " " + child.out() + "|" + child.err();
}

std::string sql(const std::string& statement) {
    const std::string output =
        run_to_end("/usr/bin/mariadb", {"--no-defaults", "--protocol=tcp", "-h127.0.0.1", "-P" + mariadb_fact("port"),
                                        "-u" + mariadb_fact("user"), "-p" + mariadb_fact("password"), "-N", "-B",
                                        mariadb_fact("database"), "-e", statement});
    return output.substr(2, output.find('|') - 2);
}

std::string ingest_request(const std::string& body, const std::string& token) {
    const std::string token_header = token.empty() ? "" : "X-Tarn-Token: " + token + "\r\n";
    return "POST /api/ingest HTTP/1.1\r\nHost: 127.0.0.1\r\n" + token_header +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string event_batch(const std::string& name, const std::string& payload) {
    return R"({"events":[{"event_type":")" + name + R"(","gateway_received_at":"2024-05-01","payload":)" + payload +
           "}]}";
}

std::string stored(const std::string& name) {
    return sql("SELECT COUNT(*) FROM events WHERE event_type = '" + name + "'");
}

Strings messages_of(const std::string& log) {
    Strings messages;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) messages.push_back(line.erase(0, 24));
    return messages;
}

void ServiceTest::SetUp() {
    port_ = free_port();
    std::filesystem::create_directories(data_dir_);
    std::filesystem::remove(config_path_);
    std::filesystem::remove(log_path_);
}

void ServiceTest::write_config(const Strings& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    ASSERT_TRUE(write_file(config_path_, text));
}

Strings ServiceTest::standard_config(const std::string& token) const {
    return {"bind_addr=127.0.0.1",
            "bind_port=" + std::to_string(port_),
            "odbc_driver=MariaDB Unicode",
            "mysql_port=" + mariadb_fact("port"),
            "mysql_user=" + mariadb_fact("user"),
            "mysql_pass=" + mariadb_fact("password"),
            "mysql_db=" + mariadb_fact("database"),
            "ingest_token=" + token};
}

bool ServiceTest::start_service(const Strings& args, const std::string& notify_socket) {
    notify_socket.empty() ? ::unsetenv("NOTIFY_SOCKET") : ::setenv("NOTIFY_SOCKET", notify_socket.c_str(), 1);
    if (!service_.start(TARN_SERVICE_EXE, args)) return false;
    eventually([this] { return !service_.running() || service_.err().find("http: listening on") != std::string::npos; },
               std::chrono::seconds(20));
    ::unsetenv("NOTIFY_SOCKET");
    return service_.running();
}

}  // namespace tarn::test
