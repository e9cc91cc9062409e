// How much kestrel says besides its results: -q keeps to errors (no progress, no report on
// standard output, though files asked for are still written), -v adds what it loads and each
// step of a job with its time. Errors are always shown.
#pragma once

#include <cstdio>
#include <string>

namespace Kestrel {

enum class Verbosity { Quiet, Normal, Verbose };

void setVerbosity(Verbosity v);
Verbosity verbosity();

// Where progress bars go: standard error, or nowhere when quiet.
std::FILE* progressStream();

// A line on standard error, prefixed "kestrel: ", shown with -v only.
void detail(const std::string& line);

// A warning on standard error, prefixed "kestrel: warning: ", not shown with -q.
void warn(const std::string& line);

} // namespace Kestrel
