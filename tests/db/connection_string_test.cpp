// Db::connection_string and the ODBC diagnostics, without a server.
#include <gtest/gtest.h>

#include "db/db.h"
#include "db/odbc.h"

namespace tarn {
namespace {

const std::string timeouts = "CONN_TIMEOUT=10;READ_TIMEOUT=30;WRITE_TIMEOUT=30;READTIMEOUT=30;WRITETIMEOUT=30;";

// Values with ";", "{", "}" or an outer blank used to be inserted raw, so a
// password such as x;DATABASE=mysql cut the string and added an attribute.
TEST(ConnectionString, ValueWithSemicolonOrBraceCannotCutTheString) {
    // clang-format off
    const std::pair<const char*, const char*> passwords[] = {
        {"x;DATABASE=mysql", "{x;DATABASE=mysql}"}, {"pw;x}y", "{pw;x}}y}"}, {" lead", "{ lead}"},
        {"in side=1", "in side=1"}, {"", ""}
    };
    // clang-format on
    for (const auto& [password, value] : passwords) {
        EXPECT_EQ(Db({"MySQL ODBC 8.0 Unicode Driver", "127.0.0.1", 3306, "tarn_water", password, "tarn_water"})
                      .connection_string(),
                  "DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;PORT=3306;DATABASE=tarn_water;"
                  "UID=tarn_water;PWD=" +
                      std::string(value) + ";CHARSET=utf8mb4;" + timeouts);
    }
    EXPECT_EQ(Db({"Odd}Driver", "db;1", 0, "u;", "", "{db}"}).connection_string(),
              "DRIVER={Odd}}Driver};SERVER={db;1};PORT=0;DATABASE={{db}}};UID={u;};PWD=;CHARSET=utf8mb4;" + timeouts);
}

TEST(OdbcDiag, HandleWithoutRecordsGivesNoDiagAndAnInjectedFailureItsState) {
    OdbcEnvironment env;
    ASSERT_TRUE(env.allocate(SQL_NULL_HANDLE));
    EXPECT_EQ(odbc_diag(SQL_HANDLE_ENV, env.get()), "(no diag)");
    EXPECT_EQ(odbc_diag(SQL_HANDLE_DBC, SQL_NULL_HANDLE), "(no diag)");

    inject_odbc_failure(OdbcCall::execute, 2, "08S01");
    EXPECT_EQ(odbc_execute(SQL_NULL_HANDLE), SQL_INVALID_HANDLE) << "the first call still reaches the driver";
    EXPECT_EQ(odbc_execute(SQL_NULL_HANDLE), SQL_ERROR);
    const OdbcError injected = odbc_error(SQL_HANDLE_STMT, SQL_NULL_HANDLE);
    EXPECT_EQ(injected.state + " " + injected.text, "08S01 [08S01] injected failure");
    EXPECT_EQ(odbc_diag(SQL_HANDLE_STMT, SQL_NULL_HANDLE), "(no diag)") << "read once only";
}

}  // namespace
}  // namespace tarn
