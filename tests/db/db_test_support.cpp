// The private MariaDB of the database tests: settings, second session, scratch databases.
#include "db_test_support.h"

#include <chrono>
#include <random>
#include <sstream>

#include "db/odbc.h"
#include "log/log.h"
#include "test_env.h"

namespace tarn::test {

namespace {

bool read_value(const std::string& dir, const char* name, std::string& value, std::string& error) {
    if (read_file(dir + "/" + name, value)) return true;
    error = "cannot read " + dir + "/" + name + " (is the private MariaDB running? scripts/mariadb start DIR)";
    return false;
}

}  // namespace

bool read_mariadb_server(const std::string& dir, MariaDbServer& server, std::string& error) {
    server.dir = dir;
    std::string port;
    if (!read_value(dir, "port", port, error) || !read_value(dir, "user", server.user, error) ||
        !read_value(dir, "password", server.password, error) ||
        !read_value(dir, "database", server.database, error)) {
        return false;
    }
    const unsigned long value = std::stoul(port);
    if (value == 0 || value > 65535) {
        error = "bad port in " + dir + "/port: " + port;
        return false;
    }
    server.port = static_cast<std::uint16_t>(value);
    return true;
}

bool read_test_mariadb_server(MariaDbServer& server, std::string& error) {
    const std::string dir = env_or("TARN_TEST_MARIADB_DIR", "");
    if (dir.empty()) {
        error = "TARN_TEST_MARIADB_DIR is not set";
        return false;
    }
    return read_mariadb_server(host_path(dir), server, error);
}

DbSettings settings_for(const MariaDbServer& server, const std::string& database) {
    DbSettings settings;
    settings.odbc_driver = mariadb_driver;
    settings.mysql_host = "127.0.0.1";
    settings.mysql_port = server.port;
    settings.mysql_user = server.user;
    settings.mysql_pass = server.password;
    settings.mysql_db = database;
    return settings;
}

SqlSession::SqlSession() {
    SQLHANDLE env = SQL_NULL_HANDLE;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    if (env != SQL_NULL_HANDLE) SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, odbc_int_attr(SQL_OV_ODBC3), 0);
    env_ = env;
}

SqlSession::~SqlSession() {
    if (dbc_ != nullptr) OdbcConnection(dbc_, connected_).reset();
    if (env_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

bool SqlSession::open(const std::string& connection_string, std::string& error) {
    SQLHANDLE handle = SQL_NULL_HANDLE;
    if (!odbc_succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env_, &handle))) {
        error = "SQLAllocHandle(DBC): " + odbc_diag(SQL_HANDLE_ENV, env_);
        return false;
    }
    OdbcConnection connection(handle);
    std::string text = connection_string;
    const SQLRETURN rc = SQLDriverConnect(connection.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                          SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    if (!odbc_succeeded(rc)) {
        error = "SQLDriverConnect: " + odbc_diag(SQL_HANDLE_DBC, connection.get());
        return false;
    }
    connected_ = true;
    dbc_ = connection.release();
    return true;
}

bool SqlSession::exec(const std::string& sql, std::string& error) {
    std::vector<SqlRow> rows;
    return query(sql, rows, error);
}

bool SqlSession::query(const std::string& sql, std::vector<SqlRow>& rows, std::string& error) {
    rows.clear();
    OdbcStatement stmt;
    if (!stmt.allocate(dbc_)) {
        error = "SQLAllocHandle(STMT): " + odbc_diag(SQL_HANDLE_DBC, dbc_);
        return false;
    }
    std::string text = sql;
    const SQLRETURN rc = SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
    if (rc == SQL_NO_DATA) return true;
    if (!odbc_succeeded(rc)) {
        error = sql + ": " + odbc_diag(SQL_HANDLE_STMT, stmt.get());
        return false;
    }
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt.get(), &columns);
    if (columns == 0) return true;
    for (;;) {
        const SQLRETURN fetched = SQLFetch(stmt.get());
        if (fetched == SQL_NO_DATA) return true;
        if (!odbc_succeeded(fetched)) {
            error = "SQLFetch: " + odbc_diag(SQL_HANDLE_STMT, stmt.get());
            return false;
        }
        SqlRow row;
        for (SQLUSMALLINT column = 1; column <= static_cast<SQLUSMALLINT>(columns); ++column) {
            std::string value;
            bool is_null = false;
            // Long values arrive in pieces; each piece but the last fills the
            // buffer and ends with a NUL that is not part of the value.
            for (;;) {
                char buffer[4096];
                SQLLEN length = 0;
                const SQLRETURN got = SQLGetData(stmt.get(), column, SQL_C_CHAR, buffer, sizeof buffer, &length);
                if (got == SQL_NO_DATA) break;
                if (!odbc_succeeded(got)) {
                    error = "SQLGetData: " + odbc_diag(SQL_HANDLE_STMT, stmt.get());
                    return false;
                }
                if (length == SQL_NULL_DATA) {
                    is_null = true;
                    break;
                }
                const bool partial = length == SQL_NO_TOTAL || length >= static_cast<SQLLEN>(sizeof buffer);
                value.append(buffer, partial ? sizeof buffer - 1 : static_cast<std::size_t>(length));
                if (!partial) break;
            }
            row.push_back(is_null ? std::nullopt : std::optional<std::string>(value));
        }
        rows.push_back(std::move(row));
    }
}

std::vector<std::string> split_sql_script(const std::string& script) {
    std::vector<std::string> statements;
    std::istringstream in(script);
    std::string line;
    std::string current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line.compare(first, 2, "--") == 0) continue;
        current += line;
        current += '\n';
        if (line.back() == ';') {
            statements.push_back(current);
            current.clear();
        }
    }
    if (current.find_first_not_of(" \t\n") != std::string::npos) statements.push_back(current);
    return statements;
}

ScratchDatabase::~ScratchDatabase() {
    if (admin_ == nullptr || name_.empty()) return;
    std::string error;
    admin_->exec("DROP DATABASE IF EXISTS " + name_, error);
}

bool ScratchDatabase::create(SqlSession& admin, std::string& error) {
    std::string schema;
    const std::string schema_path = host_path(env_or("TARN_TEST_SOURCE_DIR", ".")) + "/sql/schema.sql";
    if (!read_file(schema_path, schema)) {
        error = "cannot read " + schema_path;
        return false;
    }
    std::random_device device;
    std::mt19937_64 random(device() ^ static_cast<std::uint64_t>(
                                          std::chrono::steady_clock::now().time_since_epoch().count()));
    std::ostringstream name;
    name << "tarn_test_" << std::hex << random();
    admin_ = &admin;
    name_ = name.str();
    if (!admin.exec("CREATE DATABASE " + name_ + " CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci", error)) {
        name_.clear();
        return false;
    }
    // The schema names its tables without a database: it goes into ours.
    if (!admin.exec("USE " + name_, error)) return false;
    for (const std::string& statement : split_sql_script(schema)) {
        if (!admin.exec(statement, error)) return false;
    }
    return true;
}

LogCapture::LogCapture() : path_(make_temp_dir("db-log") + "/service.log") { Log::open(path_); }

LogCapture::~LogCapture() { Log::close(); }

std::vector<std::string> LogCapture::lines() const {
    std::string text;
    read_file(path_, text);
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) result.push_back(line);
    return result;
}

int LogCapture::count(const std::string& text) const {
    int hits = 0;
    for (const std::string& line : lines()) {
        if (line.find(text) != std::string::npos) ++hits;
    }
    return hits;
}

}  // namespace tarn::test
