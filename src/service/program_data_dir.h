// The machine-wide application-data folder and the service's files in it.
#pragma once

#include <string>

namespace tarn {

// The machine-wide application-data folder, without a trailing separator, as
// UTF-8: the common application-data shell folder on Windows ("C:\ProgramData"
// when the lookup fails), the build's TARN_PROGRAM_DATA_DIR elsewhere.
std::string program_data_dir();

// The file `name` in the service's own folder: program_data_dir(), then
// TARN, IngestService and `name`, joined by the platform's separator.
std::string service_data_file(const std::string& name);

}  // namespace tarn
