// The machine-wide application-data folder and the service's files in it.
#pragma once

#include <string>

namespace tarn {

#ifdef _WIN32
constexpr const char* config_file_suffix = "\\TARN\\IngestService\\tarn_ingest.conf";
constexpr const char* log_file_suffix = "\\TARN\\IngestService\\service.log";
#else
constexpr const char* config_file_suffix = "/TARN/IngestService/tarn_ingest.conf";
constexpr const char* log_file_suffix = "/TARN/IngestService/service.log";
#endif

// The machine-wide application-data folder, without a trailing separator, as
// UTF-8: the common application-data shell folder on Windows ("C:\ProgramData"
// when the lookup fails), the build's TARN_PROGRAM_DATA_DIR elsewhere.
std::string program_data_dir();

}  // namespace tarn
