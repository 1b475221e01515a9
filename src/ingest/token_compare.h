// Comparison of the presented ingest token with the configured one.
#pragma once

#include <string_view>

namespace tarn {

// True when `presented` has the same length and bytes as `expected`. The
// time taken depends only on the length of `presented`, never on where the
// first differing byte is, so response timing reveals nothing of the token.
bool token_matches(std::string_view presented, std::string_view expected);

}  // namespace tarn
