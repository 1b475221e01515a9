// ODBC headers for the database code, diagnostics, and owners for ODBC handles.
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

namespace tarn {

// True for SQL_SUCCESS and SQL_SUCCESS_WITH_INFO; every other code is failure.
inline bool odbc_succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

// The first diagnostic record of `handle` as "[SQLSTATE] message" (the message
// cut to 511 bytes by the driver), or "(no diag)" when there is none or the
// handle is null. Never fails.
std::string odbc_diag(SQLSMALLINT handle_type, SQLHANDLE handle);

// An integer attribute value in the pointer argument of SQLSetConnectAttrW.
inline SQLPOINTER odbc_int_attr(std::uintptr_t value) { return reinterpret_cast<SQLPOINTER>(value); }

// Owns one statement handle and frees it with SQLFreeHandle. Movable, never copied.
class OdbcStatement {
public:
    explicit OdbcStatement(SQLHSTMT stmt = SQL_NULL_HSTMT) noexcept : stmt_(stmt) {}
    OdbcStatement(OdbcStatement&& other) noexcept : stmt_(other.release()) {}
    OdbcStatement& operator=(OdbcStatement&& other) noexcept {
        reset(other.release());
        return *this;
    }
    OdbcStatement(const OdbcStatement&) = delete;
    OdbcStatement& operator=(const OdbcStatement&) = delete;
    ~OdbcStatement() { reset(); }

    // Allocates a statement on `dbc`, replacing (and freeing) the one held.
    // Returns false, holding none, when no handle came back.
    bool allocate(SQLHDBC dbc) noexcept;

    SQLHSTMT get() const noexcept { return stmt_; }
    SQLHSTMT release() noexcept {
        SQLHSTMT stmt = stmt_;
        stmt_ = SQL_NULL_HSTMT;
        return stmt;
    }
    // Frees the handle held, if any, and takes `stmt`.
    void reset(SQLHSTMT stmt = SQL_NULL_HSTMT) noexcept;

private:
    SQLHSTMT stmt_;
};

// Owns one connection handle. If `connected()` was set, the owner disconnects
// before freeing it. Movable, never copied.
class OdbcConnection {
public:
    explicit OdbcConnection(SQLHDBC dbc = SQL_NULL_HDBC, bool connected = false) noexcept
        : dbc_(dbc), connected_(connected) {}
    OdbcConnection(OdbcConnection&& other) noexcept : connected_(other.connected_) { dbc_ = other.release(); }
    OdbcConnection& operator=(OdbcConnection&& other) noexcept {
        const bool connected = other.connected_;
        reset(other.release(), connected);
        return *this;
    }
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;
    ~OdbcConnection() { reset(); }

    SQLHDBC get() const noexcept { return dbc_; }
    // Marks the handle as connected, so that the owner disconnects it.
    void set_connected() noexcept { connected_ = true; }
    SQLHDBC release() noexcept {
        SQLHDBC dbc = dbc_;
        dbc_ = SQL_NULL_HDBC;
        connected_ = false;
        return dbc;
    }
    // Disconnects (when connected) and frees the handle held, then takes `dbc`.
    void reset(SQLHDBC dbc = SQL_NULL_HDBC, bool connected = false) noexcept;

private:
    SQLHDBC dbc_;
    bool connected_;
};

}  // namespace tarn
