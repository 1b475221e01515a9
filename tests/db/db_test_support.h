// Helpers of the database test programs: the private MariaDB's settings, and
// one batch in with its outcome out.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "db/db.h"
#include "json/json_parser.h"
#include "test_env.h"

namespace tarn::test {

// Settings for the "MariaDB Unicode" driver and the private MariaDB whose
// folder is `dir` (TARN_TEST_MARIADB_DIR when empty).
inline DbSettings private_mariadb_settings(const std::string& dir = "") {
    const std::string port = mariadb_fact("port", dir);
    EXPECT_FALSE(port.empty()) << "no server files (scripts/mariadb start DIR)";
    return DbSettings{"MariaDB Unicode",
                      "127.0.0.1",
                      static_cast<std::uint16_t>(std::stoul(port.empty() ? "0" : port)),
                      mariadb_fact("user", dir),
                      mariadb_fact("password", dir),
                      mariadb_fact("database", dir)};
}

// Ingests `json` (valid JSON) into `db`: "<clients>/<readings>/<events>" rows
// written when the batch was committed, or else "refused: " or
// "unavailable: " and the error.
inline std::string ingest(Db& db, const std::string& json, const std::function<bool()>& client_gone = {}) {
    JsonValue root;
    std::string error;
    EXPECT_TRUE(parse_json(json, root, error)) << error << " in " << json;
    IngestCounts c;
    switch (db.ingest_batch(root, c, client_gone)) {
        case BatchOutcome::committed:
            return std::to_string(c.clients_upserted) + "/" + std::to_string(c.readings_inserted) + "/" +
                   std::to_string(c.events_inserted);
        case BatchOutcome::refused: return "refused: " + c.error;
        case BatchOutcome::unavailable: break;
    }
    return "unavailable: " + c.error;
}

}  // namespace tarn::test
