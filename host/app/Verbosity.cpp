#include "Verbosity.h"

#include <iostream>

namespace Kestrel {

namespace {

Verbosity& level() {
    static Verbosity v = Verbosity::Normal;
    return v;
}

} // namespace

void setVerbosity(Verbosity v) {
    level() = v;
}

Verbosity verbosity() {
    return level();
}

std::FILE* progressStream() {
    if (level() != Verbosity::Quiet) return stderr;
    // Opened once and kept for the life of the process, as stderr is.
    static std::FILE* nowhere = std::fopen("/dev/null", "w");
    return nowhere ? nowhere : stderr;
}

void detail(const std::string& line) {
    if (level() == Verbosity::Verbose) std::cerr << "kestrel: " << line << "\n";
}

void warn(const std::string& line) {
    if (level() != Verbosity::Quiet) std::cerr << "kestrel: warning: " << line << "\n";
}

} // namespace Kestrel
