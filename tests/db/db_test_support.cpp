// The private MariaDB of the database tests: settings, a second session, log capture.
#include "db_test_support.h"

#include <gtest/gtest.h>

#include "json/json_parser.h"

namespace tarn::test {

bool read_mariadb_settings(const std::string& dir, DbSettings& settings) {
    std::string port;
    settings.odbc_driver = "MariaDB Unicode";
    settings.mysql_host = "127.0.0.1";
    if (!read_file(dir + "/port", port) || !read_file(dir + "/user", settings.mysql_user) ||
        !read_file(dir + "/password", settings.mysql_pass) || !read_file(dir + "/database", settings.mysql_db)) {
        ADD_FAILURE() << "no server files in " << dir << " (scripts/mariadb start DIR)";
        return false;
    }
    settings.mysql_port = static_cast<std::uint16_t>(std::stoul(port));
    return true;
}

std::string ingest(Db& db, const std::string& json) {
    JsonValue root;
    std::string error;
    EXPECT_TRUE(parse_json(json, root, error)) << error << " in " << json;
    IngestCounts c;
    if (!db.ingest_batch(root, c)) return c.error;
    return std::to_string(c.clients_upserted) + "/" + std::to_string(c.readings_inserted) + "/" +
           std::to_string(c.events_inserted);
}

SqlSession::SqlSession() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, odbc_int_attr(SQL_OV_ODBC3), 0);
}

SqlSession::~SqlSession() {
    dbc_.reset();
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

bool SqlSession::open(const std::string& connection_string) {
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc);
    dbc_.reset(dbc);
    std::string text = connection_string;
    const bool connected = odbc_succeeded(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()),
                                                           SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT));
    if (connected) dbc_.set_connected();
    else ADD_FAILURE() << "SQLDriverConnect: " << odbc_diag(SQL_HANDLE_DBC, dbc);
    return connected;
}

std::vector<SqlRow> SqlSession::query(const std::string& sql) {
    std::vector<SqlRow> rows;
    OdbcStatement stmt;
    std::string text = sql;
    SQLSMALLINT columns = 0;
    if (!stmt.allocate(dbc_.get()) ||
        !odbc_succeeded(SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS)) ||
        !odbc_succeeded(SQLNumResultCols(stmt.get(), &columns))) {
        ADD_FAILURE() << sql << ": " << odbc_diag(SQL_HANDLE_STMT, stmt.get());
        return rows;
    }
    while (columns > 0 && odbc_succeeded(SQLFetch(stmt.get()))) {
        SqlRow& row = rows.emplace_back();
        for (SQLUSMALLINT column = 1; column <= static_cast<SQLUSMALLINT>(columns); ++column) {
            char buffer[4096];
            SQLLEN length = 0;
            SQLGetData(stmt.get(), column, SQL_C_CHAR, buffer, sizeof buffer, &length);
            row.push_back(length == SQL_NULL_DATA ? std::nullopt : std::optional<std::string>(buffer));
        }
    }
    return rows;
}

int LogCapture::count(const std::string& text) const {
    std::string contents;
    read_file(path, contents);
    int hits = 0;
    for (std::size_t at = contents.find(text); at != std::string::npos; at = contents.find(text, at + 1)) ++hits;
    return hits;
}

}  // namespace tarn::test
