// Tests for the batch document rules: timestamps, required members, narrowing,
// scaling and defaults of client, reading and event rows.
#include "db/batch_rules.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <regex>
#include <string>

#include "json/json_parser.h"

namespace tarn {
namespace {

constexpr const char* batch_stamp = "2024-05-01 10:00:00";

std::string utc_text(std::time_t t) {
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &t);
#else
    gmtime_r(&t, &parts);
#endif
    char text[20];
    return std::string(text, std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts));
}

class BatchRules : public ::testing::Test {
protected:
    // Parses `text`, which the test expects to be valid JSON.
    static JsonValue doc(const std::string& text) {
        JsonValue value;
        std::string error;
        EXPECT_TRUE(parse_json(text, value, error)) << text << ": " << error;
        return value;
    }

    // Brackets a call that may read the clock: a "now" result must lie
    // between the two texts.
    void start_clock() { before_ = utc_text(std::time(nullptr)); }
    void expect_now(const std::string& stamp) {
        const std::string after = utc_text(std::time(nullptr));
        EXPECT_EQ(stamp.size(), 19u) << stamp;
        EXPECT_LE(before_, stamp);
        EXPECT_GE(after, stamp);
    }

    std::string before_;
};

// ---- timestamps ----------------------------------------------------------

TEST_F(BatchRules, NormalizeTimestampDropsFractionsAndZonesWithoutApplyingThem) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"2024-05-01T12:34:56Z", "2024-05-01 12:34:56"},
        {"2024-05-01T12:34:56.250Z", "2024-05-01 12:34:56"},
        {"2024-05-01T12:34:56+02:00", "2024-05-01 12:34:56"},
        {"2024-05-01T12:34:56-05:00", "2024-05-01 12:34:56"},
        {"2024-05-01T12:34:56.5-07:00", "2024-05-01 12:34:56"},
        {"2024-05-01 12:34:56", "2024-05-01 12:34:56"},  // already stored form
        {"2024-05-01", "2024-05-01"},
        {"", ""},
        {"Z", ""},
        {"Z2024-05-01", ""},
        {".5", ""},
        {"2024T05T01", "2024 05T01"},                      // only the first T
        {"2024-05-01t12:34:56z", "2024-05-01t12:34:56z"},  // lower case is no cut point
        {"2024-05-01-", "2024-05-01-"},                    // "-" at index 10 stays
        {"2024-05-01 -", "2024-05-01 "},                   // "-" at index 11 cuts
        {"-----------", "-----------"},                    // indexes 0 to 10 stay
        {"------------", "-----------"},
        {"12:00+01", "12:00"},
        {"garbage", "garbage"},                            // digits are never checked
    };
    for (const Case& c : cases) EXPECT_EQ(normalize_timestamp(c.in), c.out) << "input: " << c.in;
}

TEST_F(BatchRules, UtcNowTextIsTheCurrentUtcTimeInStoredForm) {
    start_clock();
    const std::string now = utc_now_text();
    EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})"))) << now;
    expect_now(now);
}

