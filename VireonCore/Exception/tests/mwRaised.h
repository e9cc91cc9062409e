#pragma once

#include <gtest/gtest.h>

// The exception of class E that call raises; a test failure when it raises none.
template <class E, class Call> E raisedBy(Call call) {
    try {
        call();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "no " << E::kClassName << " raised";
    return E({}, {});
}
