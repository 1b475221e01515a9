// The machine-wide data folder on Linux: fixed when the build is configured.
#include "service/program_data_dir.h"

#include "tarn/build_config.h"

namespace tarn {

// The build strips trailing separators from it.
std::string program_data_dir() { return TARN_PROGRAM_DATA_DIR; }

std::string service_data_file(const std::string& name) { return program_data_dir() + "/TARN/IngestService/" + name; }

}  // namespace tarn
