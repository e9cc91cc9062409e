// Catching the one exception of the image-file layer in tests.
#pragma once

#include "Kestrel/IO/IOError.h"

#include <gtest/gtest.h>

#include <string>

namespace Kestrel::IO::Test {

// The message of the IOError that f throws (a test failure when it throws none).
template <class F> std::string errorOf(F&& f) {
    try {
        f();
    } catch (const IOError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no IOError";
    return {};
}

} // namespace Kestrel::IO::Test
