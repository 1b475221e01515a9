// Tests for the settings file reader: the documented defaults, line syntax,
// ports, and the failures.
#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

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
    bool load(const std::string& contents) {
        EXPECT_TRUE(test::write_file(path_, contents));
        config_ = Config{};
        error_.clear();
        return load_config(path_, config_, error_);
    }

    const std::string path_ = test::make_temp_dir("config") + "/tarn_ingest.conf";
    Config config_;
    std::string error_;
};

// The example file lists every key with its built-in default: loading it
// over settings that differ everywhere must give the defaults back.
TEST_F(ConfigFile, ExampleFileDocumentsTheRealDefaults) {
    config_ = Config{"x", 1, "x", "x", 1, "x", "x", "x", "x", "x"};
    ASSERT_TRUE(load_config(test::source_path("examples/tarn_ingest.conf"), config_, error_)) << error_;
    EXPECT_EQ(describe(config_), describe(Config{}));
}

// Notepad writes a byte-order mark first; it made the first line count for
// nothing, and with a comment there the whole file was refused.
TEST_F(ConfigFile, LinesWithoutAKnownKeyAreSkippedKeysAndValuesTrimmedAndALeadingBomSkipped) {
    // Comments, blank lines, an empty key and a key in capitals set nothing.
    ASSERT_TRUE(
        load("# bind_port=1\n\n  \t\r\n   # indented\n=\n  =  value\nBIND_ADDR=1.2.3.4\n"
             "  mysql_host \t=\t db  \r\nlog_path=C:\\x.log\r\ningest_token= a=b==c \r\nmysql_pass=\n"))
        << error_;
    Config expected;
    expected.mysql_host = "db";
    expected.log_path = "C:\\x.log";
    expected.ingest_token = "a=b==c";  // split at the first "="
    EXPECT_EQ(describe(config_), describe(expected));
    ASSERT_TRUE(load("\xEF\xBB\xBF# comment\nmysql_db=d\ningest_token=\xEF\xBB\xBFt\n")) << error_;
    EXPECT_EQ(config_.mysql_db + " " + config_.ingest_token, "d \xEF\xBB\xBFt") << "only at the start of the file";
}

TEST_F(ConfigFile, PortValuesConvertLikeTheCLibraryAndKeepTheLow16Bits) {
    // clang-format off
    const std::pair<const char*, std::uint16_t> cases[] = {{"123  ", 123}, {"abc", 0}, {"65541", 5}, {"-1", 65535},
                                                           {"12ab", 12}};
    // clang-format on
    for (const auto& [value, port] : cases) {
        ASSERT_TRUE(load(std::string("bind_port=") + value + "\nmysql_port=" + value + "\n")) << error_;
        EXPECT_EQ(config_.bind_port, port) << value;
        EXPECT_EQ(config_.mysql_port, port) << value;
    }
}

TEST_F(ConfigFile, FailuresNameTheLineOrTheFileAndReadingStopsThere) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"bind_addr\n", "missing '=' at line 1"},
        {"# one\n# two\n# three\n# four\nbind_port 8080\n", "missing '=' at line 5"},
        {"bind_port=1000\nnonsense\r\nmysql_host=later\n", "missing '=' at line 2"}};
    // clang-format on
    for (const auto& [contents, error] : cases) {
        EXPECT_FALSE(load(contents)) << contents;
        EXPECT_EQ(error_, error);
    }
    EXPECT_EQ(config_.bind_port, 1000) << "lines before the faulty one were read";
    EXPECT_EQ(config_.mysql_host, "127.0.0.1") << "lines after it were not";
    const std::string missing = path_ + ".d/no such file.conf";
    EXPECT_FALSE(load_config(missing, config_, error_));
    EXPECT_EQ(error_, "cannot open " + missing);
}

}  // namespace
}  // namespace tarn
