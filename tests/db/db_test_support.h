// The private MariaDB of the database tests: its settings, a second ODBC
// session for reading back and administration, and log capture.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/odbc.h"
#include "log/log.h"
#include "test_env.h"

namespace tarn::test {

// The helpers report their own failures as test failures.

// Settings for the "MariaDB Unicode" driver from the port, user, password and
// database files that scripts/mariadb wrote into `dir` (a host path). Returns
// false when no server was started there.
bool read_mariadb_settings(const std::string& dir, DbSettings& settings);

// Parses `json`, which the test expects to be valid, and ingests it into `db`.
// Returns "<clients>/<readings>/<events>" rows written when the batch was
// committed, or else the error.
std::string ingest(Db& db, const std::string& json);

// One result row; SQL NULL is nullopt.
using SqlRow = std::vector<std::optional<std::string>>;

// An ODBC connection of its own, independent of any Db; autocommit is on.
class SqlSession {
public:
    SqlSession();
    ~SqlSession();  // not copyable: dbc_ owns the connection

    // Connects with `connection_string`; false on failure.
    bool open(const std::string& connection_string);
    // Runs one statement and returns its rows, each column as text of up to
    // 4095 bytes; no rows on failure.
    std::vector<SqlRow> query(const std::string& sql);

private:
    SQLHENV env_ = SQL_NULL_HENV;
    OdbcConnection dbc_;
};

// Sends the process-wide log to a fresh file for the life of this object.
struct LogCapture {
    LogCapture() { Log::open(path); }
    ~LogCapture() { Log::close(); }
    // Number of times `text` occurs in what was written so far.
    int count(const std::string& text) const;

    const std::string path = make_temp_dir("db-log") + "/service.log";
};

}  // namespace tarn::test
