// A generated gateway batch document, the same on every run, for benchmarks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>

namespace tarn::bench {

struct GatewayBatchShape {
    int readings = 1000;
    int clients = 50;
    int events = 20;
};

// Returns a batch as the gateway sends it: "batch_window_end", then the
// "clients", "readings" and "events" arrays. Values follow a fixed
// pseudo-random sequence, so every call with the same shape gives the same
// bytes (about 200 KB for the default shape).
inline std::string make_gateway_batch(const GatewayBatchShape& shape = {}) {
    unsigned state = 12345u;
    auto next = [&state](unsigned range) {
        state = state * 1103515245u + 12345u;
        return (state >> 8) % range;
    };
    auto timestamp = [&next](char* out, std::size_t size) {
        std::snprintf(out, size, "2024-05-17T%02u:%02u:%02u.%03uZ", next(24), next(60), next(60), next(1000));
    };
    static const char* const chips[] = {"ESP32", "ESP32-C3", "ESP32-S3"};
    static const char* const protocols[] = {"wmbus-t1", "wmbus-c1", "pulse"};
    static const char* const event_types[] = {"boot", "wifi_reconnect", "radio_error", "ota_check"};

    std::string out;
    out.reserve(static_cast<std::size_t>(shape.readings) * 200 + static_cast<std::size_t>(shape.clients) * 180 + 4096);
    char line[512];
    char ts[40];
    out += "{\"batch_window_end\":\"2024-05-17T23:59:59.999Z\",\"clients\":[";
    for (int i = 0; i < shape.clients; ++i) {
        timestamp(ts, sizeof ts);
        std::snprintf(line, sizeof line,
                      "%s{\"node_id\":\"node-%04d\",\"chip\":\"%s\",\"fw_version\":\"1.%u.%u\",\"last_seen\":\"%s\","
                      "\"last_rssi_dbm\":-%u,\"last_lqi\":%u}",
                      i ? "," : "", i, chips[next(3)], next(10), next(40), ts, 40 + next(60), next(256));
        out += line;
    }
    out += "],\"readings\":[";
    for (int i = 0; i < shape.readings; ++i) {
        timestamp(ts, sizeof ts);
        std::snprintf(line, sizeof line,
                      "%s{\"node_id\":\"node-%04u\",\"meter_id\":\"WM%08u\",\"protocol\":\"%s\",\"volume_gal\":%u.%03u,"
                      "\"flow_gpm\":%u.%02u,\"freq_hz\":%u.%u,\"rssi_dbm\":-%u,\"gateway_received_at\":\"%s\"}",
                      i ? "," : "", next(static_cast<unsigned>(shape.clients)), next(100000000u), protocols[next(3)],
                      next(1000000), next(1000), next(30), next(100), 868950000u + next(100000), next(10),
                      40 + next(60), ts);
        out += line;
    }
    out += "],\"events\":[";
    for (int i = 0; i < shape.events; ++i) {
        timestamp(ts, sizeof ts);
        std::snprintf(line, sizeof line,
                      "%s{\"node_id\":\"node-%04u\",\"event_type\":\"%s\",\"payload\":{\"code\":%u,\"uptime_s\":%u,"
                      "\"detail\":\"retry %u of 5\",\"heap_free\":%u,\"ok\":%s},\"gateway_received_at\":\"%s\"}",
                      i ? "," : "", next(static_cast<unsigned>(shape.clients)), event_types[next(4)], next(100),
                      next(1000000), next(5), 100000 + next(100000), next(2) ? "true" : "false", ts);
        out += line;
    }
    out += "]}";
    return out;
}

// A shape whose batch comes close to `max_bytes` without passing it:
// clients and events grow with the size up to the default shape's 50 and
// 20, and the readings fill the rest.
inline GatewayBatchShape gateway_batch_shape_for(std::size_t max_bytes) {
    GatewayBatchShape shape;
    shape.clients = static_cast<int>(std::clamp<std::size_t>(max_bytes / 4096, 1, 50));
    shape.events = static_cast<int>(std::clamp<std::size_t>(max_bytes / 10240, 1, 20));
    shape.readings = 0;
    const std::size_t base = make_gateway_batch(shape).size();
    shape.readings = 100;
    const std::size_t per_reading = (make_gateway_batch(shape).size() - base) / 100;
    shape.readings = max_bytes > base ? static_cast<int>((max_bytes - base) / per_reading) + 1 : 0;
    for (std::size_t size = make_gateway_batch(shape).size(); size > max_bytes && shape.readings > 0;
         size = make_gateway_batch(shape).size()) {
        const std::size_t excess_readings = (size - max_bytes + per_reading - 1) / per_reading;
        shape.readings -=
            static_cast<int>(std::min<std::size_t>(excess_readings, static_cast<std::size_t>(shape.readings)));
    }
    return shape;
}

}  // namespace tarn::bench
