// Inflating a request body sent with Content-Encoding: gzip.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarn {

enum class InflateResult {
    inflated,   // `out` holds the whole body
    too_large,  // it inflates to more than the limit
    corrupt,    // not a gzip stream, a damaged one, or one cut short
    no_memory,  // `may_hold` refused, or zlib could not get its memory
};

// Inflates the gzip stream `compressed` (one member, or several one after
// the other) into `out`, stopping as soon as more than `max_bytes` come out,
// so that a small body that inflates to gigabytes never takes more than the
// limit. Before `out` grows, `may_hold` is asked for the size it grows to;
// false stops with no_memory. `out` is replaced only when the result is
// `inflated`. Throws only what allocating the inflated bytes throws.
InflateResult inflate_gzip(std::string_view compressed, std::size_t max_bytes,
                           const std::function<bool(std::size_t)>& may_hold, std::string& out);

}  // namespace tarn
