// The machine-wide data folder on Linux: fixed when the build is configured.
#include "service/program_data_dir.h"

#include "tarn/build_config.h"

namespace tarn {

std::string program_data_dir() {
    std::string dir = TARN_PROGRAM_DATA_DIR;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string service_data_file(const std::string& name) { return program_data_dir() + "/TARN/IngestService/" + name; }

}  // namespace tarn