TEST_F(BatchRules, BatchFallbackIsTheNormalisedWindowEnd) {
    struct Case {
        const char* root;
        const char* fallback;
    };
    const Case cases[] = {
        {R"({"batch_window_end":"2024-05-01T12:34:56.120Z"})", "2024-05-01 12:34:56"},
        {R"({"batch_window_end":"2024-05-01T12:34:56Z","batch_window_end":"x"})", "2024-05-01 12:34:56"},
        {R"({})", ""},
        {R"({"batch_window_end":20240501})", ""},
        {R"({"batch_window_end":null})", ""},
        {R"({"Batch_Window_End":"2024-05-01"})", ""},
        {R"(["batch_window_end","2024-05-01"])", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(batch_fallback_timestamp(doc(c.root)), c.fallback) << c.root;
}

TEST_F(BatchRules, ReadingTimestampsBefore2020BecomeTheTimeOfIngestion) {
    struct Case {
        const char* stamp;     // member value as JSON text, or nullptr for none
        const char* fallback;  // batch fallback timestamp
        const char* stored;    // nullptr: the time of ingestion
    };
    const Case cases[] = {
        {R"("2019-12-31T23:59:59Z")", "", nullptr},
        {R"("2020-01-01T00:00:00Z")", "", "2020-01-01 00:00:00"},
        {R"("0000-00-00 00:00:00")", "", nullptr},
        {R"("1970-01-01T00:00:00Z")", batch_stamp, nullptr},
        {R"("2")", "", nullptr},             // shorter than "2020" and equal so far
        {R"("202")", "", nullptr},
        {R"("2020")", "", "2020"},
        {R"("2030-01-01")", "", "2030-01-01"},
        {R"("9999-12-31T23:59:59Z")", "", "9999-12-31 23:59:59"},
        {R"("later")", "", "later"},         // a letter sorts after "2"
        {R"("\u00e9t\u00e9")", "", "\xC3\xA9t\xC3\xA9"},  // bytes compared unsigned
        {R"("Z")", batch_stamp, nullptr},    // normalises to empty
        {R"("")", batch_stamp, nullptr},     // an empty member is no fallback
        {nullptr, batch_stamp, batch_stamp},
        {nullptr, "2019-06-01 00:00:00", nullptr},
        {nullptr, "", nullptr},
        {"20240501", batch_stamp, batch_stamp},  // not a string: fallback
    };
    for (const Case& c : cases) {
        std::string text = R"({"node_id":1,"meter_id":1,"volume_gal":1)";
        if (c.stamp != nullptr) text += std::string(R"(,"gateway_received_at":)") + c.stamp;
        text += "}";
        SCOPED_TRACE(text + " with batch fallback \"" + c.fallback + "\"");
        ReadingRow row;
        std::string error;
        start_clock();
        ASSERT_TRUE(read_reading_row(doc(text), c.fallback, row, error)) << error;
        if (c.stored != nullptr) {
            EXPECT_EQ(row.gateway_received_at, c.stored);
        } else {
            expect_now(row.gateway_received_at);
        }
    }
}

// ---- readings ------------------------------------------------------------

TEST_F(BatchRules, ReadingVolumeIsInTenthsExceptForProtocol223) {
    struct Case {
        const char* members;
        double volume_gal;
        std::uint32_t protocol;
    };
    const Case cases[] = {
        {R"("volume_gal":12345,"protocol":7)", 1234.5, 7},
        {R"("volume_gal":12345,"protocol":223)", 12345.0, 223},
        {R"("volume_gal":12345,"protocol":223.9)", 12345.0, 223},  // truncated to 223
        {R"("volume_gal":12345)", 1234.5, 0},                      // no protocol: 0
        {R"("volume_gal":12345,"protocol":"223")", 1234.5, 0},     // a string is no protocol
        {R"("volume_gal":12.9,"protocol":7)", 1.2, 7},             // truncated to 12
        {R"("volume_gal":12.9,"protocol":223)", 12.0, 223},
        {R"("volume_gal":0,"protocol":7)", 0.0, 7},
        {R"("volume_gal":0.5,"protocol":7)", 0.0, 7},
        {R"("volume_gal":4294967295,"protocol":223)", 4294967295.0, 223},
        {R"("volume_gal":4294967301,"protocol":223)", 5.0, 223},  // 2^32 + 5 wraps
        // 2^32 + 223 narrows to 223, but the value as read is not 223.
        {R"("volume_gal":10,"protocol":4294967519)", 1.0, 223},
        {R"("volume_gal":10,"protocol":-1)", 1.0, 4294967295u},
    };
    for (const Case& c : cases) {
        const std::string text = std::string(R"({"node_id":3,"meter_id":9,)") + c.members + "}";
        SCOPED_TRACE(text);
        ReadingRow row;
        std::string error;
        ASSERT_TRUE(read_reading_row(doc(text), batch_stamp, row, error)) << error;
        EXPECT_DOUBLE_EQ(row.volume_gal, c.volume_gal);
        EXPECT_EQ(row.protocol, c.protocol);
    }
}

TEST_F(BatchRules, ReadingRequiresNodeMeterAndVolume) {
    struct Case {
        const char* text;
        const char* error;  // nullptr: accepted
    };
    const char* const out_of_range = "reading node_id out of range";
    const char* const missing = "reading missing required field";
    const Case cases[] = {
        {R"({"node_id":1,"meter_id":0,"volume_gal":0})", nullptr},
        {R"({"node_id":254,"meter_id":1,"volume_gal":1})", nullptr},
        {R"({"node_id":1.9,"meter_id":1,"volume_gal":1})", nullptr},
        {R"({"node_id":255,"meter_id":1,"volume_gal":1})", out_of_range},
        {R"({"node_id":0,"meter_id":1,"volume_gal":1})", out_of_range},
        {R"({"node_id":0.9,"meter_id":1,"volume_gal":1})", out_of_range},
        {R"({"node_id":-1,"meter_id":1,"volume_gal":1})", out_of_range},
        {R"({"node_id":4294967297,"meter_id":1,"volume_gal":1})", out_of_range},  // no narrowing first
        {R"({"node_id":"5","meter_id":1,"volume_gal":1})", out_of_range},
        {R"({"meter_id":1,"volume_gal":1})", out_of_range},
        {R"({"node_id":255})", out_of_range},  // node address is checked first
        {R"({"node_id":1,"volume_gal":1})", missing},
        {R"({"node_id":1,"meter_id":"5","volume_gal":1})", missing},
        {R"({"node_id":1,"meter_id":-5,"volume_gal":1})", missing},
        {R"({"node_id":1,"meter_id":null,"volume_gal":1})", missing},
        {R"({"node_id":1,"meter_id":1})", missing},
        {R"({"node_id":1,"meter_id":1,"volume_gal":-1})", missing},
        {R"({"node_id":1,"meter_id":1,"volume_gal":"12"})", missing},
        {R"({"node_id":1,"meter_id":1,"volume_gal":true})", missing},
        {R"({"node_id":1,"meter_id":1,"volume_gal":-0.5})", nullptr},  // truncates to 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ReadingRow row;
        std::string error;
        const bool ok = read_reading_row(doc(c.text), batch_stamp, row, error);
        if (c.error == nullptr) {
            EXPECT_TRUE(ok) << error;
            EXPECT_EQ(error, "");
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.error);
        }
    }
}

TEST_F(BatchRules, ReadingCopiesEveryMemberIntoItsField) {
    ReadingRow row;
    std::string error;
    ASSERT_TRUE(read_reading_row(doc(R"({"node_id":17,"meter_id":4294967297,"protocol":7,"volume_gal":100,
        "flow_gpm":1.25,"freq_hz":868000000,"rssi_dbm":-87.5,
        "gateway_received_at":"2024-05-01T12:34:56.789+02:00","extra":[1]})"),
                                 batch_stamp, row, error))
        << error;
    EXPECT_EQ(row.node_id, 17u);
    EXPECT_EQ(row.meter_id, 1u);  // low 32 bits
    EXPECT_EQ(row.protocol, 7u);
    EXPECT_DOUBLE_EQ(row.volume_gal, 10.0);
    EXPECT_EQ(row.flow_gpm, 1.25);
    EXPECT_EQ(row.freq_hz, 868000000u);
    EXPECT_EQ(row.rssi_dbm, -87.5);
    EXPECT_EQ(row.gateway_received_at, "2024-05-01 12:34:56");
}

