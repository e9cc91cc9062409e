// A mistake in how kestrel was called: a malformed or unknown option value, a missing
// argument. The program ends with exit status 2 for these and 1 for a job that failed on
// its inputs or while working, so that a pipeline can tell a wrong command from a bad plate.
#pragma once

#include <stdexcept>
#include <string>

namespace Kestrel {

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

} // namespace Kestrel
