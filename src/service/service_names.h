// The fixed registration of the service with the platform's service manager.
#pragma once

namespace tarn {

constexpr const char* service_name = "TarnIngestService";
constexpr const char* service_display_name = "TARN Water Ingest Service";
constexpr const char* service_description =
    "Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL.";

}  // namespace tarn

#ifdef _WIN32
namespace tarn {
constexpr const wchar_t* service_name_w = L"TarnIngestService";
constexpr const wchar_t* service_display_name_w = L"TARN Water Ingest Service";
constexpr const wchar_t* service_description_w =
    L"Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL.";
}  // namespace tarn
#endif