TEST_F(BatchRules, ReadingOptionalNumbersAreAbsentWhenMissingMistypedOrInfinite) {
    struct Case {
        const char* value;  // JSON text given to flow_gpm, freq_hz and rssi_dbm
        std::optional<double> real;
        std::optional<std::uint32_t> whole;
    };
    const Case cases[] = {
        {"2", 2.0, 2u},
        {"-3.75", -3.75, 4294967293u},  // as_int truncates to -3
        {"-1", -1.0, 4294967295u},
        {"4294967296", 4294967296.0, 0u},
        {"1e999", std::nullopt, 0u},    // infinity: as_int saturates to INT64_MIN
        {"-1e999", std::nullopt, 0u},
        {"\"12\"", std::nullopt, std::nullopt},
        {"null", std::nullopt, std::nullopt},
        {"true", std::nullopt, std::nullopt},
        {"[1]", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string text = std::string(R"({"node_id":1,"meter_id":1,"volume_gal":1,"flow_gpm":)") + c.value +
                                 R"(,"freq_hz":)" + c.value + R"(,"rssi_dbm":)" + c.value + "}";
        SCOPED_TRACE(text);
        ReadingRow row;
        std::string error;
        ASSERT_TRUE(read_reading_row(doc(text), batch_stamp, row, error)) << error;
        EXPECT_EQ(row.flow_gpm, c.real);
        EXPECT_EQ(row.rssi_dbm, c.real);
        EXPECT_EQ(row.freq_hz, c.whole);
    }
    ReadingRow row;
    std::string error;
    ASSERT_TRUE(read_reading_row(doc(R"({"node_id":1,"meter_id":1,"volume_gal":1})"), batch_stamp, row, error));
    EXPECT_FALSE(row.flow_gpm.has_value());
    EXPECT_FALSE(row.freq_hz.has_value());
    EXPECT_FALSE(row.rssi_dbm.has_value());
}

// ---- clients -------------------------------------------------------------

TEST_F(BatchRules, ClientOutsideNodeRangeIsSkipped) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> node_id;  // nullopt: skipped
    };
    const Case cases[] = {
        {R"({"node_id":1})", 1u},
        {R"({"node_id":254})", 254u},
        {R"({"node_id":1.9})", 1u},
        {R"({"node_id":254.99})", 254u},
        {R"({"node_id":5,"node_id":300})", 5u},  // first duplicate wins
        {R"({"node_id":255})", std::nullopt},
        {R"({"node_id":0})", std::nullopt},
        {R"({"node_id":-1})", std::nullopt},
        {R"({"node_id":4294967297})", std::nullopt},
        {R"({"node_id":"7"})", std::nullopt},
        {R"({"chip":"esp32"})", std::nullopt},
        {R"({})", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<ClientRow> row = read_client_row(doc(c.text), batch_stamp);
        ASSERT_EQ(row.has_value(), c.node_id.has_value()) << c.text;
        if (row) {
            EXPECT_EQ(row->node_id, *c.node_id) << c.text;
        }
    }
}

