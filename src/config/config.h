// The settings record and its key=value file reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarn {

// Every setting of the service, starting at its built-in default. Fields are
// named after the configuration keys.
struct Config {
    std::string bind_addr = "0.0.0.0";
    std::uint16_t bind_port = 41290;
    std::string odbc_driver = "MySQL ODBC 8.0 Unicode Driver";
    std::string mysql_host = "127.0.0.1";
    std::uint16_t mysql_port = 3306;
    std::string mysql_user = "tarn_water";
    std::string mysql_pass;
    std::string mysql_db = "tarn_water";
    std::string ingest_token;
    std::string log_path;
};

// Returns `text` without leading and trailing spaces, tabs and carriage returns.
std::string trim(std::string_view text);

// Reads the key=value file at `path` into `config`; a UTF-8 byte-order mark
// at its start is skipped. Returns true when the whole file was read. On
// failure returns false with a one-line reason in `error` ("cannot open
// <path>" or "missing '=' at line <n>"); `config` may then hold values from
// the lines before the faulty one.
bool load_config(const std::string& path, Config& config, std::string& error);

}  // namespace tarn
