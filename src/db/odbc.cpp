// ODBC diagnostics and the handle owners.
#include "db/odbc.h"

namespace tarn {

std::string odbc_diag(SQLSMALLINT handle_type, SQLHANDLE handle) {
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native_error = 0;
    SQLSMALLINT text_length = 0;
    if (handle == SQL_NULL_HANDLE) return "(no diag)";
    const SQLRETURN rc = SQLGetDiagRec(handle_type, handle, 1, state, &native_error, message,
                                       static_cast<SQLSMALLINT>(sizeof message), &text_length);
    if (!odbc_succeeded(rc)) return "(no diag)";
    message[sizeof message - 1] = '\0';
    std::string text = "[";
    text += reinterpret_cast<const char*>(state);
    text += "] ";
    text += reinterpret_cast<const char*>(message);
    return text;
}

bool OdbcStatement::allocate(SQLHDBC dbc) noexcept {
    reset();
    SQLHANDLE stmt = SQL_NULL_HANDLE;
    // The handle that came back counts, not the return code: a driver that
    // hands one out with an error still expects it to be freed.
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
    if (stmt == SQL_NULL_HANDLE) return false;
    stmt_ = static_cast<SQLHSTMT>(stmt);
    return true;
}

void OdbcStatement::reset(SQLHSTMT stmt) noexcept {
    if (stmt_ != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
    stmt_ = stmt;
}

void OdbcConnection::reset(SQLHDBC dbc, bool connected) noexcept {
    if (dbc_ != SQL_NULL_HDBC) {
        if (connected_) SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    dbc_ = dbc;
    connected_ = connected;
}

}  // namespace tarn
