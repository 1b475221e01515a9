// The settings record and its key=value file reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// How a load_config call ended.
enum class ConfigStatus {
    loaded,   // the whole file was read
    missing,  // there is no file at the path; the record is untouched
    faulty,   // the file exists but could not be read, or a line lacks '='
};

// The outcome of load_config. `error` is one line when the status is not
// `loaded`: "cannot open <path>" (missing), "cannot open <path>: <reason>" or
// "cannot read <path>: <reason>" (the system's reason), or "missing '=' at
// line <n>". `warnings` holds one line per key that names no setting,
// "unknown key '<key>' at line <n> ignored", in file order.
struct ConfigLoad {
    ConfigStatus status = ConfigStatus::loaded;
    std::string error;
    std::vector<std::string> warnings;
};

// Returns `text` without leading and trailing spaces, tabs and carriage returns.
std::string trim(std::string_view text);

// Reads the key=value file at `path` into `config`; a UTF-8 byte-order mark
// at its start is skipped. Only a file that is not there at all is `missing`
// (the caller may run on the defaults); one it cannot read, be it a folder,
// a file without read permission or a read error midway, is `faulty`. When
// faulty, `config` may hold values from the lines before the faulty one.
ConfigLoad load_config(const std::string& path, Config& config);

}  // namespace tarn
