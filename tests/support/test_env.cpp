// Paths and folders that CTest hands to the test programs.
#include "test_env.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarn::test {

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

std::string host_path(const std::string& path) {
#ifdef _WIN32
    if (!path.empty() && path[0] == '/') return "Z:" + path;
#endif
    return path;
}

std::string testdata_dir() {
    return host_path(env_or("TARN_TEST_SOURCE_DIR", ".") + "/tests/json/data");
}

std::string make_temp_dir(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    const auto base = std::filesystem::path(host_path(env_or("TARN_TEST_BINARY_DIR", "."))) / "test-tmp";
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::ostringstream name;
    name << tag << '-' << stamp << '-' << counter++;
    const auto dir = base / name.str();
    std::filesystem::create_directories(dir);
    return dir.generic_string();
}

bool read_file(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    contents = buffer.str();
    return true;
}

bool write_file(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << contents;
    return static_cast<bool>(out);
}

}  // namespace tarn::test
