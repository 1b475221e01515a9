// Child processes for end-to-end tests: fork, exec, capture, signal, wait.
#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "test_env.h"

namespace tarn::test {

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& output_dir, const std::map<std::string, std::string>& extra_env) {
    static int sequence = 0;
    const std::string stem = output_dir + "/child-" + std::to_string(++sequence);
    stdout_path_ = stem + ".out";
    stderr_path_ = stem + ".err";

    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());

    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const int out = ::open(stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto& [name, value] : extra_env) {
            if (value.empty()) {
                ::unsetenv(name.c_str());
            } else {
                ::setenv(name.c_str(), value.c_str(), 1);
            }
        }
        // The test process may have blocked or ignored signals; the child
        // starts from the defaults, as it would from a shell.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) ::signal(s, SIG_DFL);
        std::vector<char*> argv;
        for (auto& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    pid_ = child;
    reaped_ = false;
    return true;
}

bool ChildProcess::running() {
    if (pid_ <= 0 || reaped_) return false;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return false;
    }
    return true;
}

void ChildProcess::signal(int signal_number) const {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal_number);
}

bool ChildProcess::wait(std::chrono::milliseconds timeout, int& status) {
    if (!eventually([this] { return !running(); }, timeout)) return false;
    status = status_;
    return true;
}

std::string ChildProcess::stdout_text() const {
    std::string text;
    read_file(stdout_path_, text);
    return text;
}

std::string ChildProcess::stderr_text() const {
    std::string text;
    read_file(stderr_path_, text);
    return text;
}

int run_to_end(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& output_dir, std::string& out, std::string& err,
               const std::map<std::string, std::string>& extra_env) {
    ChildProcess child;
    if (!child.start(program, arguments, output_dir, extra_env)) return -1;
    int status = -1;
    if (!child.wait(std::chrono::seconds(60), status)) return -1;
    out = child.stdout_text();
    err = child.stderr_text();
    return status;
}

}  // namespace tarn::test
