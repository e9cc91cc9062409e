// Frame lists and path patterns from the command line and scripts. The first line of the input
// is a frame list, the second a path pattern and the third a file name to match against it.
// Each must be taken or refused with an IOError.
#include "Kestrel/IO/FrameList.h"
#include "Kestrel/IO/IOError.h"
#include "Kestrel/IO/PathPattern.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

std::string nextLine(std::string& rest) {
    const size_t end = rest.find('\n');
    std::string line = rest.substr(0, end);
    rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string rest(reinterpret_cast<const char*>(data), size);
    const std::string list = nextLine(rest), pattern = nextLine(rest), name = nextLine(rest);
    try {
        const std::vector<int> frames = Kestrel::IO::parseFrameList(list);
        if (frames.empty() || frames.size() > size_t(Kestrel::IO::kMaxFrameListSize)) std::abort();
    } catch (const Kestrel::IO::IOError&) {
    }
    try {
        const Kestrel::IO::PathPattern p(pattern);
        for (int frame : {0, -7, 12, 2147483647, -2147483647 - 1}) {
            std::optional<int> back;
            p.matches(p.expand(frame, "left"), back);
        }
        std::optional<int> frame;
        p.matches(name, frame);
    } catch (const Kestrel::IO::IOError&) {
    }
    return 0;
}
