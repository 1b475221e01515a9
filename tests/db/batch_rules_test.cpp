// Tests for the batch document rules: timestamps, required members, scaling and defaults.
#include "db/batch_rules.h"

#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <utility>

#include "json/json_parser.h"

namespace tarn {
namespace {

const std::string batch_stamp = "2024-05-01 10:00:00";

// The current UTC time in stored form, from the C library's clock.
std::string utc_clock() {
    const std::time_t now = std::time(nullptr);
    char text[20];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::gmtime(&now)));
}
const std::string test_start = utc_clock();

// A row's fields joined by "|": NULL for an absent value, "now" for a time
// taken while the tests ran.
template <typename T>
void put(std::ostream& out, const T& value) {
    out << value;
}
void put(std::ostream& out, const std::string& text) {
    out << (text.size() == 19 && test_start <= text && text <= utc_clock() ? "now" : text);
}
template <typename T>
void put(std::ostream& out, const std::optional<T>& value) {
    value ? put(out, *value) : put(out, "NULL");
}
template <typename... T>
std::string fields(const T&... values) {
    std::ostringstream out;
    const char* separator = "";
    ((out << separator, put(out, values), separator = "|"), ...);
    return out.str();
}

JsonValue doc(const std::string& text) {
    JsonValue value;
    std::string error;
    EXPECT_TRUE(parse_json(text, value, error)) << text << ": " << error;
    return value;
}

// Each helper reads one element: the row's fields, or the outcome.
std::string client(const std::string& element, const std::string& fallback = batch_stamp) {
    const std::optional<ClientRow> r = read_client_row(doc(element), fallback);
    if (!r) return "skipped";
    return fields(r->node_id, r->chip, r->fw_version, r->first_seen, r->last_seen, r->last_rssi_dbm, r->last_lqi);
}
std::string reading(const std::string& element, const std::string& fallback = batch_stamp) {
    ReadingRow r{};
    std::string error;
    if (!read_reading_row(doc(element), fallback, r, error)) return error;
    return fields(r.node_id, r.meter_id, r.protocol, r.volume_gal, r.flow_gpm, r.freq_hz, r.rssi_dbm,
                  r.gateway_received_at);
}
std::string event(const std::string& element, const std::string& fallback = batch_stamp) {
    EventRow r{};
    std::string error;
    if (!read_event_row(doc(element), fallback, r, error)) return error;
    return fields(r.node_id, r.event_type, r.payload_json, r.gateway_received_at);
}

TEST(BatchRules, NormalizeTimestampDropsFractionsAndZonesWithoutApplyingThem) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {"2024-05-01T12:34:56.250Z", "2024-05-01 12:34:56"}, {"2024-05-01T12:34:56+02:00", "2024-05-01 12:34:56"},
        {"2024-05-01T12:34:56-05:00", "2024-05-01 12:34:56"}, {"2024T05T01", "2024 05T01"},  // only the first T
        {"2024-05-01-", "2024-05-01-"}, {"2024-05-01 -", "2024-05-01 "}, {"", ""},  // a "-" cuts from index 11 on
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(normalize_timestamp(c.first), c.second) << c.first;
}

