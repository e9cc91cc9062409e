// Stored matches: the knob must load the text or refuse it with the line at fault, and what it
// loads must write back out and load again.
#include "mwControlPointsKnob.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Marrow::Research::ControlPointsKnob knob(nullptr, "matches");
    if (!knob.from_script(text.c_str())) {
        if (knob.lastError().empty()) std::abort();
        return 0;
    }
    std::ostringstream out;
    out.precision(Kx::Image::kScriptPrecision);
    knob.to_script(out, nullptr, false);
    Marrow::Research::ControlPointsKnob again(nullptr, "matches");
    if (!again.from_script(out.str().c_str())) std::abort();
    return 0;
}
