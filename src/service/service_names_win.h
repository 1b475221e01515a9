// The fixed registration of the service, as the wide-character strings that
// the Windows service control manager takes.
#pragma once

namespace tarn {

constexpr const wchar_t* service_name_w = L"TarnIngestService";
constexpr const wchar_t* service_display_name_w = L"TARN Water Ingest Service";
constexpr const wchar_t* service_description_w =
    L"Listens on TCP for the ESP32 water-meter gateway's JSON batches and writes them to MySQL.";

}  // namespace tarn
