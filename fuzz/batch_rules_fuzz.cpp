// Fuzz target: the batch rules on whatever parse_json makes of the input,
// element by element as the batch writer calls them, and normalize_timestamp
// on every string of the document.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "db/batch_rules.h"
#include "json/json_parser.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// A byte at which normalize_timestamp cuts the text, at index `i`.
bool is_cut_byte(char c, std::size_t i) { return c == '.' || c == 'Z' || c == '+' || (c == '-' && i > 10); }

bool has_cut_byte(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_cut_byte(text[i], i)) return true;
    }
    return false;
}

// The result is a prefix of the input with its first 'T' made a blank,
// ending just before the first cut byte.
void check_normalized(std::string_view input) {
    const std::string result = tarn::normalize_timestamp(input);
    if (result.size() > input.size()) fail("normalized text grew", input);
    const std::size_t first_t = input.find('T');
    for (std::size_t i = 0; i < result.size(); ++i) {
        const char expected = i == first_t ? ' ' : input[i];
        if (result[i] != expected) fail("normalized text is not a prefix", input);
    }
    if (has_cut_byte(result)) fail("normalized text keeps a cut byte", input);
    if (result.size() < input.size() && !is_cut_byte(input[result.size()], result.size())) {
        fail("normalized text cut at the wrong byte", input);
    }
    if (result.find('T') == std::string::npos && tarn::normalize_timestamp(result) != result) {
        fail("normalizing twice changes the text", input);
    }
}

// Every string of the tree, keys included, through check_normalized.
void check_all_strings(const tarn::JsonValue& root) {
    std::vector<const tarn::JsonValue*> pending{&root};
    while (!pending.empty()) {
        const tarn::JsonValue* value = pending.back();
        pending.pop_back();
        if (value->type == tarn::JsonType::String) check_normalized(value->string_value);
        for (const tarn::JsonValue& item : value->array_items) pending.push_back(&item);
        for (const tarn::JsonMember& member : value->object_members) {
            check_normalized(member.key);
            pending.push_back(&member.value);
        }
    }
}

bool is_node_id(std::int64_t value) { return value >= 1 && value <= 254; }

bool is_finite(const std::optional<double>& value) { return !value || std::isfinite(*value); }

void check_client(const tarn::JsonValue& element, const std::string& fallback) {
    const std::int64_t node_id = tarn::json_get_int(element, "node_id", 0);
    const std::optional<tarn::ClientRow> row = tarn::read_client_row(element, fallback);
    if (!row) {
        if (is_node_id(node_id)) fail("client with a valid node_id skipped", std::to_string(node_id));
        return;
    }
    if (!is_node_id(node_id) || row->node_id != static_cast<std::uint32_t>(node_id)) {
        fail("client node_id", std::to_string(row->node_id));
    }
    if (row->last_seen.empty() || row->first_seen != row->last_seen) fail("client timestamps", row->last_seen);
    if (has_cut_byte(row->last_seen)) fail("client timestamp not normalized", row->last_seen);
    if (!is_finite(row->last_rssi_dbm)) fail("client rssi not finite", "");
}

void check_reading(const tarn::JsonValue& element, const std::string& fallback) {
    const std::int64_t node_id = tarn::json_get_int(element, "node_id", 0);
    tarn::ReadingRow row{};
    std::string error;
    if (!tarn::read_reading_row(element, fallback, row, error)) {
        if (!is_node_id(node_id)) {
            if (error != "reading node_id out of range") fail("reading error text", error);
        } else if (error != "reading missing required field" && error != "reading meter_id out of range" &&
                   error != "reading protocol out of range") {
            fail("reading error text", error);
        }
        return;
    }
    if (!error.empty()) fail("reading accepted with an error", error);
    if (!is_node_id(node_id) || row.node_id != static_cast<std::uint32_t>(node_id)) {
        fail("reading node_id", std::to_string(row.node_id));
    }
    if (tarn::json_get_int(element, "meter_id", -1) < 0 || tarn::json_get_int(element, "volume_gal", -1) < 0) {
        fail("reading accepted without meter_id or volume_gal", "");
    }
    // Numbers that name things are stored as they were sent, never wrapped.
    if (row.meter_id != tarn::json_get_int(element, "meter_id", -1) ||
        row.protocol != tarn::json_get_int(element, "protocol", 0)) {
        fail("reading meter_id or protocol wrapped", std::to_string(row.meter_id));
    }
    const std::string& when = row.gateway_received_at;
    if (when.empty() || when.compare(0, 4, "2020") < 0) fail("reading timestamp before 2020", when);
    if (has_cut_byte(when)) fail("reading timestamp not normalized", when);
    if (!std::isfinite(row.volume_gal) || row.volume_gal < 0) fail("reading volume", std::to_string(row.volume_gal));
    if (!is_finite(row.flow_gpm) || !is_finite(row.rssi_dbm)) fail("reading number not finite", "");
}

void check_event(const tarn::JsonValue& element, const std::string& fallback) {
    tarn::EventRow row{};
    std::string error;
    if (!tarn::read_event_row(element, fallback, row, error)) {
        if (error != "event missing required field") fail("event error text", error);
        return;
    }
    if (!error.empty()) fail("event accepted with an error", error);
    if (row.event_type.empty() || row.gateway_received_at.empty()) fail("event without type or time", "");
    if (has_cut_byte(row.gateway_received_at)) fail("event timestamp not normalized", row.gateway_received_at);
    if (row.node_id && (*row.node_id < 1 || *row.node_id > 254)) fail("event node_id", std::to_string(*row.node_id));
    if (row.payload_json.has_value() != (element.find("payload") != nullptr)) fail("event payload presence", "");
    if (row.payload_json) {
        tarn::JsonValue payload;
        std::string parse_error;
        if (!tarn::parse_json(*row.payload_json, payload, parse_error))
            fail("event payload is not JSON", *row.payload_json);
    }
}

// The section's Object elements through `check`, as the batch writer does.
template <typename Check>
void check_section(const tarn::JsonValue& root, std::string_view name, const std::string& fallback, Check check) {
    const tarn::JsonValue* section = root.find(name);
    if (section == nullptr || section->type != tarn::JsonType::Array) return;
    for (const tarn::JsonValue& element : section->array_items) {
        if (element.type == tarn::JsonType::Object) check(element, fallback);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check_normalized(input);

    tarn::JsonValue root;
    std::string error;
    if (!tarn::parse_json(input, root, error)) return 0;
    check_all_strings(root);
    if (root.type != tarn::JsonType::Object) return 0;

    const std::string fallback = tarn::batch_fallback_timestamp(root);
    if (fallback != tarn::normalize_timestamp(tarn::json_get_string(root, "batch_window_end", ""))) {
        fail("fallback timestamp", fallback);
    }
    check_section(root, "clients", fallback, check_client);
    check_section(root, "readings", fallback, check_reading);
    check_section(root, "events", fallback, check_event);
    return 0;
}
