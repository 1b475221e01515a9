// Recursive-descent JSON parser: one pass over the caller's bytes, first failure wins.
#include "json/json_parser.h"

#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarn {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Value of one hexadecimal digit, or -1.
int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of the four hexadecimal digits at `p`, or -1.
long read_hex4(const char* p) {
    long unit = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hex_digit(p[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

void append_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char bytes[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                               static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

// The first double quote or backslash in [p, end), or `end`. Plain string
// bytes are skipped sixteen at a time with SSE2, which every x86-64 has.
const char* find_quote_or_backslash(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    while (end - p >= 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int hits =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, backslash)));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
    }
#endif
    while (p != end && *p != '"' && *p != '\\') ++p;
    return p;
}

// Powers of ten that a double holds exactly.
constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Largest integer below which every integer is exactly a double.
constexpr std::uint64_t exact_double_limit = std::uint64_t{1} << 53;

// The one-multiplication conversion is exact only where double arithmetic
// is evaluated in double precision (not on the x87's extended registers).
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
constexpr bool fast_doubles = true;
#else
constexpr bool fast_doubles = false;
#endif

// Finished elements of the arrays still open, innermost last. It grows by
// whole blocks and never moves an entry, so a reference to an entry stays
// valid while nested arrays push more above it. Entries above the top are
// kept for reuse: their strings and vectors were moved out.
class ItemStack {
public:
    // A fresh Null entry on top.
    JsonValue& push() {
        if (top_ == blocks_.size() * block_entries) blocks_.push_back(std::make_unique<JsonValue[]>(block_entries));
        JsonValue& item = at(top_++);
        item.type = JsonType::Null;
        item.bool_value = false;
        item.int_value = 0;
        item.double_value = 0.0;
        item.string_value.clear();
        return item;
    }

    std::size_t size() const { return top_; }

    // Moves the entries from index `first` on into `target`, which is
    // allocated once at its final size, and pops them.
    void take_from(std::size_t first, std::vector<JsonValue>& target) {
        target.reserve(top_ - first);
        for (std::size_t i = first; i < top_; ++i) target.push_back(std::move(at(i)));
        top_ = first;
    }

private:
    static constexpr std::size_t block_entries = 64;

    JsonValue& at(std::size_t i) { return blocks_[i / block_entries][i % block_entries]; }

    std::vector<std::unique_ptr<JsonValue[]>> blocks_;
    std::size_t top_ = 0;
};

struct JsonParser {
    JsonParser(const char* begin, const char* past_end) : cursor(begin), end(past_end) {}

    const char* cursor;
    const char* end;
    std::string error;
    std::size_t depth = 0;
    ItemStack items;
    // Member count of the object that last closed at each depth. Objects at
    // one depth tend to be records of one shape, so the next one reserves
    // that many members and is parsed straight into its own sequence.
    std::uint32_t member_hints[json_max_depth + 1] = {};

    // Records `message` unless an earlier failure was recorded; returns false.
    bool fail(const char* message) {
        if (error.empty()) error = message;
        return false;
    }

    void skip_whitespace() {
        while (cursor != end && is_whitespace(*cursor)) ++cursor;
    }

    bool remaining_starts_with(const char* literal, std::size_t length) const {
        return static_cast<std::size_t>(end - cursor) >= length && std::memcmp(cursor, literal, length) == 0;
    }

    // Only the literal's own bytes are consumed: "nullx" is null followed by
    // an x that the enclosing level rejects.
    bool parse_literal(const char* literal, std::size_t length, JsonType type, bool bool_value, JsonValue& out) {
        if (!remaining_starts_with(literal, length)) return fail("unexpected char");
        out.type = type;
        out.bool_value = bool_value;
        cursor += length;
        return true;
    }

    bool parse_value(JsonValue& out) {
        skip_whitespace();
        if (cursor == end) return fail("unexpected end");
        switch (*cursor) {
            case '"': out.type = JsonType::String; return parse_string(out.string_value);
            case '{': return parse_object(out);
            case '[': return parse_array(out);
            case 'n': return parse_literal("null", 4, JsonType::Null, false, out);
            case 't': return parse_literal("true", 4, JsonType::Bool, true, out);
            case 'f': return parse_literal("false", 5, JsonType::Bool, false, out);
            default:
                if (*cursor == '-' || is_digit(*cursor)) return parse_number(out);
                return fail("unexpected char");
        }
    }

    // Counts one more level of nesting; fails past json_max_depth.
    bool enter_nesting() {
        if (depth == json_max_depth) return fail("nesting too deep");
        ++depth;
        return true;
    }

    // Members go straight into `out.object_members`: nothing parsed inside a
    // member touches that sequence, so the member stays where it is.
    bool parse_object(JsonValue& out) {
        if (!enter_nesting()) return false;
        out.type = JsonType::Object;
        ++cursor;
        skip_whitespace();
        if (cursor != end && *cursor == '}') {
            ++cursor;
            --depth;
            return true;
        }
        std::vector<JsonMember>& members = out.object_members;
        members.reserve(member_hints[depth]);
        for (;;) {
            skip_whitespace();
            JsonMember& member = members.emplace_back();
            if (!parse_string(member.key)) return false;
            skip_whitespace();
            if (cursor == end || *cursor != ':') return fail("expected ':'");
            ++cursor;
            if (!parse_value(member.value)) return false;
            skip_whitespace();
            if (cursor == end) return fail("expected ',' or '}'");
            if (*cursor == ',') {
                ++cursor;
                continue;
            }
            if (*cursor == '}') {
                ++cursor;
                // A reservation far beyond the members found (the previous
                // object was much larger) is given back at once.
                if (members.capacity() / 2 > members.size()) members.shrink_to_fit();
                member_hints[depth] = static_cast<std::uint32_t>(members.size());
                --depth;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    // Elements gather on the item stack and move into `out.array_items` once
    // the array closes, so that sequence is allocated once at its final size.
    bool parse_array(JsonValue& out) {
        if (!enter_nesting()) return false;
        out.type = JsonType::Array;
        ++cursor;
        skip_whitespace();
        if (cursor != end && *cursor == ']') {
            ++cursor;
            --depth;
            return true;
        }
        const std::size_t first = items.size();
        for (;;) {
            if (!parse_value(items.push())) return false;
            skip_whitespace();
            if (cursor == end) return fail("expected ',' or ']'");
            if (*cursor == ',') {
                ++cursor;
                continue;
            }
            if (*cursor == ']') {
                ++cursor;
                --depth;
                items.take_from(first, out.array_items);
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool parse_string(std::string& out) {
        if (cursor == end || *cursor != '"') return fail("expected string");
        ++cursor;
        const char* run = cursor;
        cursor = find_quote_or_backslash(cursor, end);
        out.clear();
        out.append(run, static_cast<std::size_t>(cursor - run));
        for (;;) {
            if (cursor == end) return fail("unterminated string");
            if (*cursor++ == '"') return true;
            if (cursor == end) return fail("unterminated escape");
            switch (*cursor++) {
                case '"': out.push_back('"'); break;
                case '\\': out.push_back('\\'); break;
                case '/': out.push_back('/'); break;
                case 'b': out.push_back('\b'); break;
                case 'f': out.push_back('\f'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                case 'u':
                    if (!parse_unicode_escape(out)) return false;
                    break;
                default: return fail("bad escape");
            }
            // Copy the run of plain bytes up to the next quote or backslash in one go.
            run = cursor;
            cursor = find_quote_or_backslash(cursor, end);
            out.append(run, static_cast<std::size_t>(cursor - run));
        }
    }

    // The cursor is after "\u". A high surrogate followed at once by a \u
    // escape of a low surrogate becomes the pair's one four-byte sequence;
    // any other code unit, a lone surrogate included, is encoded by itself.
    bool parse_unicode_escape(std::string& out) {
        if (end - cursor < 4) return fail("bad \\u");
        const long unit = read_hex4(cursor);
        if (unit < 0) return fail("bad \\u hex");
        cursor += 4;
        if (unit >= 0xD800 && unit <= 0xDBFF && end - cursor >= 6 && cursor[0] == '\\' && cursor[1] == 'u') {
            const long low = read_hex4(cursor + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cursor += 6;
                append_utf8(out, 0x10000 + ((static_cast<unsigned long>(unit) - 0xD800) << 10) +
                                     (static_cast<unsigned long>(low) - 0xDC00));
                return true;
            }
        }
        append_utf8(out, static_cast<unsigned long>(unit));
        return true;
    }

    bool parse_number(JsonValue& out) {
        const char* start = cursor;
        bool is_double = false;
        const bool negative = cursor != end && *cursor == '-';
        if (negative) ++cursor;

        // Accumulate up to 19 significant digits for the fast conversions
        // below; they apply only where the result equals strtoll/strtod.
        std::uint64_t mantissa = 0;
        std::size_t significant_digits = 0;
        std::size_t mantissa_digits = 0;
        std::size_t fraction_digits = 0;
        bool exponent_negative = false;
        int exponent = 0;
        std::size_t exponent_digits = 0;
        auto take_digit = [&](char c) {
            ++mantissa_digits;
            if (mantissa == 0 && c == '0') return;  // leading zeros are not significant
            if (++significant_digits <= 19) mantissa = mantissa * 10 + static_cast<std::uint64_t>(c - '0');
        };
        while (cursor != end && is_digit(*cursor)) take_digit(*cursor++);
        if (cursor != end && *cursor == '.') {
            is_double = true;
            ++cursor;
            while (cursor != end && is_digit(*cursor)) {
                take_digit(*cursor++);
                ++fraction_digits;
            }
        }
        if (cursor != end && (*cursor == 'e' || *cursor == 'E')) {
            is_double = true;
            ++cursor;
            if (cursor != end && (*cursor == '+' || *cursor == '-')) exponent_negative = *cursor++ == '-';
            while (cursor != end && is_digit(*cursor)) {
                if (++exponent_digits <= 6) exponent = exponent * 10 + (*cursor - '0');
                ++cursor;
            }
        }
        if (cursor == start) return fail("expected number");

        if (!is_double) {
            out.type = JsonType::Int;
            if (significant_digits <= 18) {
                // Below 10^18: no overflow, same value as strtoll.
                const auto magnitude = static_cast<std::int64_t>(mantissa);
                out.int_value = negative ? -magnitude : magnitude;
                return true;
            }
            return convert_slowly(start, out);
        }

        out.type = JsonType::Double;
        if (fast_doubles && mantissa_digits > 0 && significant_digits <= 19 && fraction_digits <= 400 &&
            exponent_digits <= 6) {
            if (mantissa == 0) {
                out.double_value = negative ? -0.0 : 0.0;
                return true;
            }
            const int scale = (exponent_negative ? -exponent : exponent) - static_cast<int>(fraction_digits);
            // An integer below 2^53 and a power of ten up to 10^22 are both
            // exact doubles, so one multiplication or division rounds once,
            // exactly as strtod's correctly rounded result.
            if (mantissa < exact_double_limit && scale >= -22 && scale <= 22) {
                const auto m = static_cast<double>(mantissa);
                const double value = scale < 0 ? m / exact_powers_of_ten[-scale] : m * exact_powers_of_ten[scale];
                out.double_value = negative ? -value : value;
                return true;
            }
        }
        return convert_slowly(start, out);
    }

    // Converts the scanned text [start, cursor) with the C library, which
    // defines the result of every form the scan accepts.
    bool convert_slowly(const char* start, JsonValue& out) {
        const auto length = static_cast<std::size_t>(cursor - start);
        char small[128];
        std::string large;
        char* text = small;
        if (length < sizeof small) {
            std::memcpy(small, start, length);
            small[length] = '\0';
        } else {
            large.assign(start, length);
            text = large.data();
        }
        if (out.type == JsonType::Double) {
            out.double_value = std::strtod(text, nullptr);
        } else {
            out.int_value = std::strtoll(text, nullptr, 10);
        }
        return true;
    }
};

}  // namespace

bool parse_json(std::string_view text, JsonValue& out, std::string& error) {
    JsonParser parser(text.data(), text.data() + text.size());
    if (!parser.parse_value(out)) {
        error = parser.error.empty() ? "parse error" : parser.error;
        return false;
    }
    parser.skip_whitespace();
    if (parser.cursor != parser.end) {
        error = "trailing garbage";
        return false;
    }
    return true;
}

}  // namespace tarn