TEST_F(BatchRules, ClientChipAndFirmwareDefaultOnlyWhenNotAString) {
    struct Case {
        const char* members;
        const char* chip;
        const char* fw_version;
    };
    const Case cases[] = {
        {"", "unknown", "0.0.0"},
        {R"(,"chip":"","fw_version":"")", "", ""},
        {R"(,"chip":"CC1101","fw_version":"1.4.2")", "CC1101", "1.4.2"},
        {R"(,"chip":1101,"fw_version":null)", "unknown", "0.0.0"},
    };
    for (const Case& c : cases) {
        const std::string text = std::string(R"({"node_id":9)") + c.members + "}";
        const std::optional<ClientRow> row = read_client_row(doc(text), batch_stamp);
        ASSERT_TRUE(row.has_value()) << text;
        EXPECT_EQ(row->chip, c.chip) << text;
        EXPECT_EQ(row->fw_version, c.fw_version) << text;
    }
}

TEST_F(BatchRules, ClientLastSeenIsNormalisedAndCopiedToFirstSeen) {
    struct Case {
        const char* members;
        const char* fallback;
        const char* seen;
    };
    const Case cases[] = {
        {R"(,"last_seen":"2024-05-01T08:00:00.5Z")", batch_stamp, "2024-05-01 08:00:00"},
        {"", batch_stamp, batch_stamp},
        {R"(,"last_seen":12)", batch_stamp, batch_stamp},
        // Clients have no plausibility check; only an empty result is replaced.
        {R"(,"last_seen":"2019-12-31T23:59:59Z")", "", "2019-12-31 23:59:59"},
    };
    for (const Case& c : cases) {
        const std::string text = std::string(R"({"node_id":9)") + c.members + "}";
        const std::optional<ClientRow> row = read_client_row(doc(text), c.fallback);
        ASSERT_TRUE(row.has_value()) << text;
        EXPECT_EQ(row->last_seen, c.seen) << text;
        EXPECT_EQ(row->first_seen, c.seen) << text;
    }
}

// A client with no "last_seen" in a batch with no "batch_window_end" used to
// get the empty text, which a strict-mode server refuses for a time column.
TEST_F(BatchRules, ClientWithoutAnyTimestampGetsTheTimeOfIngestionNotTheEmptyText) {
    const char* const texts[] = {
        R"({"node_id":9})",
        R"({"node_id":9,"last_seen":""})",
        R"({"node_id":9,"last_seen":"Z"})",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const JsonValue root = doc(R"({"clients":[]})");
        start_clock();
        const std::optional<ClientRow> row = read_client_row(doc(text), batch_fallback_timestamp(root));
        ASSERT_TRUE(row.has_value());
        expect_now(row->last_seen);
        EXPECT_EQ(row->first_seen, row->last_seen);
    }
}

