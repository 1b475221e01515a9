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
    void SetUp() override { dir_ = test::make_temp_dir("config"); }

    // Writes `contents` to a fresh file and loads it over a default Config.
    bool load(const std::string& contents) {
        const std::string path = dir_ + "/tarn_ingest.conf";
        EXPECT_TRUE(test::write_file(path, contents));
        config_ = Config{};
        error_.clear();
        return load_config(path, config_, error_);
    }

    std::string dir_;
    Config config_;
    std::string error_;
};

void expect_defaults(const Config& c) {
    EXPECT_EQ(c.bind_addr, "0.0.0.0");
    EXPECT_EQ(c.bind_port, 41290);
    EXPECT_EQ(c.odbc_driver, "MySQL ODBC 8.0 Unicode Driver");
    EXPECT_EQ(c.mysql_host, "127.0.0.1");
    EXPECT_EQ(c.mysql_port, 3306);
    EXPECT_EQ(c.mysql_user, "tarn_water");
    EXPECT_EQ(c.mysql_pass, "");
    EXPECT_EQ(c.mysql_db, "tarn_water");
    EXPECT_EQ(c.ingest_token, "");
    EXPECT_EQ(c.log_path, "");
}

TEST_F(ConfigFile, DefaultConstructionHoldsEveryDefault) { expect_defaults(Config{}); }

TEST_F(ConfigFile, FilesWithoutSettingsKeepEveryDefault) {
    const char* const files[] = {
        "",
        "\n\n\n",
        "# only a comment\n",
        "   # indented comment\n\t\n\r\n",
        "#bind_port=1\n# mysql_host = x\n",
        "=\n",                        // empty key: ignored
        "  =  value\n",               // empty key after trimming
        "BIND_ADDR=1.2.3.4\n",        // keys are case-sensitive
        "bind_addr2=1.2.3.4\n",       // same prefix, longer key
        "bind_add=1.2.3.4\n",         // same prefix, shorter key
        "\xEF\xBB\xBF" "bind_addr=1.2.3.4\n",  // byte-order mark glued to the key
        "unknown_key=1\n",
    };
    for (const char* contents : files) {
        SCOPED_TRACE(contents);
        EXPECT_TRUE(load(contents)) << error_;
        EXPECT_EQ(error_, "");
        expect_defaults(config_);
    }
}

TEST_F(ConfigFile, EveryKeySetsItsField) {
    ASSERT_TRUE(load("bind_addr=10.0.0.1\n"
                     "bind_port=8080\n"
                     "odbc_driver=MariaDB Unicode\n"
                     "mysql_host=db.example\n"
                     "mysql_port=3307\n"
                     "mysql_user=u\n"
                     "mysql_pass=p\n"
                     "mysql_db=d\n"
                     "ingest_token=t\n"
                     "log_path=C:\\logs\\x.log\n"))
        << error_;
    EXPECT_EQ(config_.bind_addr, "10.0.0.1");
    EXPECT_EQ(config_.bind_port, 8080);
    EXPECT_EQ(config_.odbc_driver, "MariaDB Unicode");
    EXPECT_EQ(config_.mysql_host, "db.example");
    EXPECT_EQ(config_.mysql_port, 3307);
    EXPECT_EQ(config_.mysql_user, "u");
    EXPECT_EQ(config_.mysql_pass, "p");
    EXPECT_EQ(config_.mysql_db, "d");
    EXPECT_EQ(config_.ingest_token, "t");
    EXPECT_EQ(config_.log_path, "C:\\logs\\x.log");
}

TEST_F(ConfigFile, TextValuesAreTrimmedAndOtherwiseKeptAsBytes) {
    struct Case {
        const char* contents;
        const char* token;
    };
    const Case cases[] = {
        {"ingest_token=abc\n", "abc"},
        {"  ingest_token \t=\t abc  \r\n", "abc"},            // trimming of key and value
        {"ingest_token=abc\r\n", "abc"},                      // Windows line end
        {"ingest_token=a=b==c\n", "a=b==c"},                  // split at the first "="
        {"ingest_token=\n", ""},                              // empty value
        {"ingest_token=abc # not a comment\n", "abc # not a comment"},
        {"ingest_token=\"quoted\\n\"\n", "\"quoted\\n\""},    // no unquoting, no escapes
        {"ingest_token=caf\xC3\xA9 \xE2\x80\x94\n", "caf\xC3\xA9 \xE2\x80\x94"},
        {"ingest_token=a  b\tc\n", "a  b\tc"},                // inner blanks kept
        {"ingest_token=last line without line feed", "last line without line feed"},
        {"ingest_token=first\ningest_token=second\n", "second"},  // later line wins
        {"ingest_token=x\vy\f\n", "x\vy\f"},                  // only space, tab, CR are trimmed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contents);
        EXPECT_TRUE(load(c.contents)) << error_;
        EXPECT_EQ(config_.ingest_token, c.token);
    }
}

