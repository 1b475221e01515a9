// Db::connection_string and odbc_diag, without a server.
#include <gtest/gtest.h>

#include <string>

#include "config/config.h"
#include "db/db.h"
#include "db/odbc.h"

namespace tarn {
namespace {

DbSettings defaults() {
    const Config config;
    DbSettings settings;
    settings.odbc_driver = config.odbc_driver;
    settings.mysql_host = config.mysql_host;
    settings.mysql_port = config.mysql_port;
    settings.mysql_user = config.mysql_user;
    settings.mysql_pass = config.mysql_pass;
    settings.mysql_db = config.mysql_db;
    return settings;
}

TEST(ConnectionString, DefaultSettingsGiveTheDocumentedString) {
    EXPECT_EQ(Db(defaults()).connection_string(),
              "DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;PORT=3306;DATABASE=tarn_water;"
              "UID=tarn_water;PWD=;CHARSET=utf8mb4;");
}

TEST(ConnectionString, PortIsPlainDecimal) {
    struct Case {
        std::uint16_t port;
        const char* piece;
    };
    const Case cases[] = {{0, ";PORT=0;"}, {7, ";PORT=7;"}, {3307, ";PORT=3307;"}, {65535, ";PORT=65535;"}};
    for (const Case& c : cases) {
        DbSettings settings = defaults();
        settings.mysql_port = c.port;
        EXPECT_NE(Db(settings).connection_string().find(c.piece), std::string::npos) << c.port;
    }
}

// Values with ";", "{", "}" or an outer blank used to be inserted raw, so a
// password such as x;DATABASE=mysql cut the string and added an attribute.
TEST(ConnectionString, ValueWithSemicolonOrBraceCannotCutTheString) {
    struct Case {
        const char* password;
        const char* piece;
    };
    const Case cases[] = {
        {"x;DATABASE=mysql", "PWD={x;DATABASE=mysql};"},
        {"pw;x}y", "PWD={pw;x}}y};"},
        {"{pw}", "PWD={{pw}}};"},
        {"a{b", "PWD={a{b};"},
        {" lead", "PWD={ lead};"},
        {"trail ", "PWD={trail };"},
        {"in side", "PWD=in side;"},
        {"p@ss=w0rd!", "PWD=p@ss=w0rd!;"},
        {"", "PWD=;"},
    };
    for (const Case& c : cases) {
        DbSettings settings = defaults();
        settings.mysql_pass = c.password;
        const std::string text = Db(settings).connection_string();
        EXPECT_EQ(text, std::string("DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;PORT=3306;"
                                    "DATABASE=tarn_water;UID=tarn_water;") +
                            c.piece + "CHARSET=utf8mb4;")
            << c.password;
    }
}

TEST(ConnectionString, EveryFreeTextValueIsQuotedTheSameWay) {
    DbSettings settings = defaults();
    settings.odbc_driver = "Odd}Driver";
    settings.mysql_host = "db;1";
    settings.mysql_db = "{db}";
    settings.mysql_user = "u;";
    EXPECT_EQ(Db(settings).connection_string(),
              "DRIVER={Odd}}Driver};SERVER={db;1};PORT=3306;DATABASE={{db}}};UID={u;};PWD=;CHARSET=utf8mb4;");
}

TEST(OdbcDiag, HandleWithoutRecordsGivesNoDiag) {
    SQLHANDLE env = SQL_NULL_HANDLE;
    ASSERT_TRUE(odbc_succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)));
    EXPECT_EQ(odbc_diag(SQL_HANDLE_ENV, env), "(no diag)");
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    EXPECT_EQ(odbc_diag(SQL_HANDLE_DBC, SQL_NULL_HANDLE), "(no diag)");
}

TEST(OdbcDiag, FailedCallGivesBracketedStateAndMessage) {
    SQLHANDLE env = SQL_NULL_HANDLE;
    ASSERT_TRUE(odbc_succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)));
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, odbc_int_attr(SQL_OV_ODBC3), 0);
    SQLHANDLE dbc = SQL_NULL_HANDLE;
    ASSERT_TRUE(odbc_succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc)));
    std::string text = "DRIVER={No Such Driver};";
    EXPECT_FALSE(odbc_succeeded(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                                 nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
    const std::string diag = odbc_diag(SQL_HANDLE_DBC, dbc);
    ASSERT_GE(diag.size(), 9u) << diag;
    EXPECT_EQ(diag[0], '[') << diag;
    EXPECT_EQ(diag.substr(6, 2), "] ") << diag;
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
}

}  // namespace
}  // namespace tarn
