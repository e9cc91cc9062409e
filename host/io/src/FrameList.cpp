// Farm frame lists: "1-100", "1-3,5,7-20x2".
#include "Kestrel/IO/FrameList.h"

#include "Kestrel/IO/IOError.h"

#include <charconv>
#include <set>
#include <string_view>

namespace Kestrel::IO {

namespace {

[[noreturn]] void fail(const std::string& text, std::string_view item, const std::string& why) {
    throw IOError("bad frame list \"" + text + "\": \"" + std::string(item) + "\" " + why +
                  "; write frames N, ranges A-B or stepped ranges A-BxS joined by commas, "
                  "e.g. 1-100 or 1-3,5,7-20x2");
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Reads an optionally negative integer at the start of s and advances s past it.
bool readInt(std::string_view& s, int& out) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (ec != std::errc() || end == s.data()) return false;
    s.remove_prefix(size_t(end - s.data()));
    return true;
}

} // namespace

std::vector<int> parseFrameList(const std::string& text) {
    std::set<int> frames;
    long long listed = 0; // frames the items name, repeats included
    std::string_view rest = text;
    if (trim(rest).empty()) fail(text, text, "holds no frame");
    while (true) {
        const size_t comma = rest.find(',');
        const std::string_view item = trim(rest.substr(0, comma));
        std::string_view s = item;
        int first = 0, last = 0, step = 1;
        if (!readInt(s, first)) fail(text, item, "is not a frame or a range");
        last = first;
        if (!s.empty()) {
            if (s.front() != '-') fail(text, item, "is not a frame or a range");
            s.remove_prefix(1);
            if (!readInt(s, last)) fail(text, item, "is not a frame or a range");
            if (!s.empty()) {
                if (s.front() != 'x') fail(text, item, "is not a frame or a range");
                s.remove_prefix(1);
                if (!readInt(s, step) || !s.empty()) fail(text, item, "is not a frame or a range");
                if (step < 1) fail(text, item, "has a step below 1");
            }
            if (last < first) fail(text, item, "ends before it starts");
        }
        listed += (static_cast<long long>(last) - first) / step + 1;
        if (listed > kMaxFrameListSize)
            fail(text, item,
                 "takes the list past " + std::to_string(kMaxFrameListSize) +
                     " frames; split the work into shorter lists");
        for (long long f = first; f <= last; f += step) frames.insert(int(f));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return {frames.begin(), frames.end()};
}

std::string formatFrameList(const std::vector<int>& frames) {
    std::string text;
    for (size_t i = 0; i < frames.size();) {
        size_t j = i;
        while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1) ++j;
        text += (text.empty() ? "" : ",") + std::to_string(frames[i]);
        if (j > i) text += "-" + std::to_string(frames[j]);
        i = j + 1;
    }
    return text;
}

} // namespace Kestrel::IO