TEST_F(ConfigFile, WindowsLineEndsLeaveKeysAndValuesIntact) {
    ASSERT_TRUE(load("# settings\r\n\r\nbind_addr=127.0.0.1\r\nbind_port=9000\r\nmysql_pass=\r\n")) << error_;
    EXPECT_EQ(config_.bind_addr, "127.0.0.1");
    EXPECT_EQ(config_.bind_port, 9000);
    EXPECT_EQ(config_.mysql_pass, "");
}

TEST_F(ConfigFile, EmptyPasswordLineClearsAnEarlierOne) {
    ASSERT_TRUE(load("mysql_pass=secret\nmysql_pass=\n")) << error_;
    EXPECT_EQ(config_.mysql_pass, "");
}

TEST_F(ConfigFile, PortValuesConvertLikeTheCLibraryAndKeepTheLow16Bits) {
    struct Case {
        const char* value;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"123", 123},
        {"123  ", 123},
        {"  123", 123},
        {"+123", 123},
        {"0", 0},
        {"00080", 80},
        {"abc", 0},
        {"", 0},
        {"12ab", 12},
        {"12 34", 12},
        {"1.9", 1},
        {"0x50", 0},                     // decimal only
        {"- 1", 0},                      // sign must touch the digits
        {"65535", 65535},
        {"65536", 0},
        {"65537", 1},
        {"131072", 0},
        {"196613", 5},                   // 3 * 65536 + 5
        {"4294967297", 1},               // 2^32 + 1: 64-bit conversion, not 32
        {"-1", 65535},
        {"-65535", 1},
        {"-65536", 0},
        {"9223372036854775807", 65535},  // LLONG_MAX
        {"99999999999999999999999", 65535},  // saturates at LLONG_MAX
        {"-99999999999999999999999", 0},     // saturates at LLONG_MIN
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("port value \"") + c.value + "\"");
        ASSERT_TRUE(load(std::string("bind_port=") + c.value + "\nmysql_port=" + c.value + "\n")) << error_;
        EXPECT_EQ(config_.bind_port, c.port);
        EXPECT_EQ(config_.mysql_port, c.port);
    }
}

TEST_F(ConfigFile, LineWithoutEqualsSignFailsWithItsLineNumber) {
    struct Case {
        const char* contents;
        const char* error;
    };
    const Case cases[] = {
        {"bind_addr\n", "missing '=' at line 1"},
        {"# one\n# two\n# three\n# four\nbind_port 8080\n", "missing '=' at line 5"},
        {"\n\n   \r\n\t\nx\n", "missing '=' at line 5"},
        {"bind_port=1\r\nbad line\r\n", "missing '=' at line 2"},
        {"a=1\nb=2\nno equals sign", "missing '=' at line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contents);
        EXPECT_FALSE(load(c.contents));
        EXPECT_EQ(error_, c.error);
    }
}

TEST_F(ConfigFile, ReadingStopsAtTheFaultyLine) {
    EXPECT_FALSE(load("bind_port=1000\nnonsense\nbind_port=2000\nmysql_host=later\n"));
    EXPECT_EQ(error_, "missing '=' at line 2");
    EXPECT_EQ(config_.bind_port, 1000);      // applied before the fault
    EXPECT_EQ(config_.mysql_host, "127.0.0.1");  // never read
}

TEST_F(ConfigFile, MissingFileFailsWithCannotOpenAndThePathUnchanged) {
    const std::string path = dir_ + "/no such folder/tarn_ingest.conf";
    Config config;
    config.bind_port = 1;
    std::string error;
    EXPECT_FALSE(load_config(path, config, error));
    EXPECT_EQ(error, "cannot open " + path);
    EXPECT_EQ(config.bind_port, 1);  // untouched
}

TEST(Trim, RemovesOnlySpacesTabsAndCarriageReturnsAtBothEnds) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {" \t\r", ""},
        {"abc", "abc"},
        {" \t abc \r\n", "abc \r\n"},  // a line feed is not trimmed
        {"\r\r a b \t", "a b"},
        {"\nabc", "\nabc"},
        {std::string("\0x\0", 3), std::string("\0x\0", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trim(c.in), c.out) << "input: \"" << c.in << "\"";
    }
}

}  // namespace
}  // namespace tarn
