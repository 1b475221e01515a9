// ODBC headers for the database code: diagnostics, owners for ODBC handles,
// and the calls whose failures tests can inject.
#pragma once

// Keep the unsuffixed narrow names (SQLDriverConnect, SQLPrepare,
// SQLGetDiagRec) narrow in a UNICODE build: Wine's odbc32 exports no A forms.
#ifndef SQL_NOUNICODEMAP
#define SQL_NOUNICODEMAP
#endif

#ifdef _WIN32
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <string>
#include <utility>

namespace tarn {

// True for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO; every other code is failure.
inline bool odbc_succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// An integer attribute value in the pointer argument of SQLSetConnectAttrW,
// which is how ODBC passes integer attributes.
inline SQLPOINTER odbc_int_attr(std::uintptr_t value) {
    return reinterpret_cast<SQLPOINTER>(value);  // NOLINT(performance-no-int-to-ptr)
}

// The first diagnostic record of a handle.
struct OdbcError {
    std::string state;      // the five-character SQLSTATE; empty when there was no record
    long native_error = 0;  // the server's or client library's own error number
    std::string text;       // "[SQLSTATE] message", or "(no diag)"
};

// The first diagnostic record of `handle` (the message cut to 511 bytes by
// the driver). An empty state and the text "(no diag)" when there is none
// or the handle is null. Never fails. After a failure injected by
// inject_odbc_failure, the next call on the same thread returns the
// injected state and error number with the message "injected failure"
// instead.
OdbcError odbc_error(SQLSMALLINT handle_type, SQLHANDLE handle);

// odbc_error(...).text: "[SQLSTATE] message" or "(no diag)".
std::string odbc_diag(SQLSMALLINT handle_type, SQLHANDLE handle);

// Owns one ODBC handle of type `Type` and frees it with SQLFreeHandle.
// Movable, never copied; one thread uses it at a time.
template <SQLSMALLINT Type>
class OdbcHandle {
public:
    explicit OdbcHandle(SQLHANDLE handle = SQL_NULL_HANDLE) noexcept : handle_(handle) {}
    OdbcHandle(OdbcHandle&& other) noexcept : handle_(other.release()) {}
    OdbcHandle& operator=(OdbcHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    ~OdbcHandle() { reset(); }

    // Allocates a handle under `parent` (SQL_NULL_HANDLE for an
    // environment), replacing (and freeing) the one held. Returns false,
    // holding none, when no handle came back; a driver that hands one out
    // with an error code still expects it to be freed, so the handle counts,
    // not the code.
    bool allocate(SQLHANDLE parent) noexcept {
        reset();
        SQLHANDLE handle = SQL_NULL_HANDLE;
        SQLAllocHandle(Type, parent, &handle);
        handle_ = handle;
        return handle_ != SQL_NULL_HANDLE;
    }

    SQLHANDLE get() const noexcept { return handle_; }
    SQLHANDLE release() noexcept {
        const SQLHANDLE handle = handle_;
        handle_ = SQL_NULL_HANDLE;
        return handle;
    }
    // Frees the handle held, if any, and takes `handle`.
    void reset(SQLHANDLE handle = SQL_NULL_HANDLE) noexcept {
        if (handle_ != SQL_NULL_HANDLE && handle_ != handle) SQLFreeHandle(Type, handle_);
        handle_ = handle;
    }

private:
    SQLHANDLE handle_;
};

using OdbcEnvironment = OdbcHandle<SQL_HANDLE_ENV>;
using OdbcStatement = OdbcHandle<SQL_HANDLE_STMT>;

// Owns one connection handle; once marked connected, it is disconnected
// before it is freed. Movable, never copied.
class OdbcConnection {
public:
    OdbcConnection() = default;
    OdbcConnection(OdbcConnection&& other) noexcept
        : handle_(std::move(other.handle_)), connected_(std::exchange(other.connected_, false)) {}
    OdbcConnection& operator=(OdbcConnection&& other) noexcept {
        reset();
        handle_ = std::move(other.handle_);
        connected_ = std::exchange(other.connected_, false);
        return *this;
    }
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;
    ~OdbcConnection() { reset(); }

    // Allocates a fresh, unconnected handle under `env`, dropping the one
    // held. False when no handle came back.
    bool allocate(SQLHANDLE env) noexcept {
        reset();
        return handle_.allocate(env);
    }
    SQLHANDLE get() const noexcept { return handle_.get(); }
    bool connected() const noexcept { return connected_; }
    // Marks the handle as connected, so that reset() disconnects it.
    void set_connected() noexcept { connected_ = true; }
    // Disconnects (when connected) and frees the handle; holds none afterwards.
    void reset() noexcept {
        if (connected_) SQLDisconnect(handle_.get());
        connected_ = false;
        handle_.reset();
    }

private:
    OdbcHandle<SQL_HANDLE_DBC> handle_;
    bool connected_ = false;
};

// The ODBC calls whose failures tests inject. The switches of autocommit
// count apart: off begins a batch's transaction, on ends it.
enum class OdbcCall { prepare, execute, commit, rollback, autocommit_off, autocommit_on, bind };

// For tests of the failure paths: the `nth` call of `call` from now on (1 =
// the next one) fails with SQL_ERROR instead of reaching the driver, and
// reports `sqlstate` and `native_error` (see odbc_error). One injection per
// kind is pending at a time; a new one replaces it. Any thread.
void inject_odbc_failure(OdbcCall call, int nth, const std::string& sqlstate, long native_error = 0);

// SQLPrepare, SQLExecute, the commit and the rollback of SQLEndTran, the
// autocommit attribute of SQLSetConnectAttrW (`on` picks the kind) and
// SQLBindParameter of an input parameter, with injected failures. The
// database code calls these instead of the driver's own.
SQLRETURN odbc_prepare(SQLHANDLE stmt, const char* sql);
SQLRETURN odbc_execute(SQLHANDLE stmt);
SQLRETURN odbc_commit(SQLHANDLE dbc);
SQLRETURN odbc_rollback(SQLHANDLE dbc);
SQLRETURN odbc_set_autocommit(SQLHANDLE dbc, bool on);
SQLRETURN odbc_bind_input(SQLHANDLE stmt, SQLUSMALLINT number, SQLSMALLINT c_type, SQLSMALLINT sql_type,
                          SQLULEN column_size, SQLPOINTER value, SQLLEN buffer_length, SQLLEN* indicator);

}  // namespace tarn
