// Runs the real service executable as a child process for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tarn::test {

// One child process with its standard output and error captured in files.
// The destructor kills a child that is still running.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `arguments` (argv[1...]) and the current
    // environment plus `extra_env` (an empty value removes the variable).
    // Output goes to files in `output_dir`. Returns false when it cannot start.
    bool start(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& output_dir, const std::map<std::string, std::string>& extra_env = {});

    pid_t pid() const { return pid_; }
    bool running();
    void signal(int signal_number) const;

    // Waits up to `timeout` for the child to end. Returns true with its exit
    // status (or 128 + signal number) in `status`.
    bool wait(std::chrono::milliseconds timeout, int& status);

    std::string stdout_text() const;
    std::string stderr_text() const;

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::string stdout_path_;
    std::string stderr_path_;
};

// Runs `program` to its end and returns its exit status, with its output.
int run_to_end(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& output_dir, std::string& out, std::string& err,
               const std::map<std::string, std::string>& extra_env = {});

// Polls `predicate` every 50 ms until it holds or `timeout` passes.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        struct timespec pause {0, 50L * 1000L * 1000L};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace tarn::test
