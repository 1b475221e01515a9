// Tests for the settings file reader: defaults, line syntax, ports, errors.
#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_env.h"

namespace tarn {
namespace {

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

TEST_F(ConfigFile, LinesWithoutAKnownKeyKeepEveryDefault) {
    // Comments, blank lines, an empty key and a key in capitals set nothing.
    ASSERT_TRUE(load("# bind_port=1\n\n  \t\r\n   # indented\n=\n  =  value\nBIND_ADDR=1.2.3.4\n")) << error_;
    EXPECT_EQ(config_.bind_addr, "0.0.0.0");
    EXPECT_EQ(config_.bind_port, 41290);
    EXPECT_EQ(config_.odbc_driver, "MySQL ODBC 8.0 Unicode Driver");
    EXPECT_EQ(config_.mysql_host, "127.0.0.1");
    EXPECT_EQ(config_.mysql_port, 3306);
    EXPECT_EQ(config_.mysql_user, "tarn_water");
    EXPECT_EQ(config_.mysql_pass, "");
    EXPECT_EQ(config_.mysql_db, "tarn_water");
    EXPECT_EQ(config_.ingest_token, "");
    EXPECT_EQ(config_.log_path, "");
}

TEST_F(ConfigFile, KeysAndValuesAreTrimmedOfBlanksAndCarriageReturns) {
    ASSERT_TRUE(load("  bind_addr \t=\t 10.0.0.1  \r\nodbc_driver=MariaDB Unicode\r\nmysql_host=db\r\n"
                     "mysql_user=u\nmysql_pass=p\nmysql_db=d\nlog_path=C:\\x.log\ningest_token= a=b==c \r\n"))
        << error_;
    EXPECT_EQ(config_.bind_addr, "10.0.0.1");
    EXPECT_EQ(config_.odbc_driver, "MariaDB Unicode");
    EXPECT_EQ(config_.mysql_host, "db");
    EXPECT_EQ(config_.mysql_user, "u");
    EXPECT_EQ(config_.mysql_pass, "p");
    EXPECT_EQ(config_.mysql_db, "d");
    EXPECT_EQ(config_.log_path, "C:\\x.log");
    EXPECT_EQ(config_.ingest_token, "a=b==c");  // split at the first "="
}

TEST_F(ConfigFile, PortValuesConvertLikeTheCLibraryAndKeepTheLow16Bits) {
    const struct {
        const char* value;
        std::uint16_t port;
    } cases[] = {{"123  ", 123}, {"abc", 0}, {"65541", 5}, {"-1", 65535}, {"12ab", 12}};
    for (const auto& c : cases) {
        ASSERT_TRUE(load(std::string("bind_port=") + c.value + "\nmysql_port=" + c.value + "\n")) << error_;
        EXPECT_EQ(config_.bind_port, c.port) << c.value;
        EXPECT_EQ(config_.mysql_port, c.port) << c.value;
    }
}

TEST_F(ConfigFile, LineWithoutEqualsSignFailsWithItsLineNumber) {
    EXPECT_FALSE(load("bind_addr\n"));
    EXPECT_EQ(error_, "missing '=' at line 1");
    EXPECT_FALSE(load("# one\n# two\n# three\n# four\nbind_port 8080\n"));
    EXPECT_EQ(error_, "missing '=' at line 5");
}

TEST_F(ConfigFile, ReadingStopsAtTheFaultyLine) {
    EXPECT_FALSE(load("bind_port=1000\nnonsense\r\nbind_port=2000\nmysql_host=later\n"));
    EXPECT_EQ(error_, "missing '=' at line 2");
    EXPECT_EQ(config_.bind_port, 1000);
    EXPECT_EQ(config_.mysql_host, "127.0.0.1");
}

TEST_F(ConfigFile, MissingFileFailsWithCannotOpenAndItsPath) {
    const std::string path = path_ + ".d/no such file.conf";
    EXPECT_FALSE(load_config(path, config_, error_));
    EXPECT_EQ(error_, "cannot open " + path);
}

}  // namespace
}  // namespace tarn
