// Tests for the process-wide log: line format, tags, the cut, the file, threads.
#include "log/log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

namespace tarn {
namespace {

// One whole line: local timestamp with milliseconds, tag, message.
const std::regex line_pattern(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) \[([A-Z?]{3})\] (.*))");

// Splits on line feeds; the text must end with one. Carriage returns that a
// text-mode standard error adds on Windows are dropped.
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    EXPECT_EQ(current, "") << "text does not end with a line feed";
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = test::make_temp_dir("log");
        path_ = dir_ + "/service.log";
    }
    void TearDown() override { Log::close(); }

    std::string file_contents() const {
        std::string contents;
        EXPECT_TRUE(test::read_file(path_, contents)) << path_;
        return contents;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(LogTest, WithNoFileOpenALineReachesStandardErrorInTheLineFormat) {
    Log::close();
    ::testing::internal::CaptureStderr();
    Log::write(LogLevel::Info, "config: loaded %d settings from %s", 3, "x.conf");
    const std::vector<std::string> lines = split_lines(::testing::internal::GetCapturedStderr());
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line_pattern)) << lines[0];
    EXPECT_EQ(m[8], "INF");
    EXPECT_EQ(m[9], "config: loaded 3 settings from x.conf");
}

TEST_F(LogTest, EachLevelWritesItsTagAndUnknownLevelsWriteQuestionMarks) {
    struct Case {
        LogLevel level;
        const char* tag;
    };
    const Case cases[] = {
        {LogLevel::Debug, "DBG"},         {LogLevel::Info, "INF"},
        {LogLevel::Warn, "WRN"},          {LogLevel::Error, "ERR"},
        {static_cast<LogLevel>(4), "???"}, {static_cast<LogLevel>(7), "???"},
        {static_cast<LogLevel>(-1), "???"},
    };
    Log::open(path_);
    for (const Case& c : cases) Log::write(c.level, "level %d", static_cast<int>(c.level));
    Log::close();
    const std::vector<std::string> lines = split_lines(file_contents());
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line_pattern)) << lines[i];
        EXPECT_EQ(m[8], cases[i].tag);
        EXPECT_EQ(m[9], "level " + std::to_string(static_cast<int>(cases[i].level)));
    }
}

TEST_F(LogTest, FileAndStandardErrorReceiveTheSameLineWithABareLineFeed) {
    Log::open(path_);
    ::testing::internal::CaptureStderr();
    Log::write(LogLevel::Warn, "http: %s", "slow client");
    const std::string err = ::testing::internal::GetCapturedStderr();
    Log::close();
    const std::string file = file_contents();
    EXPECT_EQ(file.find('\r'), std::string::npos) << "no newline translation in the file";
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.back(), '\n');
    EXPECT_EQ(split_lines(file), split_lines(err));
    std::smatch m;
    const std::string line = split_lines(file).at(0);
    ASSERT_TRUE(std::regex_match(line, m, line_pattern)) << line;
    EXPECT_EQ(m[8], "WRN");
    EXPECT_EQ(m[9], "http: slow client");
}

TEST_F(LogTest, TimestampIsTheCurrentLocalTime) {
    Log::open(path_);
    const std::time_t before = std::time(nullptr);
    Log::write(LogLevel::Info, "now");
    const std::time_t after = std::time(nullptr);
    Log::close();
    const std::string line = split_lines(file_contents()).at(0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, line_pattern)) << line;
    std::tm parts{};
    parts.tm_year = std::stoi(m[1]) - 1900;
    parts.tm_mon = std::stoi(m[2]) - 1;
    parts.tm_mday = std::stoi(m[3]);
    parts.tm_hour = std::stoi(m[4]);
    parts.tm_min = std::stoi(m[5]);
    parts.tm_sec = std::stoi(m[6]);
    parts.tm_isdst = -1;
    const std::time_t stamped = std::mktime(&parts);
    EXPECT_GE(stamped, before - 1) << line;
    EXPECT_LE(stamped, after + 1) << line;
    EXPECT_LE(std::stoi(m[7]), 999);
}

TEST_F(LogTest, MessagesLongerThan2047BytesAreCutWithoutMark) {
    struct Case {
        std::size_t length;
        std::size_t written;
    };
    const Case cases[] = {{2046, 2046}, {2047, 2047}, {2048, 2047}, {3000, 2047}};
    Log::open(path_);
    for (const Case& c : cases) Log::write(LogLevel::Error, "%s", std::string(c.length, 'x').c_str());
    Log::close();
    const std::vector<std::string> lines = split_lines(file_contents());
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, line_pattern));
        EXPECT_EQ(m[9], std::string(cases[i].written, 'x')) << "message of " << cases[i].length << " bytes";
    }
}

TEST_F(LogTest, Utf8BytesAreWrittenUnchanged) {
    Log::open(path_);
    Log::write(LogLevel::Info, "service: stopped \xE2\x80\x94 %s", "caf\xC3\xA9");
    Log::close();
    const std::string contents = file_contents();
    EXPECT_NE(contents.find("] service: stopped \xE2\x80\x94 caf\xC3\xA9\n"), std::string::npos) << contents;
}

