// The connection owner: ODBC environment, lazy connect and liveness check.
#include "db/db.h"

#include <string>

#include "db/odbc.h"
#include "log/log.h"

namespace tarn {

namespace {

// Seconds the driver may spend on one connect attempt.
constexpr std::uintptr_t login_timeout_s = 10;
// Size of the buffer for the completed connection string, which is not used.
constexpr SQLSMALLINT completed_connection_string_bytes = 1024;

SQLHENV env_handle(void* env) { return static_cast<SQLHENV>(env); }
SQLHDBC dbc_handle(void* dbc) { return static_cast<SQLHDBC>(dbc); }

std::string double_closing_braces(const std::string& value) {
    std::string out;
    out.reserve(value.size() + 2);
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

}  // namespace

Db::Db(const DbSettings& settings) : settings_(settings) {
    SQLHANDLE env = SQL_NULL_HANDLE;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    if (env != SQL_NULL_HANDLE) {
        SQLSetEnvAttr(static_cast<SQLHENV>(env), SQL_ATTR_ODBC_VERSION, odbc_int_attr(SQL_OV_ODBC3), 0);
    }
    env_ = env;
}

Db::~Db() {
    disconnect();
    if (env_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, env_handle(env_));
}

std::string Db::connection_string() const {
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
    return text;
}

bool Db::connect() {
    if (dbc_ != nullptr) {
        SQLUINTEGER dead = 0;
        const SQLRETURN rc = SQLGetConnectAttrW(dbc_handle(dbc_), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
        if (odbc_succeeded(rc) && dead == SQL_CD_FALSE) return true;
        disconnect();
    }

    SQLHANDLE handle = SQL_NULL_HANDLE;
    const SQLRETURN alloc_rc = SQLAllocHandle(SQL_HANDLE_DBC, env_handle(env_), &handle);
    if (!odbc_succeeded(alloc_rc) || handle == SQL_NULL_HANDLE) {
        const std::string diag = odbc_diag(SQL_HANDLE_ENV, env_);
        Log::write(LogLevel::Error, "db: SQLAllocHandle(DBC) failed: %s", diag.c_str());
        return false;
    }
    OdbcConnection connection(static_cast<SQLHDBC>(handle));
    SQLSetConnectAttrW(connection.get(), SQL_ATTR_LOGIN_TIMEOUT, odbc_int_attr(login_timeout_s), 0);

    std::string text = connection_string();
    SQLCHAR completed[completed_connection_string_bytes] = {};
    SQLSMALLINT completed_length = 0;
    const SQLRETURN rc = SQLDriverConnect(connection.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                          completed, completed_connection_string_bytes, &completed_length,
                                          SQL_DRIVER_NOPROMPT);
    // The string holds the password: do not leave it in freed memory.
    text.assign(text.size(), '\0');
    if (!odbc_succeeded(rc)) {
        const std::string diag = odbc_diag(SQL_HANDLE_DBC, connection.get());
        Log::write(LogLevel::Error, "db: SQLDriverConnect failed: %s", diag.c_str());
        return false;
    }
    connection.set_connected();
    SQLSetConnectAttrW(connection.get(), SQL_ATTR_AUTOCOMMIT, odbc_int_attr(SQL_AUTOCOMMIT_ON), 0);
    dbc_ = connection.release();
    Log::write(LogLevel::Info, "db: connected via ODBC driver '%s' to %s:%u db=%s user=%s",
               settings_.odbc_driver.c_str(), settings_.mysql_host.c_str(),
               static_cast<unsigned>(settings_.mysql_port), settings_.mysql_db.c_str(),
               settings_.mysql_user.c_str());
    return true;
}

void Db::disconnect() {
    if (dbc_ == nullptr) return;
    OdbcConnection(dbc_handle(dbc_), true).reset();
    dbc_ = nullptr;
}

}  // namespace tarn
