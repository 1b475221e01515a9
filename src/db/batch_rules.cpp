// Batch document rules: the values of one clients, readings or events row
// from one element of a batch, with defaults, narrowing and timestamp rules.
#include "db/batch_rules.h"

#include <cmath>
#include <ctime>

#include "db/utc_time.h"
#include "json/json_writer.h"

namespace tarn {
namespace {

// Lowest and highest radio node address.
constexpr std::int64_t min_node_id = 1;
constexpr std::int64_t max_node_id = 254;

// The protocol whose "volume_gal" is in whole gallons; every other protocol
// sends tenths of a gallon.
constexpr std::int64_t whole_gallon_protocol = 223;

// The low 32 bits of `value`, read as unsigned: 2^32 + 5 gives 5, -1 gives
// 4294967295.
std::uint32_t low_32_bits(std::int64_t value) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)); }

bool is_node_id(std::int64_t value) { return value >= min_node_id && value <= max_node_id; }

bool fits_32_bits(std::int64_t value) { return value >= 0 && value <= std::int64_t{0xFFFFFFFF}; }

// The member's number when it is one and finite; absent otherwise.
std::optional<double> finite_double(const JsonValue& element, std::string_view name) {
    const JsonValue* member = element.find(name);
    if (member == nullptr) return std::nullopt;
    const std::optional<double> value = member->as_double();
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

// The member's integer (a Double truncated toward zero) narrowed to its low
// 32 bits; absent when the member is missing or not a number. No range check.
std::optional<std::uint32_t> narrowed_int(const JsonValue& element, std::string_view name) {
    const JsonValue* member = element.find(name);
    if (member == nullptr) return std::nullopt;
    const std::optional<std::int64_t> value = member->as_int();
    if (!value) return std::nullopt;
    return low_32_bits(*value);
}

// The element's own timestamp member, or the batch's, normalised.
std::string element_timestamp(const JsonValue& element, std::string_view name, const std::string& fallback_timestamp) {
    return normalize_timestamp(json_get_string(element, name, fallback_timestamp));
}

// True when the first (up to) four bytes sort below "2020", bytes compared
// unsigned and a shorter equal prefix sorting first: years before 2020, year
// 0000 and the empty text. A text starting with a letter sorts after.
bool is_before_2020(const std::string& timestamp) { return timestamp.compare(0, 4, "2020") < 0; }

}  // namespace

std::string normalize_timestamp(std::string_view text) {
    std::string result(text);
    const std::size_t t = result.find('T');
    if (t != std::string::npos) result[t] = ' ';
    // The "-" of the date stands at 4 and 7; one past index 10 starts a zone
    // offset. Fractions and zones are cut off, never applied.
    for (std::size_t i = 0; i < result.size(); ++i) {
        const char c = result[i];
        if (c == '.' || c == 'Z' || c == '+' || (c == '-' && i > 10)) {
            result.resize(i);
            break;
        }
    }
    return result;
}

std::string utc_now_text() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    if (!to_utc(now, parts)) return std::string();
    char text[20];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return std::string(text, length);
}

std::string batch_fallback_timestamp(const JsonValue& root) {
    return normalize_timestamp(json_get_string(root, "batch_window_end", ""));
}

std::optional<ClientRow> read_client_row(const JsonValue& element, const std::string& fallback_timestamp) {
    const std::int64_t node_id = json_get_int(element, "node_id", 0);
    if (!is_node_id(node_id)) return std::nullopt;

    ClientRow row{};
    row.node_id = low_32_bits(node_id);
    row.chip = json_get_string(element, "chip", "unknown");
    row.fw_version = json_get_string(element, "fw_version", "0.0.0");
    row.last_seen = element_timestamp(element, "last_seen", fallback_timestamp);
    // The client was heard in this very batch; a strict-mode server refuses
    // the empty text for a time column, which would fail the whole batch.
    if (row.last_seen.empty()) row.last_seen = utc_now_text();
    row.first_seen = row.last_seen;
    row.last_rssi_dbm = finite_double(element, "last_rssi_dbm");
    row.last_lqi = narrowed_int(element, "last_lqi");
    return row;
}

bool read_reading_row(const JsonValue& element, const std::string& fallback_timestamp, ReadingRow& row,
                      std::string& error) {
    const std::int64_t node_id = json_get_int(element, "node_id", 0);
    if (!is_node_id(node_id)) {
        error = "reading node_id out of range";
        return false;
    }
    const std::int64_t meter_id = json_get_int(element, "meter_id", -1);
    const std::int64_t protocol = json_get_int(element, "protocol", 0);
    const std::int64_t raw_volume = json_get_int(element, "volume_gal", -1);

    // A missing or implausible date (the gateway's clock not yet set) becomes
    // the time of ingestion.
    std::string timestamp = element_timestamp(element, "gateway_received_at", fallback_timestamp);
    if (timestamp.empty() || is_before_2020(timestamp)) timestamp = utc_now_text();

    if (meter_id < 0 || raw_volume < 0 || timestamp.empty()) {
        error = "reading missing required field";
        return false;
    }
    // Numbers that name a meter or a protocol are never wrapped: meter
    // 4294967296 stored as meter 0 would file the reading under another
    // meter. (The volume keeps its low 32 bits: a counter that wraps.)
    if (!fits_32_bits(meter_id)) {
        error = "reading meter_id out of range";
        return false;
    }
    if (!fits_32_bits(protocol)) {
        error = "reading protocol out of range";
        return false;
    }

    ReadingRow result{};
    result.node_id = low_32_bits(node_id);
    result.meter_id = low_32_bits(meter_id);
    result.protocol = low_32_bits(protocol);
    result.volume_gal = static_cast<double>(low_32_bits(raw_volume));
    if (protocol != whole_gallon_protocol) result.volume_gal /= 10.0;
    result.flow_gpm = finite_double(element, "flow_gpm");
    result.freq_hz = narrowed_int(element, "freq_hz");
    result.rssi_dbm = finite_double(element, "rssi_dbm");
    result.gateway_received_at = std::move(timestamp);
    row = std::move(result);
    return true;
}

bool read_event_row(const JsonValue& element, const std::string& fallback_timestamp, EventRow& row,
                    std::string& error) {
    EventRow result{};
    result.event_type = json_get_string(element, "event_type", "");
    // Events keep the time they carry; there is no plausibility check.
    result.gateway_received_at = element_timestamp(element, "gateway_received_at", fallback_timestamp);
    if (result.event_type.empty() || result.gateway_received_at.empty()) {
        error = "event missing required field";
        return false;
    }
    if (const JsonValue* node = element.find("node_id")) {
        const std::optional<std::int64_t> node_id = node->as_int();
        if (node_id && is_node_id(*node_id)) result.node_id = low_32_bits(*node_id);
    }
    if (const JsonValue* payload = element.find("payload")) result.payload_json = to_json(*payload);
    row = std::move(result);
    return true;
}

}  // namespace tarn
