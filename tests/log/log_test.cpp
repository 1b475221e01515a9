// Tests for the process-wide log: line format, tags, the cut, the file, threads.
#include "log/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_env.h"

namespace tarn {
namespace {

// Local timestamp with milliseconds, tag, message.
const std::regex line_pattern(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[([A-Z?]{3})\] (.*))");

// The lines of `text`, without the carriage returns a text-mode stderr adds on Windows.
std::vector<std::string> split_lines(const std::string& text) {
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "text does not end with a line feed";
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

// "TAG message" of each line in the log's format; other lines as they are.
std::vector<std::string> messages(std::vector<std::string> lines) {
    for (std::string& line : lines) line = std::regex_replace(line, line_pattern, "$1 $2");
    return lines;
}

class LogTest : public ::testing::Test {
protected:
    std::vector<std::string> file_lines() const {
        const std::string contents = test::text_of(path_);
        EXPECT_EQ(contents.find('\r'), std::string::npos) << "the file gets bare line feeds";
        return split_lines(contents);
    }
    const std::string path_ = test::make_temp_dir("log") + "/service.log";
};

// The local time to the millisecond, as the log writes it.
std::string local_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&seconds));
    std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(millis));
    return text;
}

// Each line starts with the local time with milliseconds, then the tag.
// (Standard error gets the same lines: the test with many threads.)
TEST_F(LogTest, EachLineCarriesTheLocalTimeToTheMillisecondAndItsTag) {
    Log::open(path_);
    const std::string before = local_now();
    for (int level : {0, 1, 2, 3, 7}) Log::write(static_cast<LogLevel>(level), "http: %s %d", "slow client", 7);
    const std::string after = local_now();
    const std::vector<std::string> lines = file_lines();
    std::vector<std::string> expected;
    for (std::string tag : {"DBG", "INF", "WRN", "ERR", "???"}) expected.push_back(tag + " http: slow client 7");
    EXPECT_EQ(messages(lines), expected);
    const std::string stamp = lines.at(0).substr(0, 23);
    EXPECT_TRUE(before <= stamp && stamp <= after) << lines[0] << " between " << before << " and " << after;
}

// A diagnostic can echo client data: a line feed in it made one entry look
// like two. Messages are cut to 2047 bytes, never in the middle of an
// escape. A wide argument that the C locale cannot convert made the
// formatter fail and leave a half-written message behind.
TEST_F(LogTest, ControlBytesAreEscapedSoAnEntryIsOneLineOf2047BytesAtMost) {
    Log::open(path_);
    for (std::size_t length : {2047u, 2048u, 5000u}) {
        Log::write(LogLevel::Error, "%s", std::string(length, 'x').c_str());
        EXPECT_EQ(messages(file_lines()).back(), "ERR " + std::string(2047, 'x')) << length;
    }
    Log::write(LogLevel::Error, "db: [22007] bad value '%s'", "2024\n-01\r\t\x1b[31m\x1f\x7f \xE2\x80\x94");
    EXPECT_EQ(messages(file_lines()).back(),
              "ERR db: [22007] bad value '2024\\n-01\\r\\t\\x1b[31m\\x1f\\x7f \xE2\x80\x94'");
    Log::write(LogLevel::Info, "%s", (std::string(2046, 'x') + "\n").c_str());
    EXPECT_EQ(messages(file_lines()).back(), "INF " + std::string(2046, 'x')) << "an escape is never cut in half";
    Log::write(LogLevel::Warn, "before %ls after", L"\u00e9");  // either converted, or an empty message
    EXPECT_TRUE(std::regex_match(messages(file_lines()).back(), std::regex("WRN (before .+ after)?")));
}

// reopen() opens the same path again and says so in it; without a path it
// does nothing, and a path that cannot be opened is reported on stderr.
TEST_F(LogTest, ReopeningAppendsAndAnEmptyPathClosesTheFile) {
    ASSERT_TRUE(test::write_file(path_, "left by an older run\n"));
    Log::open(path_);
    Log::write(LogLevel::Info, "first run");
    Log::close();
    Log::open(path_);
    Log::write(LogLevel::Info, "second run");
    const int descriptors = test::open_descriptors();
    EXPECT_TRUE(Log::reopen());
    EXPECT_EQ(test::open_descriptors(), descriptors) << "the file it replaces is closed";
    Log::open("");
    Log::write(LogLevel::Info, "stderr only");
    EXPECT_FALSE(Log::reopen());
    EXPECT_EQ(messages(file_lines()), (std::vector<std::string>{"left by an older run", "INF first run",
                                                                "INF second run", "INF log: reopened " + path_}));
    const std::string gone = path_ + ".d/service.log";
    Log::open(gone);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(Log::reopen());
    EXPECT_EQ(messages(split_lines(::testing::internal::GetCapturedStderr())),
              std::vector<std::string>{"WRN log: cannot reopen " + gone + ": No such file or directory"});
    Log::close();
}

TEST_F(LogTest, LinesFromManyThreadsStayWholeAndInTheSameOrderOnBothOutputsWhileTheFileIsReopened) {
    Log::open(path_);
    ::testing::internal::CaptureStderr();
    std::vector<std::thread> threads;  // 8 threads of 200 lines, long enough to interleave when unguarded
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                Log::write(LogLevel::Info, "%d %d %0300d", t, i, 0);
                if (i % 20 == 0) Log::reopen();  // while the other threads write
            }
        });
    for (std::thread& th : threads) th.join();
    const std::vector<std::string> err = split_lines(::testing::internal::GetCapturedStderr());
    const std::vector<std::string> lines = file_lines();
    ASSERT_EQ(lines.size(), 1680u);
    EXPECT_EQ(err, lines);
    std::vector<int> next(8, 0);
    for (const std::string& line : messages(lines)) {
        if (line == "INF log: reopened " + path_) continue;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, std::regex("INF (\\d) (\\d+) 0{300}"))) << line;
        EXPECT_EQ(std::stoi(m[2]), next[std::stoul(m[1])]++) << line;
    }
}

}  // namespace
}  // namespace tarn
