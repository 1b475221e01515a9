// The machine-wide application-data folder on Windows, from the shell.
#include "service/program_data_dir.h"

#include <shlobj.h>
#include <windows.h>

namespace tarn {

std::string program_data_dir() {
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path) != S_OK) return "C:\\ProgramData";
    char utf8[520] = {};
    WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, static_cast<int>(sizeof utf8), nullptr, nullptr);
    return utf8;
}

std::string service_data_file(const std::string& name) { return program_data_dir() + "\\TARN\\IngestService\\" + name; }

}  // namespace tarn
