// Paths, folders, files, waits and the log capture shared by the test programs.
#include "test_env.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace tarn::test {

namespace {

// The folder that CTest hands in as environment variable `name` ("." when
// unset), as a path the test program can open.
std::string folder_from(const char* name) {
    const char* value = std::getenv(name);
    const std::string path = value != nullptr && *value != '\0' ? value : ".";
#ifdef _WIN32
    if (path[0] == '/') return "Z:" + path;
#endif
    return path;
}

}  // namespace

std::string source_path(const std::string& relative) { return folder_from("TARN_TEST_SOURCE_DIR") + "/" + relative; }

std::string make_temp_dir(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string dir = folder_from("TARN_TEST_BINARY_DIR") + "/test-tmp/" + tag + "-" + std::to_string(stamp) +
                            "-" + std::to_string(counter++);
    std::filesystem::create_directories(dir);
    return dir;
}

std::string text_of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

bool write_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    return static_cast<bool>(out);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool limit_descriptors(bool full) {
#ifdef _WIN32
    static_cast<void>(full);
    return false;
#else
    static rlimit before{};
    if (full && ::getrlimit(RLIMIT_NOFILE, &before) != 0) return false;
    rlimit limit = before;
    if (full) limit.rlim_cur = 0;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
#endif
}

int open_descriptors() {
#ifdef _WIN32
    return 0;
#else
    std::error_code error;
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd", error);
    return static_cast<int>(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)));
#endif
}

std::string mariadb_fact(const std::string& name) { return text_of(folder_from("TARN_TEST_MARIADB_DIR") + "/" + name); }

int LogCapture::count(const std::string& needle) const {
    const std::string all = text();
    int n = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace tarn::test
