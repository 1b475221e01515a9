// The settings record's file reader: key=value lines over built-in defaults.
#include "config/config.h"

#include <cstdlib>
#include <fstream>

namespace tarn {
namespace {

constexpr char utf8_byte_order_mark[] = "\xEF\xBB\xBF";

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

// Stores `value` in the field named `key`; a key that names no field is ignored.
void assign(Config& config, std::string_view key, const std::string& value) {
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
}

}  // namespace

std::string trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_trimmed_byte(text[begin])) ++begin;
    while (end > begin && is_trimmed_byte(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

bool load_config(const std::string& path, Config& config, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    // A read error ends the loop like the end of the file: what was read
    // so far stays applied.
    unsigned long line_number = 0;
    std::string raw;
    while (std::getline(in, raw)) {
        ++line_number;
        // Windows Notepad starts a UTF-8 file with a byte-order mark; as part
        // of the first key it would make that line count for nothing.
        if (line_number == 1 && raw.rfind(utf8_byte_order_mark, 0) == 0) raw.erase(0, sizeof utf8_byte_order_mark - 1);
        const std::string line = trim(raw);
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = "missing '=' at line " + std::to_string(line_number);
            return false;
        }
        const std::string key = trim(std::string_view(line).substr(0, eq));
        assign(config, key, trim(std::string_view(line).substr(eq + 1)));
    }
    return true;
}

}  // namespace tarn
