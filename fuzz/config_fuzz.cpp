// Fuzz target: any bytes as the configuration file read by load_config.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/config.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

std::string g_folder;
std::string g_path;

void remove_config_folder() {
    std::remove(g_path.c_str());
    rmdir(g_folder.c_str());
}

// A private folder for the one file each run rewrites, removed at exit.
const std::string& config_path() {
    if (g_path.empty()) {
        // A memory file system when there is one: rewriting a file on disk
        // every run costs more than the run itself.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        if (tmp == nullptr && access("/dev/shm", W_OK) == 0) base = "/dev/shm";
        g_folder = base + "/tarn-config-fuzz-XXXXXX";
        if (mkdtemp(g_folder.data()) == nullptr) fail("mkdtemp failed", g_folder);
        g_path = g_folder + "/tarn_ingest.conf";
        std::atexit(remove_config_folder);
    }
    return g_path;
}

bool is_trimmed_byte(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool is_trimmed(const std::string& value) {
    return value.empty() || (!is_trimmed_byte(value.front()) && !is_trimmed_byte(value.back()));
}

// The number of the first line that is neither blank nor a comment and has
// no '=', or 0 when every line is fine. A leading UTF-8 byte-order mark is not
// part of the first line.
unsigned long first_line_without_equals(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    unsigned long number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        const std::string line = tarn::trim(text.substr(0, end));
        if (!line.empty() && line[0] != '#' && line.find('=') == std::string::npos) return number;
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string& path = config_path();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) fail("cannot write", path);
    if (std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) fail("cannot write", path);

    tarn::Config config;
    const tarn::ConfigLoad load = tarn::load_config(path, config);

    // The file exists, so the only failure is a line without '=', and it is
    // the first such line.
    const unsigned long faulty_line = first_line_without_equals(input);
    if (load.status == tarn::ConfigStatus::loaded) {
        if (!load.error.empty()) fail("success with an error message", load.error);
        if (faulty_line != 0) fail("line without '=' accepted", input);
    } else if (load.status != tarn::ConfigStatus::faulty ||
               load.error != "missing '=' at line " + std::to_string(faulty_line)) {
        fail("wrong error message", load.error);
    }

    // Every text value is trimmed and no value spans lines.
    for (const std::string* value : {&config.bind_addr, &config.odbc_driver, &config.mysql_host, &config.mysql_user,
                                     &config.mysql_pass, &config.mysql_db, &config.ingest_token, &config.log_path}) {
        if (!is_trimmed(*value)) fail("value not trimmed", *value);
        if (value->find('\n') != std::string::npos) fail("value spans lines", *value);
    }

    const std::string missing = "/nonexistent-tarn-fuzz/tarn_ingest.conf";
    const tarn::ConfigLoad none = tarn::load_config(missing, config);
    if (none.status != tarn::ConfigStatus::missing || none.error != "cannot open " + missing) {
        fail("missing file not reported", none.error);
    }
    return 0;
}