TEST_F(BatchRules, ClientSignalMembersAreOptionalAndNarrowed) {
    struct Case {
        const char* members;
        std::optional<double> rssi;
        std::optional<std::uint32_t> lqi;
    };
    const Case cases[] = {
        {"", std::nullopt, std::nullopt},
        {R"(,"last_rssi_dbm":-71,"last_lqi":200)", -71.0, 200u},
        {R"(,"last_rssi_dbm":-71.5,"last_lqi":-1)", -71.5, 4294967295u},
        {R"(,"last_rssi_dbm":"-71","last_lqi":"200")", std::nullopt, std::nullopt},
        {R"(,"last_rssi_dbm":1e999,"last_lqi":4294967296)", std::nullopt, 0u},
        {R"(,"last_rssi_dbm":null,"last_lqi":12.7)", std::nullopt, 12u},
    };
    for (const Case& c : cases) {
        const std::string text = std::string(R"({"node_id":9)") + c.members + "}";
        const std::optional<ClientRow> row = read_client_row(doc(text), batch_stamp);
        ASSERT_TRUE(row.has_value()) << text;
        EXPECT_EQ(row->last_rssi_dbm, c.rssi) << text;
        EXPECT_EQ(row->last_lqi, c.lqi) << text;
    }
}

// ---- events --------------------------------------------------------------

TEST_F(BatchRules, EventRequiresTypeAndTimestamp) {
    struct Case {
        const char* text;
        const char* fallback;
        const char* stored;  // nullptr: "event missing required field"
    };
    const Case cases[] = {
        {R"({"event_type":"boot","gateway_received_at":"2024-05-01T12:00:00Z"})", "", "2024-05-01 12:00:00"},
        {R"({"event_type":"boot"})", batch_stamp, batch_stamp},
        {R"({"event_type":"boot"})", "", nullptr},
        {R"({"event_type":"boot","gateway_received_at":"Z"})", batch_stamp, nullptr},
        {R"({"event_type":"boot","gateway_received_at":""})", batch_stamp, nullptr},
        // Events keep old dates: no plausibility check.
        {R"({"event_type":"boot","gateway_received_at":"1970-01-01T00:00:00Z"})", "", "1970-01-01 00:00:00"},
        {R"({"gateway_received_at":"2024-05-01T12:00:00Z"})", batch_stamp, nullptr},
        {R"({"event_type":"","gateway_received_at":"2024-05-01T12:00:00Z"})", batch_stamp, nullptr},
        {R"({"event_type":7,"gateway_received_at":"2024-05-01T12:00:00Z"})", batch_stamp, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EventRow row;
        std::string error;
        const bool ok = read_event_row(doc(c.text), c.fallback, row, error);
        if (c.stored == nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, "event missing required field");
        } else {
            ASSERT_TRUE(ok) << error;
            EXPECT_EQ(row.gateway_received_at, c.stored);
            EXPECT_EQ(row.event_type, "boot");
        }
    }
}

TEST_F(BatchRules, EventNodeOutsideRangeIsNullNotAnError) {
    struct Case {
        const char* node;  // JSON text, or nullptr for no member
        std::optional<std::uint32_t> node_id;
    };
    const Case cases[] = {
        {"1", 1u},   {"254", 254u},         {"1.9", 1u},           {"255", std::nullopt},
        {"0", std::nullopt}, {"-1", std::nullopt}, {"\"5\"", std::nullopt}, {"null", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string text = R"({"event_type":"e")";
        if (c.node != nullptr) text += std::string(R"(,"node_id":)") + c.node;
        text += "}";
        EventRow row;
        std::string error;
        ASSERT_TRUE(read_event_row(doc(text), batch_stamp, row, error)) << text << ": " << error;
        EXPECT_EQ(row.node_id, c.node_id) << text;
    }
}

TEST_F(BatchRules, EventPayloadIsStoredAsCompactJsonOfAnyKind) {
    struct Case {
        const char* payload;  // JSON text, or nullptr for no member
        std::optional<std::string> stored;
    };
    const Case cases[] = {
        {R"({"a":[1,2]})", R"({"a":[1,2]})"},
        {R"( { "a" : [ 1 , 2 ] } )", R"({"a":[1,2]})"},
        {R"("x")", R"("x")"},
        {"12", "12"},
        {"true", "true"},
        {"null", "null"},
        {"[]", "[]"},
        {"{}", "{}"},
        {nullptr, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string text = R"({"event_type":"e")";
        if (c.payload != nullptr) text += std::string(R"(,"payload":)") + c.payload;
        text += "}";
        EventRow row;
        std::string error;
        ASSERT_TRUE(read_event_row(doc(text), batch_stamp, row, error)) << text << ": " << error;
        EXPECT_EQ(row.payload_json, c.stored) << text;
    }
}

}  // namespace
}  // namespace tarn
