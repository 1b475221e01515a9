// Db::connection_string and odbc_diag, without a server.
#include <gtest/gtest.h>

#include "db/db.h"
#include "db/odbc.h"

namespace tarn {
namespace {

// The settings' built-in defaults.
const DbSettings defaults{"MySQL ODBC 8.0 Unicode Driver", "127.0.0.1", 3306, "tarn_water", "", "tarn_water"};

TEST(ConnectionString, DefaultSettingsGiveTheDocumentedString) {
    EXPECT_EQ(Db(defaults).connection_string(),
              "DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;PORT=3306;DATABASE=tarn_water;"
              "UID=tarn_water;PWD=;CHARSET=utf8mb4;");
}

// Values with ";", "{", "}" or an outer blank used to be inserted raw, so a
// password such as x;DATABASE=mysql cut the string and added an attribute.
TEST(ConnectionString, ValueWithSemicolonOrBraceCannotCutTheString) {
    const std::pair<const char*, const char*> passwords[] = {
        {"x;DATABASE=mysql", "{x;DATABASE=mysql}"}, {"pw;x}y", "{pw;x}}y}"}, {" lead", "{ lead}"},
        {"in side=1", "in side=1"},
    };
    for (const auto& [password, value] : passwords) {
        DbSettings settings = defaults;
        settings.mysql_pass = password;
        EXPECT_EQ(Db(settings).connection_string(), "DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;"
                  "PORT=3306;DATABASE=tarn_water;UID=tarn_water;PWD=" + std::string(value) + ";CHARSET=utf8mb4;");
    }
    EXPECT_EQ(Db({"Odd}Driver", "db;1", 3307, "u;", "", "{db}"}).connection_string(),
              "DRIVER={Odd}}Driver};SERVER={db;1};PORT=3307;DATABASE={{db}}};UID={u;};PWD=;CHARSET=utf8mb4;");
}

TEST(OdbcDiag, HandleWithoutRecordsGivesNoDiag) {
    SQLHANDLE env = SQL_NULL_HANDLE;
    ASSERT_TRUE(odbc_succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env)));
    EXPECT_EQ(odbc_diag(SQL_HANDLE_ENV, env), "(no diag)");
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    EXPECT_EQ(odbc_diag(SQL_HANDLE_DBC, SQL_NULL_HANDLE), "(no diag)");
}

}  // namespace
}  // namespace tarn
