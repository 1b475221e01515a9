// Constant-time comparison of the ingest token.
#include "ingest/token_compare.h"

#include <cstddef>

namespace tarn {

bool token_matches(std::string_view presented, std::string_view expected) {
    // Every byte of the presented value is looked at and folded into one
    // accumulator; nothing leaves the loop early.
    unsigned difference = presented.size() == expected.size() ? 0u : 1u;
    const std::size_t expected_size = expected.size();
    for (std::size_t i = 0; i < presented.size(); ++i) {
        const unsigned char wanted = expected_size != 0 ? static_cast<unsigned char>(expected[i % expected_size]) : 0u;
        difference |= static_cast<unsigned>(static_cast<unsigned char>(presented[i]) ^ wanted);
    }
    // An empty presented value against a non-empty token differs by length.
    return difference == 0;
}

}  // namespace tarn
