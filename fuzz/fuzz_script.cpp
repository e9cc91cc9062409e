// Script text: the reader must build a graph or refuse the text with a message, whatever the
// nesting, quoting or length of the text.
#include "Kx/Image/Script.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto graph = Kx::Image::Script::read(text, "fuzz.kscript", &error);
    // A refusal always says why.
    if (!graph && error.empty()) std::abort();
    return 0;
}