// A wide argument that the C locale cannot convert made the formatter fail
// and leave a half-written message behind.
TEST_F(LogTest, FormattingErrorStillWritesOneWholeLine) {
    Log::open(path_);
    Log::write(LogLevel::Warn, "before %ls after", L"\u00e9");
    Log::close();
    const std::vector<std::string> lines = split_lines(file_contents());
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line_pattern)) << lines[0];
    const std::string message = m[9];
    // Either the formatter converted the argument, or the message is empty.
    if (!message.empty()) {
        EXPECT_EQ(message.rfind("before ", 0), 0u) << message;
        EXPECT_GE(message.size(), 13u) << message;
        EXPECT_EQ(message.substr(message.size() - 6), " after") << message;
    }
}

TEST_F(LogTest, ReopeningAppendsAfterEarlierLines) {
    ASSERT_TRUE(test::write_file(path_, "left by an older run\n"));
    Log::open(path_);
    Log::write(LogLevel::Info, "first run");
    Log::close();
    Log::open(path_);
    Log::write(LogLevel::Info, "second run");
    Log::close();
    const std::vector<std::string> lines = split_lines(file_contents());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "left by an older run");
    EXPECT_NE(lines[1].find("] first run"), std::string::npos);
    EXPECT_NE(lines[2].find("] second run"), std::string::npos);
}

TEST_F(LogTest, OpeningWithAnEmptyPathClosesTheCurrentFile) {
    Log::open(path_);
    Log::write(LogLevel::Info, "to the file");
    Log::open("");
    ::testing::internal::CaptureStderr();
    Log::write(LogLevel::Info, "stderr only");
    const std::vector<std::string> err = split_lines(::testing::internal::GetCapturedStderr());
    const std::vector<std::string> lines = split_lines(file_contents());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] to the file"), std::string::npos);
    ASSERT_EQ(err.size(), 1u);
    EXPECT_NE(err[0].find("] stderr only"), std::string::npos);
}

TEST_F(LogTest, OpeningAnotherFileClosesTheFirst) {
    const std::string second = dir_ + "/second.log";
    Log::open(path_);
    Log::write(LogLevel::Info, "one");
    Log::open(second);
    Log::write(LogLevel::Info, "two");
    Log::close();
    ASSERT_EQ(split_lines(file_contents()).size(), 1u);
    std::string contents;
    ASSERT_TRUE(test::read_file(second, contents));
    const std::vector<std::string> lines = split_lines(contents);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] two"), std::string::npos);
}

TEST_F(LogTest, UnopenablePathLeavesStandardErrorOnly) {
    Log::open(path_);
    Log::open(dir_ + "/missing folder/service.log");
    ::testing::internal::CaptureStderr();
    Log::write(LogLevel::Error, "still logged");
    const std::vector<std::string> err = split_lines(::testing::internal::GetCapturedStderr());
    ASSERT_EQ(err.size(), 1u);
    EXPECT_NE(err[0].find("[ERR] still logged"), std::string::npos);
    EXPECT_EQ(file_contents(), "");  // the earlier file was closed, not written
}

TEST_F(LogTest, ClosingWithNoFileOpenDoesNothing) {
    Log::close();
    Log::close();
    ::testing::internal::CaptureStderr();
    Log::write(LogLevel::Info, "after close");
    EXPECT_EQ(split_lines(::testing::internal::GetCapturedStderr()).size(), 1u);
}

TEST_F(LogTest, LinesFromManyThreadsStayWholeAndInTheSameOrderOnBothOutputs) {
    constexpr int thread_count = 8;
    constexpr int lines_per_thread = 200;
    // Long enough that an unguarded write would interleave.
    const std::string padding(300, '.');
    Log::open(path_);
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([t, &padding] {
            for (int i = 0; i < lines_per_thread; ++i)
                Log::write(LogLevel::Info, "thread %d line %d %s end", t, i, padding.c_str());
        });
    }
    for (std::thread& th : threads) th.join();
    const std::string err = ::testing::internal::GetCapturedStderr();
    Log::close();

    const std::vector<std::string> lines = split_lines(file_contents());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(thread_count * lines_per_thread));
    const std::regex message_pattern(R"(thread (\d+) line (\d+) \.{300} end)");
    std::vector<int> next_line(thread_count, 0);
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, line_pattern)) << line;
        const std::string message = m[9];
        std::smatch n;
        ASSERT_TRUE(std::regex_match(message, n, message_pattern)) << message;
        const int t = std::stoi(n[1]);
        ASSERT_LT(t, thread_count);
        EXPECT_EQ(std::stoi(n[2]), next_line[static_cast<std::size_t>(t)]++);
    }
    EXPECT_EQ(split_lines(err), lines);
}

}  // namespace
}  // namespace tarn
