// JsonValue: iterative teardown of a tree and the read accessors.
#include "json/json_value.h"

#include <cmath>
#include <limits>
#include <utility>

namespace tarn {

namespace {

bool has_children(const JsonValue& value) { return !value.array_items.empty() || !value.object_members.empty(); }

// True when no child of `value` has children of its own, so that ordinary
// member destruction goes at most one level down.
bool is_shallow(const JsonValue& value) {
    for (const JsonValue& item : value.array_items) {
        if (has_children(item)) return false;
    }
    for (const JsonMember& member : value.object_members) {
        if (has_children(member.value)) return false;
    }
    return true;
}

// Frees the children of `value` now when none of them has children of its
// own (its memory was just read, so it is still in cache); otherwise moves
// `value` onto `pending` for a later round.
void free_or_defer(JsonValue& value, std::vector<JsonValue>& pending) {
    if (!has_children(value)) return;
    if (is_shallow(value)) {
        std::vector<JsonValue>().swap(value.array_items);
        std::vector<JsonMember>().swap(value.object_members);
    } else {
        pending.push_back(std::move(value));
    }
}

// Frees the children of `value` that are at most one level deep, moves the
// deeper ones onto `pending`, and leaves `value` childless.
void detach_children(JsonValue& value, std::vector<JsonValue>& pending) {
    for (JsonValue& item : value.array_items) free_or_defer(item, pending);
    value.array_items.clear();
    for (JsonMember& member : value.object_members) free_or_defer(member.value, pending);
    value.object_members.clear();
}

}  // namespace

void JsonValue::release_children() noexcept {
    // Children whose own children are all leaves are freed by the ordinary
    // member destructors, which then go at most two calls deep.
    if (is_shallow(*this)) return;
    // Depth-first teardown with an explicit stack instead of the call stack:
    // a tree of any depth is freed in constant stack space. Should the stack
    // itself fail to grow, the remaining nodes fall back to ordinary member
    // destruction, which recurses once per level (trees from the parser are
    // at most json_max_depth deep).
    try {
        std::vector<JsonValue> pending;
        detach_children(*this, pending);
        while (!pending.empty()) {
            JsonValue node = std::move(pending.back());
            pending.pop_back();
            detach_children(node, pending);
        }
    } catch (...) {}
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
    if (this == &other) return *this;
    // Take `other` first: it may be a node inside this very tree.
    JsonValue incoming(std::move(other));
    std::swap(type, incoming.type);
    std::swap(bool_value, incoming.bool_value);
    std::swap(int_value, incoming.int_value);
    std::swap(double_value, incoming.double_value);
    string_value.swap(incoming.string_value);
    array_items.swap(incoming.array_items);
    object_members.swap(incoming.object_members);
    return *this;  // `incoming` now holds the old contents and frees them iteratively
}

const JsonValue* JsonValue::find(std::string_view key) const {
    if (type != JsonType::Object) return nullptr;
    for (const JsonMember& member : object_members) {
        if (member.key.size() == key.size() && std::string_view(member.key) == key) return &member.value;
    }
    return nullptr;
}

std::optional<std::int64_t> JsonValue::as_int() const {
    if (type == JsonType::Int) return int_value;
    if (type != JsonType::Double) return std::nullopt;
    // 2^63 is exact as a double; anything at or beyond it in magnitude, and
    // NaN, has no int64 value.
    constexpr double two_pow_63 = 9223372036854775808.0;
    if (std::isnan(double_value) || std::fabs(double_value) >= two_pow_63) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(double_value);
}

std::optional<double> JsonValue::as_double() const {
    if (type == JsonType::Int) return static_cast<double>(int_value);
    if (type == JsonType::Double) return double_value;
    return std::nullopt;
}

std::size_t JsonValue::array_size() const { return type == JsonType::Array ? array_items.size() : 0; }

std::string json_get_string(const JsonValue& object, std::string_view name, std::string_view fallback) {
    const JsonValue* member = object.find(name);
    if (member != nullptr && member->type == JsonType::String) return member->string_value;
    return std::string(fallback);
}

std::int64_t json_get_int(const JsonValue& object, std::string_view name, std::int64_t fallback) {
    const JsonValue* member = object.find(name);
    if (member == nullptr) return fallback;
    return member->as_int().value_or(fallback);
}

}  // namespace tarn
