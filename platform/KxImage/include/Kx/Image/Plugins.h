// Loading plug-ins. A plug-in is a shared library whose static Op::Description objects add
// their classes to the registry when the library is loaded. A file that fails to load is
// recorded with its reason, and loading goes on with the next file.
#pragma once

#include <string>
#include <vector>

namespace Kx::Image::Plugins {

struct Failure {
    std::string file;
    std::string reason;
};

// Loads one plug-in file; false with the reason in failures() when it cannot be loaded.
bool load(const std::string& file);
// Loads every "*.so" file of a folder (not recursive); returns how many loaded. Files whose
// names start with "lib" are companion libraries that plug-ins link to, not plug-ins, and
// are skipped: the plug-ins that need them load them.
int loadFolder(const std::string& folder);

const std::vector<std::string>& loaded();
const std::vector<Failure>& failures();

} // namespace Kx::Image::Plugins
