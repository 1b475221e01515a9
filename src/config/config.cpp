// The settings record's file reader: key=value lines over built-in defaults.
#include "config/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace tarn {
namespace {

constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool is_trimmed_byte(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The C library's decimal conversion (std::strtoll: leading white space,
// optional sign, digits up to the first other byte, saturating at the 64-bit
// limits), keeping the low 16 bits. Malformed text gives 0; nothing is an
// error. strtoll rather than strtol so that the result is the same where
// `long` is 32 bits wide (Windows) and where it is 64 (Linux).
std::uint16_t port_from_text(const std::string& text) {
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return static_cast<std::uint16_t>(static_cast<unsigned long long>(value) & 0xFFFFu);
}

// Stores `value` in the field named `key`; false when the key names no field.
bool assign(Config& config, std::string_view key, const std::string& value) {
    if (key == "bind_addr") config.bind_addr = value;
    else if (key == "bind_port") config.bind_port = port_from_text(value);
    else if (key == "odbc_driver") config.odbc_driver = value;
    else if (key == "mysql_host") config.mysql_host = value;
    else if (key == "mysql_port") config.mysql_port = port_from_text(value);
    else if (key == "mysql_user") config.mysql_user = value;
    else if (key == "mysql_pass") config.mysql_pass = value;
    else if (key == "mysql_db") config.mysql_db = value;
    else if (key == "ingest_token") config.ingest_token = value;
    else if (key == "log_path") config.log_path = value;
    else return false;
    return true;
}

// Reads the whole file at `path` into `text`. Binary, so that both platforms
// see the same bytes (the carriage returns are trimmed with the blanks). On
// failure sets the status and error of `load`; only "no such file" is
// `missing`, since a file that is there but unreadable must not quietly turn
// into the defaults.
void read_file(const std::string& path, std::string& text, ConfigLoad& load) {
    const File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        const int error = errno;
        load.status = error == ENOENT ? ConfigStatus::missing : ConfigStatus::faulty;
        load.error = "cannot open " + path;
        if (error != ENOENT) load.error += std::string(": ") + std::strerror(error);
        return;
    }
    char buffer[4096];
    for (std::size_t count; (count = std::fread(buffer, 1, sizeof buffer, file.get())) != 0;)
        text.append(buffer, count);
    if (std::ferror(file.get())) {
        // On Linux a folder opens, and only its first read fails (EISDIR).
        load.status = ConfigStatus::faulty;
        load.error = "cannot read " + path + ": " + std::strerror(errno);
    }
}

}  // namespace

std::string trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_trimmed_byte(text[begin])) ++begin;
    while (end > begin && is_trimmed_byte(text[end - 1])) --end;
    return std::string(text.data() + begin, text.data() + end);
}

ConfigLoad load_config(const std::string& path, Config& config) {
    ConfigLoad load;
    std::string text;
    read_file(path, text, load);
    if (load.status != ConfigStatus::loaded) return load;
    std::string_view rest(text);
    // Windows Notepad starts a UTF-8 file with a byte-order mark; as part of
    // the first key it would make that line a key that names nothing.
    if (rest.substr(0, utf8_byte_order_mark.size()) == utf8_byte_order_mark) {
        rest.remove_prefix(utf8_byte_order_mark.size());
    }
    unsigned long line_number = 0;
    while (!rest.empty()) {
        ++line_number;
        const std::size_t line_end = std::min(rest.find('\n'), rest.size());
        const std::string_view raw = rest.substr(0, line_end);
        rest.remove_prefix(std::min(line_end + 1, rest.size()));
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = raw.find('=');
        if (eq == std::string_view::npos) {
            load.status = ConfigStatus::faulty;
            load.error = "missing '=' at line " + std::to_string(line_number);
            return load;
        }
        const std::string key = trim(raw.substr(0, eq));
        if (!assign(config, key, trim(raw.substr(eq + 1)))) {
            load.warnings.push_back("unknown key '" + key + "' at line " + std::to_string(line_number) + " ignored");
        }
    }
    return load;
}

}  // namespace tarn
