// What every test program may need: paths CTest hands in, temp folders,
// whole files, waiting for a condition, the log captured to a file, and the
// facts of the private MariaDB.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

#include "log/log.h"

namespace tarn::test {

// The checkout's folder `relative` (e.g. "tests/json/data"), as a path the
// test program can open: under Wine, /x/y becomes Z:/x/y (Wine maps the host
// root to drive Z:).
std::string source_path(const std::string& relative);

// A fresh, empty folder for one test, below the build tree's temp area.
// The folder is not removed afterwards, so a failing test leaves its files.
std::string make_temp_dir(const std::string& tag);

// A whole file; "" when it cannot be read.
std::string text_of(const std::string& path);

// Writes `contents` to `path`, replacing it; false on failure.
bool write_file(const std::string& path, const std::string& contents);

// Asks `condition` every 10 ms until it holds or `timeout` passes (a loaded
// machine, or Wine, can take seconds to start hundreds of threads); returns
// its last answer.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Lets the process open no new descriptor while `full` is true, and as
// before once it is false again, so that an accept fails for want of one.
// False where the system has no such limit (Windows): the caller skips.
bool limit_descriptors(bool full);

// How many descriptors the process has open (POSIX); 0 where the system
// does not say (Windows).
int open_descriptors();

// A one-way signal between threads: once set, it stays set. Tests order
// their threads with it instead of sleeping.
class Event {
public:
    void set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    // True once set; false when `timeout` passed first.
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

// A fact of the private MariaDB that scripts/mariadb wrote into its folder
// TARN_TEST_MARIADB_DIR: "port", "user", "password", "database", "mysqld.pid",
// "reader" (a user with SELECT only) or "reader_password".
std::string mariadb_fact(const std::string& name);

// Sends the process-wide log to a fresh file for the life of the object.
class LogCapture {
public:
    LogCapture() { Log::open(path); }
    ~LogCapture() { Log::close(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return text_of(path); }
    // How many times `needle` occurs in the log so far.
    int count(const std::string& needle) const;

    const std::string path = make_temp_dir("log") + "/service.log";
};

}  // namespace tarn::test
