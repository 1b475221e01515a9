// Compact JSON text from a JsonValue, and the two escaping rules for byte strings.
#include "json/json_writer.h"

#include <cmath>
#include <cstdio>

namespace tarn {

namespace {

// Escaping rule for one byte that needs one (below 0x20, a double quote or a
// backslash). `short_b_f` selects \b and \f (string literals) over \u0008
// and \u000c (json_escape).
void append_escaped_byte(std::string& out, unsigned char c, bool short_b_f) {
    switch (c) {
        case '"': out.append("\\\""); return;
        case '\\': out.append("\\\\"); return;
        case '\t': out.append("\\t"); return;
        case '\n': out.append("\\n"); return;
        case '\r': out.append("\\r"); return;
        case '\b':
            if (short_b_f) {
                out.append("\\b");
                return;
            }
            break;
        case '\f':
            if (short_b_f) {
                out.append("\\f");
                return;
            }
            break;
        default: break;
    }
    char escape[8];
    const int length = std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
    out.append(escape, static_cast<std::size_t>(length));
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void append_escaped(std::string& out, std::string_view text, bool short_b_f) {
    const char* p = text.data();
    const char* const end = p + text.size();
    while (p != end) {
        // Copy the run of bytes that need no escape in one go.
        const char* run = p;
        while (p != end && !needs_escape(static_cast<unsigned char>(*p))) ++p;
        out.append(run, static_cast<std::size_t>(p - run));
        if (p == end) break;
        append_escaped_byte(out, static_cast<unsigned char>(*p), short_b_f);
        ++p;
    }
}

void append_double(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("null");
    } else if (std::isinf(value)) {
        // Beyond the double range: reads back as the same infinity.
        out.append(value < 0 ? "-1e999" : "1e999");
    } else {
        char text[48];
        const int length = std::snprintf(text, sizeof text, "%.17g", value);
        out.append(text, static_cast<std::size_t>(length));
    }
}

}  // namespace

void append_json(std::string& out, const JsonValue& value) {
    switch (value.type) {
        case JsonType::Null: out.append("null"); return;
        case JsonType::Bool: out.append(value.bool_value ? "true" : "false"); return;
        case JsonType::Int: {
            char text[32];
            const int length = std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value.int_value));
            out.append(text, static_cast<std::size_t>(length));
            return;
        }
        case JsonType::Double: append_double(out, value.double_value); return;
        case JsonType::String: append_json_string(out, value.string_value); return;
        case JsonType::Array: {
            out.push_back('[');
            bool first = true;
            for (const JsonValue& item : value.array_items) {
                if (!first) out.push_back(',');
                first = false;
                append_json(out, item);
            }
            out.push_back(']');
            return;
        }
        case JsonType::Object: {
            out.push_back('{');
            bool first = true;
            for (const JsonMember& member : value.object_members) {
                if (!first) out.push_back(',');
                first = false;
                append_json_string(out, member.key);
                out.push_back(':');
                append_json(out, member.value);
            }
            out.push_back('}');
            return;
        }
    }
}

void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    append_escaped(out, text, true);
    out.push_back('"');
}

std::string to_json(const JsonValue& value) {
    std::string out;
    out.reserve(256);
    append_json(out, value);
    return out;
}

std::string json_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_escaped(out, text, false);
    return out;
}

}  // namespace tarn
