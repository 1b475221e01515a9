// The private MariaDB of the database tests: its settings, a second ODBC
// session for reading back and administration, throw-away databases, log capture.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/db.h"

namespace tarn::test {

// Driver name that Debian's odbc-mariadb registers.
inline constexpr const char* mariadb_driver = "MariaDB Unicode";

// What scripts/mariadb wrote into its folder: port, user, password, database.
struct MariaDbServer {
    std::string dir;
    std::uint16_t port = 0;
    std::string user;
    std::string password;
    std::string database;
};

// Reads the server files from `dir` (a host path). Returns false with a reason
// when the server was not started there.
bool read_mariadb_server(const std::string& dir, MariaDbServer& server, std::string& error);

// The server the test run started (TARN_TEST_MARIADB_DIR).
bool read_test_mariadb_server(MariaDbServer& server, std::string& error);

// Settings for a Db that logs in to `server` and uses `database`.
DbSettings settings_for(const MariaDbServer& server, const std::string& database);

// One row of a result; SQL NULL is nullopt.
using SqlRow = std::vector<std::optional<std::string>>;

// An ODBC connection of its own, independent of any Db: reads back what a Db
// wrote, creates and drops databases, kills connections. Autocommit is on.
class SqlSession {
public:
    SqlSession();
    ~SqlSession();
    SqlSession(const SqlSession&) = delete;
    SqlSession& operator=(const SqlSession&) = delete;

    // Connects with `connection_string`; false with the diagnostic on failure.
    bool open(const std::string& connection_string, std::string& error);

    // Runs one statement that returns no rows.
    bool exec(const std::string& sql, std::string& error);

    // Runs a query and returns every row with each column as text (numbers
    // and dates in the server's text form).
    bool query(const std::string& sql, std::vector<SqlRow>& rows, std::string& error);

private:
    void* env_ = nullptr;
    void* dbc_ = nullptr;
    bool connected_ = false;
};

// Splits a schema file into its statements: each ends with ";" at the end of
// a line; lines starting with "--" are comments.
std::vector<std::string> split_sql_script(const std::string& script);

// A database named tarn_test_<random> with the tables of sql/schema.sql,
// dropped again by the destructor, so that each test counts only its own rows.
class ScratchDatabase {
public:
    ScratchDatabase() = default;
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    // Creates the database through `admin` (which must outlive this object)
    // and makes it the session's current database.
    bool create(SqlSession& admin, std::string& error);
    const std::string& name() const { return name_; }

private:
    SqlSession* admin_ = nullptr;
    std::string name_;
};

// Sends the process-wide log to a fresh file for the life of this object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line written so far.
    std::vector<std::string> lines() const;
    // Number of lines that contain `text`.
    int count(const std::string& text) const;

private:
    std::string path_;
};

}  // namespace tarn::test
