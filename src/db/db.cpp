// The connection owner: ODBC environment, lazy connect, liveness check and
// the readiness probe.
#include "db/db.h"

#include <optional>
#include <string>

#include "log/log.h"
#include "metrics/metrics.h"

namespace tarn {

namespace {

std::string double_closing_braces(const std::string& value) {
    std::string out;
    for (char c : value) {
        out += c;
        if (c == '}') out += '}';
    }
    return out;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A value that would end its attribute early (";"), look like a braced value
// ("{", "}") or lose a leading or trailing blank goes between braces, with
// each "}" doubled: the password pw;x}y becomes {pw;x}}y}. Every other value
// is inserted as it is.
std::string connection_value(const std::string& value) {
    const bool needs_braces = value.find_first_of(";{}") != std::string::npos ||
                              (!value.empty() && (is_blank(value.front()) || is_blank(value.back())));
    if (!needs_braces) return value;
    return "{" + double_closing_braces(value) + "}";
}

// The server's max_allowed_packet on a fresh connection; none, with the
// reason in `error`, when it cannot be read.
std::optional<std::size_t> read_max_packet_bytes(SQLHANDLE dbc, std::string& error) {
    OdbcStatement stmt;
    if (!stmt.allocate(dbc)) {
        error = odbc_diag(SQL_HANDLE_DBC, dbc);
        return std::nullopt;
    }
    SQLCHAR query[] = "SELECT @@max_allowed_packet";
    SQLUBIGINT value{};
    SQLLEN indicator{};
    if (!odbc_succeeded(SQLExecDirect(stmt.get(), query, SQL_NTS)) || !odbc_succeeded(SQLFetch(stmt.get())) ||
        !odbc_succeeded(SQLGetData(stmt.get(), 1, SQL_C_UBIGINT, &value, sizeof value, &indicator)) ||
        indicator == SQL_NULL_DATA) {
        error = odbc_diag(SQL_HANDLE_STMT, stmt.get());
        return std::nullopt;
    }
    return static_cast<std::size_t>(value);
}

// Allocates a connection under `env` and connects it with `text` (which holds
// the password, and is wiped here) and the login time-out of `timeouts`.
// Returns nullptr with `connection` connected; or the name of the call that
// failed, with its diagnostic in `diag` and `connection` not connected. The
// completed connection string is not asked for: it would hold the password
// too, and nothing reads it.
const char* open_connection(SQLHANDLE env, std::string text, const DbTimeouts& timeouts, OdbcConnection& connection,
                            OdbcError& diag) {
    if (!connection.allocate(env)) {
        diag = odbc_error(SQL_HANDLE_ENV, env);
        return "SQLAllocHandle(DBC)";
    }
    SQLSetConnectAttrW(connection.get(), SQL_ATTR_LOGIN_TIMEOUT, odbc_int_attr(timeouts.login_s), SQL_IS_UINTEGER);
    const SQLRETURN rc = SQLDriverConnect(connection.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                          nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    // The string holds the password: do not leave it in freed memory.
    text.assign(text.size(), '\0');
    if (!odbc_succeeded(rc)) {
        diag = odbc_error(SQL_HANDLE_DBC, connection.get());
        return "SQLDriverConnect";
    }
    connection.set_connected();
    return nullptr;
}

}  // namespace

DbSettings db_settings(const Config& config) {
    return DbSettings{config.odbc_driver, config.mysql_host, config.mysql_port,
                      config.mysql_user,  config.mysql_pass, config.mysql_db};
}

Db::Db(const DbSettings& settings) : settings_(settings) {
    if (env_.allocate(SQL_NULL_HANDLE)) {
        SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, odbc_int_attr(SQL_OV_ODBC3), SQL_IS_UINTEGER);
    }
}

std::string Db::connection_string(const DbTimeouts& timeouts) const {
    const std::string io_timeout = std::to_string(timeouts.io_s);
    std::string text;
    text += "DRIVER={";
    text += double_closing_braces(settings_.odbc_driver);
    text += "};";
    text += "SERVER=" + connection_value(settings_.mysql_host) + ";";
    text += "PORT=" + std::to_string(static_cast<unsigned>(settings_.mysql_port)) + ";";
    text += "DATABASE=" + connection_value(settings_.mysql_db) + ";";
    text += "UID=" + connection_value(settings_.mysql_user) + ";";
    text += "PWD=" + connection_value(settings_.mysql_pass) + ";";
    text += "CHARSET=utf8mb4;";
    // Time-outs under both drivers' names; each driver ignores the other's.
    // MariaDB Connector/ODBC bounds the whole handshake only with
    // CONN_TIMEOUT (it does not apply the login time-out attribute), and
    // calls the read and write time-outs READ_TIMEOUT and WRITE_TIMEOUT;
    // MySQL Connector/ODBC takes the login time-out attribute and calls them
    // READTIMEOUT and WRITETIMEOUT.
    text += "CONN_TIMEOUT=" + std::to_string(timeouts.login_s) + ";";
    text += "READ_TIMEOUT=" + io_timeout + ";WRITE_TIMEOUT=" + io_timeout + ";";
    text += "READTIMEOUT=" + io_timeout + ";WRITETIMEOUT=" + io_timeout + ";";
    return text;
}

bool Db::connect() {
    if (dbc_.connected()) {
        SQLUINTEGER dead{};
        const SQLRETURN rc = SQLGetConnectAttrW(dbc_.get(), SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
        if (odbc_succeeded(rc) && dead == SQL_CD_FALSE) return true;
        disconnect();
    }

    OdbcConnection connection;
    OdbcError diag;
    if (const char* failed =
            open_connection(env_.get(), connection_string(db_batch_timeouts), db_batch_timeouts, connection, diag)) {
        metrics().count_db_connect(false);
        metrics().count_db_error(diag.state);
        Log::write(LogLevel::Error, "db: %s failed: %s", failed, diag.text.c_str());
        readiness_.record({false, "db connect failed: " + diag.text});
        return false;
    }
    readiness_.record({true, ""});
    // Autocommit is on, as on every new connection; each batch switches it
    // off and on again itself.
    std::string error;
    max_packet_bytes_ = read_max_packet_bytes(connection.get(), error);
    if (!max_packet_bytes_) {
        Log::write(LogLevel::Warn, "db: cannot read max_allowed_packet, rows go unchecked for size: %s", error.c_str());
    }
    dbc_ = std::move(connection);
    metrics().count_db_connect(true);
    Log::write(LogLevel::Info, "db: connected via ODBC driver '%s' to %s:%u db=%s user=%s",
               settings_.odbc_driver.c_str(), settings_.mysql_host.c_str(), static_cast<unsigned>(settings_.mysql_port),
               settings_.mysql_db.c_str(), settings_.mysql_user.c_str());
    return true;
}

DbState Db::readiness() {
    return readiness_.current([this] { return probe(); });
}

DbState Db::last_known() const { return readiness_.last_known(); }

std::uint64_t Db::probes() const { return readiness_.probes(); }

DbState Db::probe() const {
    OdbcConnection connection;
    OdbcError diag;
    if (open_connection(env_.get(), connection_string(db_probe_timeouts), db_probe_timeouts, connection, diag)) {
        return {false, "db connect failed: " + diag.text};
    }
    OdbcStatement stmt;
    SQLCHAR query[] = "SELECT 1";
    if (!stmt.allocate(connection.get())) {
        return {false, "db probe failed: " + odbc_diag(SQL_HANDLE_DBC, connection.get())};
    }
    if (!odbc_succeeded(SQLExecDirect(stmt.get(), query, SQL_NTS)) || !odbc_succeeded(SQLFetch(stmt.get()))) {
        return {false, "db probe failed: " + odbc_diag(SQL_HANDLE_STMT, stmt.get())};
    }
    return {true, ""};
}

void Db::disconnect() { dbc_.reset(); }

}  // namespace tarn
