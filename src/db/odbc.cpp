// ODBC diagnostics, and the calls whose failures tests inject.
#include "db/odbc.h"

#include <atomic>
#include <mutex>

namespace tarn {
namespace {

// Pending injections: how many calls of each kind still pass before one
// fails (0: none pending), and the state and error number that failure
// reports.
struct Injection {
    std::atomic<int> calls_left{0};
    std::mutex mutex;
    std::string sqlstate;   // guarded by mutex
    long native_error = 0;  // guarded by mutex
};
// One per OdbcCall; bind is the last kind.
Injection injections[static_cast<int>(OdbcCall::bind) + 1];

// The state and error number of an injected failure on this thread, until
// odbc_error reads them.
thread_local std::string injected_state;
thread_local long injected_native_error = 0;

Injection& injection(OdbcCall call) { return injections[static_cast<int>(call)]; }

// True when this call of `call` is the one to fail.
bool take_injected(OdbcCall call) {
    Injection& pending = injection(call);
    if (pending.calls_left.load() <= 0 || pending.calls_left.fetch_sub(1) != 1) return false;
    std::lock_guard<std::mutex> lock(pending.mutex);
    injected_state = pending.sqlstate;
    injected_native_error = pending.native_error;
    return true;
}

}  // namespace

OdbcError odbc_error(SQLSMALLINT handle_type, SQLHANDLE handle) {
    OdbcError error;
    if (!injected_state.empty()) {
        error.state = std::move(injected_state);
        error.native_error = injected_native_error;
        injected_state.clear();
        error.text = "[" + error.state + "] injected failure";
        return error;
    }
    error.text = "(no diag)";
    if (handle == SQL_NULL_HANDLE) return error;
    SQLCHAR state[6] = {};
    SQLCHAR message[512] = {};
    SQLINTEGER native_error = 0;
    SQLSMALLINT text_length = 0;
    const SQLRETURN rc = SQLGetDiagRec(handle_type, handle, 1, state, &native_error, message,
                                       static_cast<SQLSMALLINT>(sizeof message), &text_length);
    if (!odbc_succeeded(rc)) return error;
    message[sizeof message - 1] = '\0';
    error.state = reinterpret_cast<const char*>(state);
    error.native_error = native_error;
    error.text = "[" + error.state + "] " + reinterpret_cast<const char*>(message);
    return error;
}

std::string odbc_diag(SQLSMALLINT handle_type, SQLHANDLE handle) { return odbc_error(handle_type, handle).text; }

void inject_odbc_failure(OdbcCall call, int nth, const std::string& sqlstate, long native_error) {
    Injection& pending = injection(call);
    std::lock_guard<std::mutex> lock(pending.mutex);
    pending.sqlstate = sqlstate;
    pending.native_error = native_error;
    pending.calls_left = nth;
}

SQLRETURN odbc_prepare(SQLHANDLE stmt, const char* sql) {
    if (take_injected(OdbcCall::prepare)) return SQL_ERROR;
    return SQLPrepare(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql)), SQL_NTS);
}

SQLRETURN odbc_execute(SQLHANDLE stmt) {
    if (take_injected(OdbcCall::execute)) return SQL_ERROR;
    return SQLExecute(stmt);
}

SQLRETURN odbc_commit(SQLHANDLE dbc) {
    if (take_injected(OdbcCall::commit)) return SQL_ERROR;
    return SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT);
}

SQLRETURN odbc_rollback(SQLHANDLE dbc) {
    if (take_injected(OdbcCall::rollback)) return SQL_ERROR;
    return SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
}

SQLRETURN odbc_set_autocommit(SQLHANDLE dbc, bool on) {
    if (take_injected(on ? OdbcCall::autocommit_on : OdbcCall::autocommit_off)) return SQL_ERROR;
    return SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, odbc_int_attr(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
}

SQLRETURN odbc_bind_input(SQLHANDLE stmt, SQLUSMALLINT number, SQLSMALLINT c_type, SQLSMALLINT sql_type,
                          SQLULEN column_size, SQLPOINTER value, SQLLEN buffer_length, SQLLEN* indicator) {
    if (take_injected(OdbcCall::bind)) return SQL_ERROR;
    return SQLBindParameter(stmt, number, SQL_PARAM_INPUT, c_type, sql_type, column_size, 0, value, buffer_length,
                            indicator);
}

}  // namespace tarn
