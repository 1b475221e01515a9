// Body codings on their own, without sockets: the chunked transfer coding
// and gzip content coding.
#include <gtest/gtest.h>

#include <string>

#include "gzip_for_tests.h"
#include "http/chunked_body.h"
#include "http/gzip_body.h"

namespace tarn {
namespace {

using test::gzip;

// "<status>:<body>" after feeding `stream` to a decoder taking at most `max`
// bytes, whole, or a byte at a time; both must agree.
std::string decode(const std::string& stream, std::size_t max = 1000) {
    std::string outcomes[2];
    for (const bool bytewise : {false, true}) {
        ChunkedDecoder decoder(max);
        std::string body;
        ChunkedDecoder::Status status = ChunkedDecoder::Status::more;
        if (bytewise) {
            for (const char c : stream) status = decoder.feed(std::string_view(&c, 1), body);
        } else {
            status = decoder.feed(stream, body);
        }
        const char* names[] = {"more", "done", "malformed", "too_large"};
        outcomes[bytewise] = std::string(names[static_cast<int>(status)]) + ":" + body;
    }
    EXPECT_EQ(outcomes[0], outcomes[1]) << "fed whole and fed bytewise differ: " << stream;
    return outcomes[0];
}

TEST(ChunkedBody, DecodesChunksSkipsExtensionsAndTrailersAndRefusesBadFraming) {
    const std::string long_line = std::string(chunk_size_line_limit_bytes, '0') + "\r\n";
    // The trailer's limit counts its bytes and the CR of each line.
    const std::string long_trailer = "0\r\nX: " + std::string(chunk_trailer_limit_bytes - 5, 't') + "\r\n\r\n";
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"3\r\nabc\r\n0\r\n\r\n", "done:abc"}, {"3\r\nabc\r\nA\r\n0123456789\r\n0\r\n\r\n", "done:abc0123456789"},
        {"03;name=value\r\nabc\r\n0 ; last\r\n\r\n", "done:abc"}, {"0\r\n\r\n", "done:"},
        {"3\r\nabc\r\n0\r\nX-Sum: 1\r\nY: 2\r\n\r\nafter the body", "done:abc"},
        {"3\r\nab", "more:ab"}, {"3\r\nabc\r\n", "more:abc"}, {"3\r\nabc\r\n0\r\nX: 1\r\n", "more:abc"},
        {"zz\r\n", "malformed:"}, {"\r\n", "malformed:"}, {"-1\r\n", "malformed:"}, {"0x3\r\nabc", "malformed:"},
        {"3\nabc\r\n", "malformed:"}, {"3\r\nabcd\r\n", "malformed:abc"}, {"3\r\nabc\n0\r\n\r\n", "malformed:abc"},
        {"3;x\nabc", "malformed:"}, {"0\r\nX: 1\n\r\n", "malformed:"}, {"0\r\n\r\r", "malformed:"},
        {long_line, "malformed:"}, {long_line.substr(1) + "\r\n", "done:"}, {"1\r\nx\r\n" + long_line, "malformed:x"},
        {"1\r\nx\r\n" + long_line.substr(1) + "\r\n", "done:x"}, {long_trailer, "done:"},
        {long_trailer.substr(0, 3) + "t" + long_trailer.substr(3), "malformed:"},
        {"a\r\n0123456789\r\nF;\r\n0123456789abcde\r\n0\r\n\r\n", "done:01234567890123456789abcde"},
        {"f\t\r\n0123456789abcde\r\n0\r\n\r\n", "done:0123456789abcde"}, {"g\r\n", "malformed:"},
        {"G\r\n", "malformed:"}, {"3\r\nabc\r\n\r\n", "malformed:abc"},
        {"3E8\r\n", "more:"}, {"3E9\r\n", "too_large:"}, {"FFFFFFFFFFFFFFFFFFFFFFFF\r\n", "too_large:"},
        {"3E7\r\n" + std::string(999, 'x') + "\r\n2\r\n", "too_large:" + std::string(999, 'x')}
    };
    // clang-format on
    for (const auto& [stream, outcome] : cases) EXPECT_EQ(decode(stream), outcome) << stream;
}

// "<result>:<size inflated>" of `compressed`, at most `max` bytes; records
// the most `out` was allowed to grow to.
std::string inflate(const std::string& compressed, std::size_t max, std::size_t& most_held,
                    std::size_t budget = SIZE_MAX) {
    std::string out;
    most_held = 0;
    const InflateResult result = inflate_gzip(
        compressed, max,
        [&](std::size_t bytes) {
            most_held = std::max(most_held, bytes);
            return bytes <= budget;
        },
        out);
    const char* names[] = {"inflated", "too_large", "corrupt", "no_memory"};
    return std::string(names[static_cast<int>(result)]) + ":" +
           (result == InflateResult::inflated ? out : std::to_string(out.size()));
}

// A small body that inflates to far more than the limit is stopped at the
// limit: what it may hold never passes the limit by more than one byte.
TEST(GzipBody, InflatesWithinTheLimitAndRefusesBombsAndDamage) {
    const std::size_t max = 100000;
    const std::string at_limit(max, 'a'), batch = R"({"readings":[]})";
    const std::string member = gzip(batch);
    std::size_t held = 0;
    EXPECT_EQ(inflate(member, max, held), "inflated:" + batch);
    EXPECT_EQ(held, 65536u) << "the inflated body grows, and is asked for, 64 KiB at a time";
    EXPECT_EQ(inflate(member + gzip("tail"), max, held), "inflated:" + batch + "tail") << "members one after the other";
    const std::string bomb = gzip(std::string(64 << 20, '\0'));
    ASSERT_LT(bomb.size(), 128u << 10);
    EXPECT_EQ(inflate(bomb, max, held).substr(0, 10), "too_large:");
    EXPECT_EQ(held, max + 1);
    std::string flipped = member;
    flipped[flipped.size() - 6] ^= 0x01;  // the checksum no longer fits
    // clang-format off
    const std::string corrupt[] = {"", batch, member.substr(0, member.size() - 1), member.substr(0, 12), flipped,
                                   member + "x"};
    // clang-format on
    for (const std::string& damaged : corrupt) EXPECT_EQ(inflate(damaged, max, held).substr(0, 8), "corrupt:");
    // Stored blocks cut off near 64 KiB out: one cut leaves exactly one byte of the step's room.
    const std::string stored = gzip(at_limit, 0);
    for (std::size_t cut = 65540; cut < 65560; ++cut)
        EXPECT_EQ(inflate(stored.substr(0, cut), max, held).substr(0, 8), "corrupt:") << cut;
    EXPECT_EQ(inflate(gzip(at_limit), max, held, max / 2).substr(0, 10), "no_memory:");
    EXPECT_LE(held, max / 2 + 65536);
}

}  // namespace
}  // namespace tarn
