// Paths and folders that CTest hands to the test programs.
#pragma once

#include <string>

namespace tarn::test {

// Value of environment variable `name`, or `fallback` when it is unset.
std::string env_or(const char* name, const std::string& fallback);

// Turns an absolute host path into one the test program can open. On Linux
// the path is returned unchanged; under Wine "/x/y" becomes "Z:/x/y" (Wine
// maps the host root to drive Z:).
std::string host_path(const std::string& path);

// The JSON test data folder of the checkout (tests/json/data), as a host path.
std::string testdata_dir();

// A fresh, empty folder for one test, below the build tree's temp area.
// The folder is not removed afterwards, so a failing test leaves its files.
std::string make_temp_dir(const std::string& tag);

// Reads a whole file; returns false when it cannot be opened.
bool read_file(const std::string& path, std::string& contents);

// Writes `contents` to `path`, replacing it; returns false on failure.
bool write_file(const std::string& path, const std::string& contents);

}  // namespace tarn::test
