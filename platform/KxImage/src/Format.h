// printf-style formatting into a std::string, for the host's error and message calls.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace Kx::Image {

inline std::string vformat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string s(size_t(std::max(n, 0)), '\0');
    std::vsnprintf(s.data(), s.size() + 1, format, args);
    return s;
}

} // namespace Kx::Image
