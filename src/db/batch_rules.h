// Rules that turn each element of a batch document into the values of one row.
// Pure functions of the document (and, for one rule, the clock); no database.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/json_value.h"

namespace tarn {

// One row of `clients`. An absent optional is bound as SQL NULL. The rows
// are filled whole by the readers below; make one with {}.
struct ClientRow {
    std::uint32_t node_id;
    std::string chip;
    std::string fw_version;
    std::string first_seen;
    std::string last_seen;
    std::optional<double> last_rssi_dbm;
    std::optional<std::uint32_t> last_lqi;
};

// One row of `readings`.
struct ReadingRow {
    std::uint32_t node_id;
    std::uint32_t meter_id;
    std::uint32_t protocol;
    double volume_gal;
    std::optional<double> flow_gpm;
    std::optional<std::uint32_t> freq_hz;
    std::optional<double> rssi_dbm;
    std::string gateway_received_at;
};

// One row of `events`.
struct EventRow {
    std::optional<std::uint32_t> node_id;
    std::string event_type;
    std::optional<std::string> payload_json;
    std::string gateway_received_at;
};

// Replaces the first "T" by a blank and cuts the text at the first ".", "Z",
// "+", or "-" past index 10: 2024-05-01T12:34:56.250+02:00 gives
// 2024-05-01 12:34:56. The digits themselves are never checked.
std::string normalize_timestamp(std::string_view text);

// The current UTC time as "YYYY-MM-DD hh:mm:ss". Thread-safe.
std::string utc_now_text();

// normalize_timestamp of the root's "batch_window_end" string (empty when
// absent): the timestamp for elements that carry none.
std::string batch_fallback_timestamp(const JsonValue& root);

// The client row of `element` (an Object), or nullopt when its node_id is
// outside 1 to 254 and the element is to be skipped.
std::optional<ClientRow> read_client_row(const JsonValue& element, const std::string& fallback_timestamp);

// Fills `row` from `element` (an Object) and returns true, or returns false
// with "reading node_id out of range", "reading missing required field",
// "reading meter_id out of range" or "reading protocol out of range" (a
// number beyond 32 bits, or a negative protocol) in `error`.
bool read_reading_row(const JsonValue& element, const std::string& fallback_timestamp, ReadingRow& row,
                      std::string& error);

// Fills `row` from `element` (an Object) and returns true, or returns false
// with "event missing required field" in `error`.
bool read_event_row(const JsonValue& element, const std::string& fallback_timestamp, EventRow& row, std::string& error);

}  // namespace tarn
