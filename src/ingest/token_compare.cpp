// Constant-time comparison of the ingest token.
#include "ingest/token_compare.h"

#include <cstddef>

namespace tarn {

bool token_matches(std::string_view presented, std::string_view expected) {
    if (expected.empty()) return presented.empty();
    // Every byte of the presented value is looked at and folded into one
    // accumulator; nothing leaves the loop early.
    unsigned difference = presented.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < presented.size(); ++i) {
        difference |= static_cast<unsigned>(static_cast<unsigned char>(presented[i]) ^
                                            static_cast<unsigned char>(expected[i % expected.size()]));
    }
    return difference == 0;
}

}  // namespace tarn
