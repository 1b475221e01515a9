// Fuzz target: any bytes through parse_json, and writing must be stable.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json_parser.h"
#include "json/json_writer.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& a, const std::string& b) {
    std::fprintf(stderr, "%s\n  first:  %s\n  second: %s\n", what, a.c_str(), b.c_str());
    std::abort();
}

// `text` with every number token -0 (outside strings) replaced by 0: a
// Double -0.0 is written as -0, which reads back as the Int 0, so that one
// token may change between the first and the second writing.
std::string without_negative_zero(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            out += c;
            if (c == '\\' && i + 1 < text.size()) {
                out += text[++i];
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') in_string = true;
        const bool starts_token = i == 0 || text[i - 1] == '[' || text[i - 1] == ',' || text[i - 1] == ':';
        const bool ends_token = i + 2 >= text.size() || text[i + 2] == ',' || text[i + 2] == ']' || text[i + 2] == '}';
        if (c == '-' && starts_token && i + 1 < text.size() && text[i + 1] == '0' && ends_token) continue;
        out += c;
    }
    return out;
}

}  // namespace

// The text written from a parsed document must parse again and be written
// back unchanged: write(parse(write(parse(x)))) == write(parse(x)).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    tarn::JsonValue value;
    std::string error;
    if (!tarn::parse_json(input, value, error)) {
        if (error.empty()) fail("failed parse without a message", std::string(input), error);
        return 0;
    }
    const std::string once = tarn::to_json(value);
    tarn::JsonValue again;
    if (!tarn::parse_json(once, again, error)) fail("written text does not parse", once, error);
    const std::string twice = tarn::to_json(again);
    if (twice != once && twice != without_negative_zero(once)) fail("writing is not stable", once, twice);

    // The escaping function must not fail on any bytes either.
    const std::string escaped = tarn::json_escape(input);
    if (escaped.size() < input.size()) fail("escaped text is shorter than its input", std::string(input), escaped);
    return 0;
}