TEST(BatchRules, ReadingVolumeIsInTenthsExceptForProtocol223RequiredFieldsAreCheckedAndOldTimesReplaced) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {R"({"node_id":3,"meter_id":9,"protocol":7,"volume_gal":12345,"flow_gpm":1.25,"freq_hz":868,"rssi_dbm":-80.5,
             "gateway_received_at":"2024-05-01T12:34:56+02:00"})", "3|9|7|1234.5|1.25|868|-80.5|2024-05-01 12:34:56"},
        {R"({"node_id":254,"meter_id":0,"protocol":223,"volume_gal":12345,"rssi_dbm":"-80"})",
         "254|0|223|12345|NULL|NULL|NULL|2024-05-01 10:00:00"},
        {R"({"node_id":1,"meter_id":1,"volume_gal":12.9})", "1|1|0|1.2|NULL|NULL|NULL|2024-05-01 10:00:00"},
        {R"({"node_id":255,"meter_id":1,"volume_gal":1})", "reading node_id out of range"},
        {R"({"node_id":1,"meter_id":"5","volume_gal":1})", "reading missing required field"},
        {R"({"node_id":1,"meter_id":-5,"volume_gal":1})", "reading missing required field"},
        {R"({"node_id":1,"meter_id":1})", "reading missing required field"},
        // Numbers that name things are never wrapped; the volume keeps its low 32 bits.
        {R"({"node_id":1,"meter_id":4294967295,"protocol":4294967295,"volume_gal":42949672970})",
         "1|4294967295|4294967295|1|NULL|NULL|NULL|2024-05-01 10:00:00"},
        {R"({"node_id":1,"meter_id":4294967296,"volume_gal":1})", "reading meter_id out of range"},
        {R"({"node_id":1,"meter_id":1,"protocol":4294967296,"volume_gal":1})", "reading protocol out of range"},
        {R"({"node_id":1,"meter_id":1,"protocol":-1,"volume_gal":1})", "reading protocol out of range"}
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(reading(c.first), c.second) << c.first;
    // Timestamps before 2020 become the time of ingestion.
    const std::string head = R"({"node_id":1,"meter_id":1,"volume_gal":1)", row = "1|1|0|0.1|NULL|NULL|NULL|";
    EXPECT_EQ(reading(head + R"(,"gateway_received_at":"2019-12-31T23:59:59Z"})"), row + "now");
    EXPECT_EQ(reading(head + R"(,"gateway_received_at":"2020-01-01T00:00:00Z"})", ""), row + "2020-01-01 00:00:00");
    EXPECT_EQ(reading(head + "}"), row + batch_stamp);
    EXPECT_EQ(reading(head + "}", "2019-06-01 00:00:00"), row + "now");
    EXPECT_EQ(reading(head + "}", ""), row + "now");
}

// A client with no "last_seen" in a batch with no "batch_window_end" used to
// get the empty text, which a strict-mode server refuses for a time column.
TEST(BatchRules, ClientRowsTakeDefaultsAndTheTimeOfIngestionAndSkipNodesOutside1To254) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {R"({"node_id":254})", "254|unknown|0.0.0|2024-05-01 10:00:00|2024-05-01 10:00:00|NULL|NULL"},
        {R"({"node_id":3,"chip":"C6","fw_version":"1.2","last_seen":"2024-05-01T08:00:00.5Z","last_rssi_dbm":"-7",
             "last_lqi":-1})", "3|C6|1.2|2024-05-01 08:00:00|2024-05-01 08:00:00|NULL|4294967295"},
        {R"({"node_id":1,"last_rssi_dbm":-71.5,"last_lqi":200})",
         "1|unknown|0.0.0|2024-05-01 10:00:00|2024-05-01 10:00:00|-71.5|200"},
        {R"({"node_id":255})", "skipped"}, {R"({"node_id":0})", "skipped"}
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(client(c.first), c.second) << c.first;
    const std::string fallback = batch_fallback_timestamp(doc(R"({"clients":[]})"));
    EXPECT_EQ(client(R"({"node_id":9})", fallback), "9|unknown|0.0.0|now|now|NULL|NULL");
    EXPECT_EQ(client(R"({"node_id":9,"last_seen":""})", fallback), "9|unknown|0.0.0|now|now|NULL|NULL");
}

TEST(BatchRules, EventPayloadIsCompactJsonAndNodeOutsideRangeIsNull) {
    // clang-format off
    const std::pair<const char*, const char*> cases[] = {
        {R"({"node_id":254,"event_type":"boot","payload":{ "a" : [1, 2] },"gateway_received_at":"2024-05-01T07Z"})",
         R"(254|boot|{"a":[1,2]}|2024-05-01 07)"},
        {R"({"node_id":255,"event_type":"e","payload":"x"})", R"(NULL|e|"x"|2024-05-01 10:00:00)"},
        {R"({"node_id":0,"event_type":"e","payload":null})", "NULL|e|null|2024-05-01 10:00:00"},
        {R"({"event_type":"e"})", "NULL|e|NULL|2024-05-01 10:00:00"},
        {R"({"payload":1})", "event missing required field"}
    };
    // clang-format on
    for (const auto& c : cases) EXPECT_EQ(event(c.first), c.second) << c.first;
    EXPECT_EQ(event(R"({"event_type":"e"})", ""), "event missing required field");
}

}  // namespace
}  // namespace tarn
