// Helpers of the database test programs: the private MariaDB's settings,
// one batch in and its outcome out, and log capture.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "db/db.h"
#include "json/json_parser.h"
#include "log/log.h"
#include "test_env.h"

namespace tarn::test {

// Settings for the "MariaDB Unicode" driver from the files that scripts/mariadb
// wrote into `dir` (a host path); false, with a test failure, when none.
inline bool read_mariadb_settings(const std::string& dir, DbSettings& settings) {
    std::string port;
    settings = DbSettings{"MariaDB Unicode", "127.0.0.1", 0, "", "", ""};
    const bool found = read_file(dir + "/port", port) && read_file(dir + "/user", settings.mysql_user) &&
                       read_file(dir + "/password", settings.mysql_pass) &&
                       read_file(dir + "/database", settings.mysql_db);
    if (found) settings.mysql_port = static_cast<std::uint16_t>(std::stoul(port));
    else ADD_FAILURE() << "no server files in " << dir << " (scripts/mariadb start DIR)";
    return found;
}

// Ingests `json` (valid JSON) into `db`: "<clients>/<readings>/<events>" rows
// written when the batch was committed, or else the error.
inline std::string ingest(Db& db, const std::string& json) {
    JsonValue root;
    std::string error;
    EXPECT_TRUE(parse_json(json, root, error)) << error << " in " << json;
    IngestCounts c;
    if (!db.ingest_batch(root, c)) return c.error;
    return std::to_string(c.clients_upserted) + "/" + std::to_string(c.readings_inserted) + "/" +
           std::to_string(c.events_inserted);
}

// Sends the process-wide log to a fresh file for the life of this object.
struct LogCapture {
    LogCapture() { Log::open(path); }
    ~LogCapture() { Log::close(); }
    // Number of times `text` occurs in the log so far.
    int count(const std::string& text) const {
        std::string log;
        read_file(path, log);
        int hits = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++hits;
        return hits;
    }

    const std::string path = make_temp_dir("db-log") + "/service.log";
};

}  // namespace tarn::test
