// The in-memory form of a parsed JSON document and its read accessors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn {

enum class JsonType : std::int32_t { Null, Bool, Int, Double, String, Array, Object };

struct JsonMember;

// One JSON value. All payload fields exist side by side; only the one that
// matches `type` means anything. Built once by the parser, then only read.
// Movable, not copyable; destroying a value frees its whole tree without
// recursing once per nesting level.
struct JsonValue {
    JsonType type = JsonType::Null;
    bool bool_value = false;
    std::int64_t int_value = 0;
    double double_value = 0.0;
    std::string string_value;
    std::vector<JsonValue> array_items;
    std::vector<JsonMember> object_members;

    JsonValue() = default;
    JsonValue(JsonValue&&) noexcept = default;
    JsonValue& operator=(JsonValue&& other) noexcept;
    JsonValue(const JsonValue&) = delete;
    JsonValue& operator=(const JsonValue&) = delete;
    ~JsonValue();

    // The value of the first member whose key has exactly these bytes, or
    // nullptr when there is none or this is not an Object.
    const JsonValue* find(std::string_view key) const;

    // Int: the value. Double: truncated toward zero, or INT64_MIN when its
    // magnitude is 2^63 or more or it is NaN. Any other kind: nullopt.
    std::optional<std::int64_t> as_int() const;

    // Int converted to the nearest double, or the Double; otherwise nullopt.
    std::optional<double> as_double() const;

    // Number of elements of an Array; 0 for every other kind.
    std::size_t array_size() const;

private:
    // Frees the children of a value that has any, iteratively.
    void release_children() noexcept;
};

struct JsonMember {
    // User-provided so that a new member in a sequence is built field by
    // field instead of being zero-filled first.
    JsonMember() noexcept {}
    JsonMember(std::string member_key, JsonValue member_value) noexcept
        : key(std::move(member_key)), value(std::move(member_value)) {}

    std::string key;
    JsonValue value;
};

// Inline so that freeing a leaf (the bulk of any tree) costs no call.
inline JsonValue::~JsonValue() {
    if (!array_items.empty() || !object_members.empty()) release_children();
}

// The String member `name` of `object`, else `fallback`.
std::string json_get_string(const JsonValue& object, std::string_view name, std::string_view fallback);

// as_int() of member `name` of `object`, else `fallback`.
std::int64_t json_get_int(const JsonValue& object, std::string_view name, std::int64_t fallback);

}  // namespace tarn
