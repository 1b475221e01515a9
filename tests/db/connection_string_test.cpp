// Db::connection_string and odbc_diag, without a server.
#include <gtest/gtest.h>

#include <string>
#include <utility>

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
    const std::pair<const char*, const char*> cases[] = {
        {"x;DATABASE=mysql", "PWD={x;DATABASE=mysql};"}, {"pw;x}y", "PWD={pw;x}}y};"},
        {" lead", "PWD={ lead};"},                       {"in side=1", "PWD=in side=1;"},
    };
    for (const auto& c : cases) {
        DbSettings settings = defaults;
        settings.mysql_pass = c.first;
        const std::string text = Db(settings).connection_string();  // the fields before PWD are fixed
        EXPECT_EQ(text.substr(text.find(";UID=tarn_water;") + 16), std::string(c.second) + "CHARSET=utf8mb4;");
    }
    const DbSettings odd{"Odd}Driver", "db;1", 3307, "u;", "", "{db}"};
    EXPECT_EQ(Db(odd).connection_string(),
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
