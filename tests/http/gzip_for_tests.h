// gzip for the tests: `text` compressed as one gzip member, with zlib, at
// `level` (0: stored blocks, as many bytes out as in).
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace tarn::test {

inline std::string gzip(const std::string& text, int level = Z_BEST_COMPRESSION) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace tarn::test
