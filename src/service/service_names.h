// The fixed registration of the service with the platform's service manager.
#pragma once

namespace tarn {

constexpr const char* service_name = "TarnIngestService";
constexpr const char* service_display_name = "TARN Water Ingest Service";
constexpr const char* service_description =
    "Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL.";

}  // namespace tarn
