// Tests for the settings file reader: the documented defaults, line syntax,
// ports, unknown keys, and the failures.
#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_env.h"

namespace tarn {
namespace {

// Every field, one per line, so that a difference shows which one.
std::string describe(const Config& c) {
    return "bind_addr=" + c.bind_addr + "\nbind_port=" + std::to_string(c.bind_port) +
           "\nodbc_driver=" + c.odbc_driver + "\nmysql_host=" + c.mysql_host +
           "\nmysql_port=" + std::to_string(c.mysql_port) + "\nmysql_user=" + c.mysql_user +
           "\nmysql_pass=" + c.mysql_pass + "\nmysql_db=" + c.mysql_db + "\ningest_token=" + c.ingest_token +
           "\nlog_path=" + c.log_path + "\n";
}

class ConfigFile : public ::testing::Test {
protected:
    // Writes `contents` to a fresh file and loads it over a default Config.
    const ConfigLoad& load(const std::string& contents) {
        EXPECT_TRUE(test::write_file(path_, contents));
        config_ = Config{};
        return load_ = load_config(path_, config_);
    }

    const std::string path_ = test::make_temp_dir("config") + "/tarn_ingest.conf";
    Config config_;
    ConfigLoad load_;
};

// The example file lists every key with its built-in default: loading it
// over settings that differ everywhere must give the defaults back.
TEST_F(ConfigFile, ExampleFileDocumentsTheRealDefaults) {
    config_ = Config{"x", 1, "x", "x", 1, "x", "x", "x", "x", "x"};
    load_ = load_config(test::source_path("examples/tarn_ingest.conf"), config_);
    ASSERT_EQ(load_.status, ConfigStatus::loaded) << load_.error;
    EXPECT_TRUE(load_.warnings.empty());
    EXPECT_EQ(describe(config_), describe(Config{}));
}

// Notepad writes a byte-order mark first; it made the first line count for
// nothing, and with a comment there the whole file was refused.
TEST_F(ConfigFile, UnknownKeysAreReportedWithTheirLineKeysAndValuesTrimmedAndALeadingBomSkipped) {
    // Comments and blank lines set nothing; an empty key and a key in capitals
    // set nothing either, and are reported. A value of blanks only is empty.
    load(
        "# bind_port=1\n\n  \t\r\n   # indented\n=\n  =  value\nBIND_ADDR=1.2.3.4\n"
        "  mysql_host \t=\t db  \r\nlog_path=C:\\x.log\r\ningest_token= a=b==c \r\nmysql_pass=\nmysql_db=   \n");
    ASSERT_EQ(load_.status, ConfigStatus::loaded) << load_.error;
    Config expected;
    expected.mysql_host = "db";
    expected.log_path = "C:\\x.log";
    expected.ingest_token = "a=b==c";  // split at the first "="
    expected.mysql_db = "";
    EXPECT_EQ(describe(config_), describe(expected));
    EXPECT_EQ(load_.warnings,
              (std::vector<std::string>{"unknown key '' at line 5 ignored", "unknown key '' at line 6 ignored",
                                        "unknown key 'BIND_ADDR' at line 7 ignored"}));
    EXPECT_EQ(trim(std::string_view(" \t \t").substr(0, 2)), "") << "a blank view is trimmed within its bounds";
    load("\xEF\xBB\xBF# comment\nmysql_db=d\ningest_token=\xEF\xBB\xBFt\n");
    ASSERT_EQ(load_.status, ConfigStatus::loaded) << load_.error;
    EXPECT_TRUE(load_.warnings.empty());
    EXPECT_EQ(config_.mysql_db + " " + config_.ingest_token, "d \xEF\xBB\xBFt") << "only at the start of the file";
}

TEST_F(ConfigFile, PortValuesConvertLikeTheCLibraryAndKeepTheLow16Bits) {
    // clang-format off
    const std::pair<const char*, std::uint16_t> cases[] = {{"123  ", 123}, {"080", 80}, {"abc", 0}, {"65541", 5}, {"-1", 65535},
                                                           {"12ab", 12}};
    // clang-format on
    for (const auto& [value, port] : cases) {
        ASSERT_EQ(load(std::string("bind_port=") + value + "\nmysql_port=" + value + "\n").status,
                  ConfigStatus::loaded);
        EXPECT_EQ(config_.bind_port, port) << value;
        EXPECT_EQ(config_.mysql_port, port) << value;
    }
}

// A missing file may mean the defaults; one that is there but cannot be read
// (a folder in its place) is a fault, as is a line without '='.
TEST_F(ConfigFile, FailuresNameTheLineOrTheFileAndReadingStopsThere) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"bind_addr\n", "missing '=' at line 1"},
        {"# one\n# two\n# three\n# four\nbind_port 8080\n", "missing '=' at line 5"},
        {"bind_port=1000\nnonsense\r\nmysql_host=later\n", "missing '=' at line 2"}};
    // clang-format on
    for (const auto& [contents, error] : cases) {
        EXPECT_EQ(load(contents).status, ConfigStatus::faulty) << contents;
        EXPECT_EQ(load_.error, error);
    }
    EXPECT_EQ(config_.bind_port, 1000) << "lines before the faulty one were read";
    EXPECT_EQ(config_.mysql_host, "127.0.0.1") << "lines after it were not";
    const std::string missing = path_ + ".d/no such file.conf";
    load_ = load_config(missing, config_);
    EXPECT_EQ(load_.status, ConfigStatus::missing);
    EXPECT_EQ(load_.error, "cannot open " + missing);
    // Linux opens a folder and fails its first read; Windows fails the open.
    const std::string folder = test::make_temp_dir("config-folder");
    load_ = load_config(folder, config_);
    EXPECT_EQ(load_.status, ConfigStatus::faulty);
    EXPECT_TRUE(load_.error.rfind("cannot read " + folder + ": ", 0) == 0 ||
                load_.error.rfind("cannot open " + folder + ": ", 0) == 0)
        << load_.error;
}

}  // namespace
}  // namespace tarn
